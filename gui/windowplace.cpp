#include "windowplace.h"

#include <QAbstractNativeEventFilter>
#include <QApplication>
#include <QGuiApplication>
#include <QtGui/qguiapplication_platform.h>
#include <QScreen>
#include <QWidget>
#include <QWindow>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>

#include <xcb/xcb.h>

namespace gui {

QRect keepInside(QRect box, const QRect& area)
{
    if (!area.isValid())
        return box;
    box.moveLeft(std::max(area.left(), std::min(box.left(), area.right() + 1 - box.width())));
    box.moveTop(std::max(area.top(), std::min(box.top(), area.bottom() + 1 - box.height())));
    return box;
}

void placeOver(QWidget* window, const QWidget* owner)
{
    const QScreen* screen = owner ? owner->screen() : QGuiApplication::primaryScreen();
    const QRect area = screen ? screen->availableGeometry() : QRect();
    QRect box(QPoint(0, 0), window->frameGeometry().size());
    box.moveCenter(owner ? owner->frameGeometry().center() : area.center());
    window->move(keepInside(box, area).topLeft());
}

QWidget* currentOwner(QWidget* fallback)
{
    if (QWidget* modal = QApplication::activeModalWidget())
        return modal;
    if (QWidget* active = QApplication::activeWindow())
        return active;
    return fallback;
}

namespace {

xcb_atom_t internAtom(xcb_connection_t* c, const char* name)
{
    const QByteArray n(name);
    xcb_intern_atom_reply_t* reply
        = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(n.size()), n.constData()), nullptr);
    if (!reply)
        return XCB_ATOM_NONE;
    const xcb_atom_t atom = reply->atom;
    std::free(reply);
    return atom;
}

// The child of parent of type T, if any. findChild() cannot tell the helper
// objects here apart: without Q_OBJECT they share QObject's meta-object.
template <typename T>
T* childOfType(const QObject* parent)
{
    for (QObject* child : parent->children()) {
        if (auto* found = dynamic_cast<T*>(child))
            return found;
    }
    return nullptr;
}

// A request about window to the window manager, sent to the root window as
// the window-manager hints ask for it.
void sendToWindowManager(xcb_connection_t* c, xcb_window_t window, xcb_atom_t type, std::initializer_list<std::uint32_t> data)
{
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    if (!screen || type == XCB_ATOM_NONE)
        return;
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = type;
    std::size_t i = 0;
    for (const std::uint32_t value : data)
        event.data.data32[i++] = value;
    xcb_send_event(c, 0, screen->root, XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&event));
}

// The requests a mapped window sends to be shown on every workspace.
void askForEveryWorkspace(xcb_connection_t* c, xcb_window_t window)
{
    constexpr std::uint32_t add = 1; // _NET_WM_STATE_ADD
    constexpr std::uint32_t fromApplication = 1; // the request's source: a normal program
    sendToWindowManager(c, window, internAtom(c, "_NET_WM_STATE"),
                        {add, internAtom(c, "_NET_WM_STATE_STICKY"), XCB_ATOM_NONE, fromApplication});
    sendToWindowManager(c, window, internAtom(c, "_NET_WM_DESKTOP"), {0xFFFFFFFFu, fromApplication});
    xcb_flush(c);
}

// Keeps a window on every workspace while it is shown. It asks when the
// window manager has mapped the window (at its first expose after each
// showing), and asks again when the manager takes the window off the other
// workspaces: GNOME's compositor does that to a window when a modal dialog
// of it opens.
class EveryWorkspaceKeeper : public QObject, public QAbstractNativeEventFilter {
public:
    EveryWorkspaceKeeper(QWindow* window, xcb_connection_t* c)
        : QObject(window)
        , m_window(window)
        , m_connection(c)
        , m_desktopAtom(internAtom(c, "_NET_WM_DESKTOP"))
    {
        window->installEventFilter(this);
        QCoreApplication::instance()->installNativeEventFilter(this);
    }
    ~EveryWorkspaceKeeper() override
    {
        if (QCoreApplication* app = QCoreApplication::instance())
            app->removeNativeEventFilter(this);
    }

    // The window is about to be shown: ask once it is mapped.
    void askWhenMapped() { m_askAtExpose = true; }

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Expose && m_askAtExpose && m_window->isExposed()) {
            m_askAtExpose = false;
            askForEveryWorkspace(m_connection, id());
        }
        return false;
    }

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) override
    {
        if (eventType != "xcb_generic_event_t")
            return false;
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        if ((event->response_type & 0x7f) != XCB_PROPERTY_NOTIFY)
            return false;
        const auto* change = static_cast<const xcb_property_notify_event_t*>(message);
        if (change->window != id() || change->atom != m_desktopAtom)
            return false;
        const bool everywhere = onEveryWorkspace();
        // Only a change away from every workspace is answered, once: a
        // manager that never grants the request is not asked without end.
        if (m_wasEverywhere && !everywhere && m_window->isVisible())
            askForEveryWorkspace(m_connection, id());
        m_wasEverywhere = everywhere;
        return false;
    }

