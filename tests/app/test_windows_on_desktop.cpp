// The program's windows on a real X server with a window manager (openbox,
// started by run_under_openbox.sh): each opens above the always-on-top strip
// and wholly on screen, and the strip never takes the keyboard.
#include "errordisplay.h"
#include "forms.h"
#include "guihooks.h"
#include "ipsjekk.h"
#include "om.h"
#include "SendSMTP.h"
#include "input.h"
#include "serveroppsett.h"
#include "visning.h"
#include "watcherfixture.h"

#include <QAction>
#include <QApplication>
#include <QDeadlineTimer>
#include <QDialog>
#include <QCursor>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QScreen>
#include <QTimer>
#include <QToolTip>
#include <QWindow>
#include <algorithm>
#include <functional>
#include <stdexcept>

using namespace testsupport;

namespace {

// The window ids in a window property of the root window, as the window
// manager keeps it.
QList<quint64> rootWindows(const char* property)
{
    QProcess xprop;
    xprop.start(QStringLiteral("xprop"), {QStringLiteral("-root"), QStringLiteral("-notype"), QString::fromLatin1(property)});
    xprop.waitForFinished(5000);
    const QString out = QString::fromLatin1(xprop.readAllStandardOutput());
    QList<quint64> ids;
    const qsizetype hash = out.indexOf(QLatin1Char('#'));
    if (hash < 0)
        return ids;
    for (const QString& part : out.mid(hash + 1).split(QLatin1Char(','), Qt::SkipEmptyParts))
        ids.append(part.trimmed().toULongLong(nullptr, 16));
    return ids;
}

// The window manager's stacking order, bottom to top.
QList<quint64> stackingOrder()
{
    return rootWindows("_NET_CLIENT_LIST_STACKING");
}

quint64 activeWindow()
{
    return rootWindows("_NET_ACTIVE_WINDOW").value(0);
}

// Runs events until done() holds or a few seconds have passed.
bool waitFor(const std::function<bool()>& done)
{
    const QDeadlineTimer deadline(8000);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    return true;
}

QWidget* visibleTopLevel(const QString& objectName)
{
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->isVisible() && (objectName.isEmpty() ? qobject_cast<QMessageBox*>(w) != nullptr
                                                    : w->objectName() == objectName))
            return w;
    }
    return nullptr;
}

class DesktopWindowsTest : public WatcherFixture {
protected:
    void SetUp() override
    {
        if (QGuiApplication::platformName() != QLatin1String("xcb"))
            GTEST_SKIP() << "needs an X server with a window manager (run_under_openbox.sh)";
        WatcherFixture::SetUp();
        // No check at start, the list shown: no server is contacted.
        writeSettings({{QStringLiteral("StartupCheck"), QStringLiteral("0")}, {QStringLiteral("ShowList"), QStringLiteral("1")}});
        app::installGuiHooks(); // the real boxes instead of the recording ones
        app::createForms();
    }
    void TearDown() override
    {
        if (app::BrevglimtForm)
            app::destroyForms();
        WatcherFixture::TearDown();
    }

    app::TBrevglimtForm& strip() { return *app::BrevglimtForm; }
    bool stripShown()
    {
        return strip().isVisible() && strip().windowHandle() && strip().windowHandle()->isExposed()
            && stackingOrder().contains(strip().winId());
    }
};

} // namespace

TEST_F(DesktopWindowsTest, StripShowsAt23x2WithoutTakingTheKeyboard)
{
    QLineEdit editor;
    editor.setWindowTitle(QStringLiteral("Skriver"));
    editor.show();
    editor.activateWindow();
    ASSERT_TRUE(waitFor([&] { return activeWindow() == editor.winId() && QApplication::activeWindow() == &editor; }));

    strip().showForm();
    ASSERT_TRUE(waitFor([&] { return stripShown(); }));
    EXPECT_EQ(activeWindow(), editor.winId());
    EXPECT_EQ(QApplication::activeWindow(), &editor);
    EXPECT_EQ(strip().pos(), QPoint(23, 2));
    EXPECT_EQ(strip().windowTitle(), QStringLiteral("Brevglimt"));
    EXPECT_EQ(strip().objectName(), QStringLiteral("BrevglimtForm"));
    EXPECT_FALSE(strip().windowIcon().isNull());
    // On every workspace, as the window manager keeps it.
    QProcess xprop;
    xprop.start(QStringLiteral("xprop"), {QStringLiteral("-id"), QString::number(strip().winId()),
                                         QStringLiteral("-notype"), QStringLiteral("_NET_WM_DESKTOP")});
    xprop.waitForFinished(5000);
    EXPECT_EQ(QString::fromLatin1(xprop.readAllStandardOutput()).trimmed(), QStringLiteral("_NET_WM_DESKTOP = 4294967295"));
}

