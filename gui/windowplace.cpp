#include "windowplace.h"

#include <QApplication>
#include <QGuiApplication>
#include <QtGui/qguiapplication_platform.h>
#include <QScreen>
#include <QWidget>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

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

void showOnAllWorkspaces(QWidget* window)
{
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11 || !x11->connection())
        return;
    xcb_connection_t* c = x11->connection();
    const QByteArray name("_NET_WM_DESKTOP");
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(name.size()), name.constData()), nullptr);
    if (!atom)
        return;
    // 0xFFFFFFFF: every desktop. Read by the window manager when the
    // window is mapped.
    const std::uint32_t all = 0xFFFFFFFFu;
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, static_cast<xcb_window_t>(window->winId()), atom->atom,
                        XCB_ATOM_CARDINAL, 32, 1, &all);
    std::free(atom);
    xcb_flush(c);
}

QIcon programIcon()
{
    return QIcon(QStringLiteral(":/brevglimt/brevglimt.svg"));
}

} // namespace gui