private:
    xcb_window_t id() const { return static_cast<xcb_window_t>(m_window->winId()); }

    bool onEveryWorkspace() const
    {
        xcb_get_property_reply_t* reply = xcb_get_property_reply(
            m_connection, xcb_get_property(m_connection, 0, id(), m_desktopAtom, XCB_ATOM_CARDINAL, 0, 1), nullptr);
        if (!reply)
            return false;
        const bool all = xcb_get_property_value_length(reply) == 4
            && *static_cast<const std::uint32_t*>(xcb_get_property_value(reply)) == 0xFFFFFFFFu;
        std::free(reply);
        return all;
    }

    QWindow* m_window;
    xcb_connection_t* m_connection;
    xcb_atom_t m_desktopAtom;
    bool m_askAtExpose = false;
    bool m_wasEverywhere = false;
};

// Asks the window manager to take the "demands attention" mark off a window
// whenever it appears in the window's state while the window is shown.
class AttentionMarkRemover : public QObject, public QAbstractNativeEventFilter {
public:
    AttentionMarkRemover(QWindow* window, xcb_connection_t* c)
        : QObject(window)
        , m_window(window)
        , m_connection(c)
        , m_stateAtom(internAtom(c, "_NET_WM_STATE"))
        , m_attentionAtom(internAtom(c, "_NET_WM_STATE_DEMANDS_ATTENTION"))
    {
        QCoreApplication::instance()->installNativeEventFilter(this);
    }
    ~AttentionMarkRemover() override
    {
        if (QCoreApplication* app = QCoreApplication::instance())
            app->removeNativeEventFilter(this);
    }

protected:
    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) override
    {
        if (eventType != "xcb_generic_event_t" || m_stateAtom == XCB_ATOM_NONE || m_attentionAtom == XCB_ATOM_NONE)
            return false;
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        if ((event->response_type & 0x7f) != XCB_PROPERTY_NOTIFY)
            return false;
        const auto* change = static_cast<const xcb_property_notify_event_t*>(message);
        if (change->window != id() || change->atom != m_stateAtom)
            return false;
        if (change->state != XCB_PROPERTY_NEW_VALUE || !markedForAttention()) {
            m_asked = false;
            return false;
        }
        if (!m_asked && m_window->isVisible()) {
            m_asked = true;
            constexpr std::uint32_t remove = 0; // _NET_WM_STATE_REMOVE
            constexpr std::uint32_t fromApplication = 1;
            sendToWindowManager(m_connection, id(), m_stateAtom, {remove, m_attentionAtom, XCB_ATOM_NONE, fromApplication});
            xcb_flush(m_connection);
        }
        return false;
    }

private:
    xcb_window_t id() const { return static_cast<xcb_window_t>(m_window->winId()); }

    bool markedForAttention() const
    {
        xcb_get_property_reply_t* reply = xcb_get_property_reply(
            m_connection, xcb_get_property(m_connection, 0, id(), m_stateAtom, XCB_ATOM_ATOM, 0, 64), nullptr);
        if (!reply)
            return false;
        const auto* atoms = static_cast<const xcb_atom_t*>(xcb_get_property_value(reply));
        const int count = xcb_get_property_value_length(reply) / int(sizeof(xcb_atom_t));
        const bool marked = std::find(atoms, atoms + count, m_attentionAtom) != atoms + count;
        std::free(reply);
        return marked;
    }

    QWindow* m_window;
    xcb_connection_t* m_connection;
    xcb_atom_t m_stateAtom;
    xcb_atom_t m_attentionAtom;
    bool m_asked = false;
};

} // namespace

void keepFromDemandingAttention(QWidget* window)
{
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11 || !x11->connection())
        return;
    window->winId(); // the native window the filter watches
    QWindow* handle = window->windowHandle();
    if (!handle || childOfType<AttentionMarkRemover>(handle))
        return;
    new AttentionMarkRemover(handle, x11->connection());
}

void showOnAllWorkspaces(QWidget* window)
{
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11 || !x11->connection())
        return;
    xcb_connection_t* c = x11->connection();
    const auto id = static_cast<xcb_window_t>(window->winId());
    // Read by window managers that look at it when the window is mapped.
    const xcb_atom_t desktop = internAtom(c, "_NET_WM_DESKTOP");
    constexpr std::uint32_t allDesktops = 0xFFFFFFFFu;
    if (desktop != XCB_ATOM_NONE)
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, id, desktop, XCB_ATOM_CARDINAL, 32, 1, &allDesktops);
    xcb_flush(c);
    // GNOME's compositor goes by that hint only sometimes, and honours the
    // requests only once it has mapped the window.
    QWindow* handle = window->windowHandle();
    if (!handle)
        return;
    auto* keeper = childOfType<EveryWorkspaceKeeper>(handle);
    if (!keeper)
        keeper = new EveryWorkspaceKeeper(handle, c);
    keeper->askWhenMapped();
}

QIcon programIcon()
{
    return QIcon(QStringLiteral(":/brevglimt/brevglimt.svg"));
}

} // namespace gui