// The strip is never the active window, yet a line cut short shows its whole
// text when the pointer rests on it.
TEST_F(DesktopWindowsTest, ALinesTooltipShowsWithoutTheKeyboard)
{
    server->setMessages({mailMessage("Kari Nordmann <kari.nordmann@fjordpost.example>",
                                     "Et emne som er for langt for stripen, derfor kuttet")});
    writeSettings({{QStringLiteral("StartupCheck"), QStringLiteral("1")}, {QStringLiteral("ShowList"), QStringLiteral("1")}});
    strip().showForm();
    ASSERT_TRUE(waitFor([&] { return stripShown() && strip().messageList->count() == 1; }));
    ASSERT_NE(QApplication::activeWindow(), &strip());
    QWidget* viewport = strip().messageList->viewport();
    const QPoint at = strip().messageList->visualItemRect(strip().messageList->item(0)).center();
    // The pointer moves there on the X server, as the user's would.
    QCursor::setPos(viewport->mapToGlobal(at) + QPoint(-5, 0));
    QCursor::setPos(viewport->mapToGlobal(at));
    EXPECT_TRUE(waitFor([] { return QToolTip::isVisible(); }));
    EXPECT_EQ(QToolTip::text(), strip().messageList->item(0)->text());
    EXPECT_TRUE(QToolTip::text().endsWith(QStringLiteral("derfor kuttet")));
}

TEST_F(DesktopWindowsTest, EveryWindowOpensAboveTheStripAndOnScreen)
{
    strip().showForm();
    ASSERT_TRUE(waitFor([&] { return stripShown(); }));
    ASSERT_TRUE(strip().messageList->isVisible());

    struct Case {
        const char* name;
        QString objectName; // empty: a message box
        std::function<void()> open; // may run a modal loop until the window is closed
        QString alsoAbove{};        // another window it must lie above, besides the strip
    };
    // The composer's own failure box, shown while the composer has the keyboard.
    const auto composerFailure = [this] {
        strip().newMailAction->trigger();
        QWidget* composer = visibleTopLevel(QStringLiteral("SendSMTPForm"));
        ASSERT_TRUE(composer && waitFor([&] { return QApplication::activeWindow() == composer; }));
        rt::runHandler([] { throw std::runtime_error("Sending mislyktes"); });
        composer->close();
    };
    const Case cases[] = {
        {"about box", QStringLiteral("AboutBox"), [this] { strip().aboutAction->trigger(); }},
        {"failure box", QString(), [] { rt::runHandler([] { throw std::runtime_error("Noe gikk galt"); }); }},
        {"composer", QStringLiteral("SendSMTPForm"), [this] { strip().newMailAction->trigger(); }},
        {"settings dialog", QStringLiteral("fmSetup"), [this] { strip().settingsAction->trigger(); }},
        {"connectivity test", QStringLiteral("IPTestForm"), [] { ipsjekk::IPTestForm->showForTest(); }},
        {"profile dialog", QStringLiteral("ServerOppsettForm"),
         [] { servers::VisServerOppsett(QStringLiteral("FTP-server"), QStringLiteral("FTP")); }},
        {"input dialog", QStringLiteral("InputForm"), [] { servers::InputForm->exec(); }},
        {"failure box over the composer", QString(), composerFailure, QStringLiteral("SendSMTPForm")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QString seen; // the last state, for the failure message
        bool placed = false;
        bool closed = false;
        QTimer poll;
        poll.setInterval(20);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            QWidget* w = visibleTopLevel(c.objectName);
            if (!w || !w->windowHandle() || !w->windowHandle()->isExposed())
                return;
            const QList<quint64> order = stackingOrder();
            const qsizetype own = order.indexOf(w->winId());
            qsizetype under = order.indexOf(strip().winId());
            if (!c.alsoAbove.isEmpty()) {
                const QWidget* other = visibleTopLevel(c.alsoAbove);
                under = other ? std::max(under, order.indexOf(other->winId())) : -1;
            }
            const QRect area = w->screen()->availableGeometry();
            const QRect frame = w->frameGeometry();
            seen = QStringLiteral("stacking %1 over %2, frame %3,%4 %5x%6 in %7x%8")
                       .arg(own).arg(under).arg(frame.x()).arg(frame.y()).arg(frame.width()).arg(frame.height())
                       .arg(area.width()).arg(area.height());
            placed = own > under && under >= 0 && area.contains(frame);
            // The window stays until it is placed, or until the wait ends.
            if (!placed && !poll.property("giveUp").toBool())
                return;
            poll.stop();
            if (auto* d = qobject_cast<QDialog*>(w))
                d->done(0);
            else
                w->close();
            closed = true;
        });
        QTimer giveUp;
        giveUp.setSingleShot(true);
        QObject::connect(&giveUp, &QTimer::timeout, [&] { poll.setProperty("giveUp", true); });
        giveUp.start(6000);
        poll.start();
        c.open();
        EXPECT_TRUE(waitFor([&] { return closed; })) << "never shown";
        EXPECT_TRUE(placed) << seen.toStdString();
    }
}
