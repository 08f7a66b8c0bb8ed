// The program's windows on a real X server with a window manager (openbox,
// started by run_under_openbox.sh, GNOME's compositor, started by
// run_under_mutter.sh, or KDE's KWin, started by run_under_kwin.sh): each
// opens above the always-on-top strip and wholly on screen, and the strip
// never takes the keyboard, never stays marked as demanding attention and
// stays on every workspace.
#include "aboutdialog.h"
#include "composerwindow.h"
#include "connectiontestwindow.h"
#include "dovecotserver.h"
#include "errordisplay.h"
#include "ftptransferwindow.h"
#include "guihooks.h"
#include "imapclient.h"
#include "inputdialog.h"
#include "platform.h"
#include "serverprofiledialog.h"
#include "stripwindow.h"
#include "watcherfixture.h"
#include "windowowner.h"

#include <QAbstractItemModel>
#include <QAction>
#include <QApplication>
#include <QDeadlineTimer>
#include <QDialog>
#include <QElapsedTimer>
#include <QCursor>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QScopeGuard>
#include <QScreen>
#include <QTest>
#include <QTextLayout>
#include <QTimer>
#include <QToolTip>
#include <QWindow>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <optional>
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

// A property of a window as xprop shows it: "NAME = value", or a line saying
// it is not there.
QString windowProperty(quint64 window, const char* property)
{
    QProcess xprop;
    xprop.start(QStringLiteral("xprop"), {QStringLiteral("-id"), QString::number(window), QStringLiteral("-notype"),
                                         QString::fromLatin1(property)});
    xprop.waitForFinished(5000);
    return QString::fromLatin1(xprop.readAllStandardOutput()).trimmed();
}

// On every workspace, as the window manager keeps it: its desktop is "all",
// and a manager that knows the sticky state (GNOME's does, openbox not)
// lists it in the window's state.
bool onEveryWorkspace(quint64 window)
{
    if (windowProperty(window, "_NET_WM_DESKTOP") != QLatin1String("_NET_WM_DESKTOP = 4294967295"))
        return false;
    QProcess xprop;
    xprop.start(QStringLiteral("xprop"), {QStringLiteral("-root"), QStringLiteral("_NET_SUPPORTED")});
    xprop.waitForFinished(5000);
    const bool knowsSticky = xprop.readAllStandardOutput().contains("_NET_WM_STATE_STICKY");
    return !knowsSticky || windowProperty(window, "_NET_WM_STATE").contains(QLatin1String("_NET_WM_STATE_STICKY"));
}

// The window manager's mark for a window waiting for the user, which task
// bars show until the window is clicked.
bool demandsAttention(quint64 window)
{
    return windowProperty(window, "_NET_WM_STATE").contains(QLatin1String("_NET_WM_STATE_DEMANDS_ATTENTION"));
}

// The window is free of that mark for a whole second within a few seconds: a
// window manager sets it at once when it refuses to activate or raise a
// window, so a mark that came and was taken back passes, one that stays not.
bool settlesWithoutAttentionMark(quint64 window)
{
    const QDeadlineTimer deadline(8000);
    QElapsedTimer free;
    free.start();
    while (!deadline.hasExpired()) {
        if (demandsAttention(window))
            free.restart();
        else if (free.elapsed() >= 1000)
            return true;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    return false;
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

// The window with its frame lies on the screen. GNOME's compositor now and
// then draws a side border of a pixel beyond the place the window was put
// at; that much is allowed, nothing a user could miss.
bool wholeOnScreen(const QWidget* w)
{
    constexpr int border = 2;
    return w->screen()->availableGeometry().adjusted(-border, -border, border, border).contains(w->frameGeometry());
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
        // The real boxes instead of the recording ones.
        app::installGuiHooks([this]() -> QWidget* { return windows ? &windows->strip() : nullptr; });
        windows.emplace();
    }
    void TearDown() override
    {
        windows.reset();
        WatcherFixture::TearDown();
    }

    app::StripWindow& strip() { return windows->strip(); }

    QStringList stripLines()
    {
        QStringList out;
        const QAbstractItemModel* model = strip().messageList->model();
        for (int i = 0; i < model->rowCount(); ++i)
            out.append(model->index(i, 0).data().toString());
        return out;
    }

    // The Dovecot's IMAP mailbox, with no schedule and the list shown.
    void writeImapSettings(const testsupport::DovecotServer& dovecot, std::map<QString, QString> more)
    {
        more.insert({{QStringLiteral("Protocol"), QStringLiteral("IMAP")},
                     {QStringLiteral("ServerName"), QStringLiteral("127.0.0.1:%1").arg(dovecot.imapPort())},
                     {QStringLiteral("ServerUser"), dovecot.user()},
                     {QStringLiteral("ServerPassword"), rt::scrambleText(dovecot.password())},
                     {QStringLiteral("Scheduler"), QStringLiteral("0")},
                     {QStringLiteral("ShowList"), QStringLiteral("1")}});
        writeSettings(std::move(more));
    }
    // With the strip in view: check() as it is, then after it was hidden
    // ("Skjul") and shown again, then after it was shown again while in view,
    // as a second start of the program does. backToWork() (when given) runs
    // before each showing again: the user back at the window in use.
    void checkAfterEachShowing(const std::function<void()>& check, const std::function<void()>& backToWork = {})
    {
        {
            SCOPED_TRACE("first showing");
            check();
        }
        {
            SCOPED_TRACE("shown again after hiding");
            strip().hide();
            ASSERT_TRUE(waitFor([&] { return !stackingOrder().contains(strip().winId()); }));
            if (backToWork)
                backToWork();
            strip().showStrip();
            ASSERT_TRUE(waitFor([&] { return stripShown(); }));
            EXPECT_EQ(strip().pos(), QPoint(23, 2));
            check();
        }
        {
            SCOPED_TRACE("shown again while in view");
            if (backToWork)
                backToWork();
            strip().showStrip();
            check();
        }
    }
    std::optional<app::WindowOwner> windows;

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

    strip().showStrip();
    ASSERT_TRUE(waitFor([&] { return stripShown(); }));
    EXPECT_EQ(activeWindow(), editor.winId());
    EXPECT_EQ(QApplication::activeWindow(), &editor);
    EXPECT_EQ(strip().pos(), QPoint(23, 2));
    EXPECT_EQ(strip().windowTitle(), QStringLiteral("Brevglimt"));
    EXPECT_EQ(strip().objectName(), QStringLiteral("StripWindow"));
    EXPECT_FALSE(strip().windowIcon().isNull());
    // Above the window in use, and kept above it.
    const QList<quint64> order = stackingOrder();
    EXPECT_GT(order.indexOf(strip().winId()), order.indexOf(editor.winId()));
    EXPECT_TRUE(windowProperty(strip().winId(), "_NET_WM_STATE").contains(QLatin1String("_NET_WM_STATE_ABOVE")));
    // On every workspace, also when shown again after "Skjul" (the window
    // manager forgets a hidden window's workspace), and never left marked as
    // demanding attention.
    checkAfterEachShowing([&] {
        EXPECT_TRUE(waitFor([&] { return onEveryWorkspace(strip().winId()); }))
            << windowProperty(strip().winId(), "_NET_WM_DESKTOP").toStdString() << ", "
            << windowProperty(strip().winId(), "_NET_WM_STATE").toStdString();
        EXPECT_TRUE(settlesWithoutAttentionMark(strip().winId()))
            << windowProperty(strip().winId(), "_NET_WM_STATE").toStdString();
        EXPECT_EQ(activeWindow(), editor.winId());
        EXPECT_EQ(QApplication::activeWindow(), &editor);
    });
}

// The window in use is another program's: the strip still comes above it
// without taking the keyboard, and is not left marked as waiting for the
// user. KWin marks a window it refuses to activate when it is mapped (as the
// strip asks it to refuse), and a window that raises itself while another
// program is in use, as showing the strip again does.
TEST_F(DesktopWindowsTest, StripOverAnotherProgramIsNotLeftDemandingAttention)
{
    QProcess other;
    other.start(QStringLiteral("xmessage"), {QStringLiteral("-title"), QStringLiteral("Annet program"),
                                             QStringLiteral("-geometry"), QStringLiteral("+300+300"),
                                             QStringLiteral("Et annet program")});
    ASSERT_TRUE(other.waitForStarted()) << "xmessage (x11-utils) is missing";
    const auto stop = qScopeGuard([&] {
        other.kill();
        other.waitForFinished();
    });
    quint64 otherWindow = 0;
    ASSERT_TRUE(waitFor([&] {
        QProcess search;
        search.start(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--name"),
                                                 QStringLiteral("^Annet program$")});
        search.waitForFinished(5000);
        otherWindow = search.readAllStandardOutput().trimmed().split('\n').value(0).toULongLong();
        return otherWindow != 0 && stackingOrder().contains(otherWindow);
    }));
    // Activated as a task bar does, which counts as the user's latest action.
    const auto useOther = [&] {
        QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("windowactivate"), QString::number(otherWindow)});
        ASSERT_TRUE(waitFor([&] { return activeWindow() == otherWindow; }));
    };
    useOther();

    strip().showStrip();
    ASSERT_TRUE(waitFor([&] { return stripShown(); }));
    checkAfterEachShowing(
        [&] {
            EXPECT_TRUE(settlesWithoutAttentionMark(strip().winId()))
                << windowProperty(strip().winId(), "_NET_WM_STATE").toStdString();
            EXPECT_EQ(activeWindow(), otherWindow);
            const QList<quint64> order = stackingOrder();
            EXPECT_GT(order.indexOf(strip().winId()), order.indexOf(otherWindow));
        },
        useOther);
}

// The strip is never the active window, yet a line cut short shows its whole
// text when the pointer rests on it.
TEST_F(DesktopWindowsTest, ALinesTooltipShowsWithoutTheKeyboard)
{
    server->setMessages({mailMessage("Kari Nordmann <kari.nordmann@fjordpost.example>",
                                     "Et emne som er for langt for stripen, derfor kuttet")});
    writeSettings({{QStringLiteral("StartupCheck"), QStringLiteral("1")}, {QStringLiteral("ShowList"), QStringLiteral("1")}});
    strip().showStrip();
    ASSERT_TRUE(waitFor([&] { return stripShown() && lineCount(strip().messageList) == 1; }));
    ASSERT_NE(QApplication::activeWindow(), &strip());
    QWidget* viewport = strip().messageList->viewport();
    const QPoint at = strip().messageList->visualRect(lineAt(strip().messageList, 0)).center();
    // The pointer moves there on the X server, as the user's would.
    QCursor::setPos(viewport->mapToGlobal(at) + QPoint(-5, 0));
    QCursor::setPos(viewport->mapToGlobal(at));
    EXPECT_TRUE(waitFor([] { return QToolTip::isVisible(); }));
    EXPECT_EQ(QToolTip::text(), lineText(strip().messageList, 0));
    EXPECT_TRUE(QToolTip::text().endsWith(QStringLiteral("derfor kuttet")));
}

TEST_F(DesktopWindowsTest, EveryWindowOpensAboveTheStripAndOnScreen)
{
    strip().showStrip();
    ASSERT_TRUE(waitFor([&] { return stripShown(); }));
    ASSERT_TRUE(strip().messageList->isVisible());

    struct Case {
        const char* name;
        QString objectName; // empty: a message box
        std::function<void()> open; // may run a modal loop until the window is closed
        QString title{};            // the name window lists show; empty: not checked
        QString alsoAbove{};        // another window it must lie above, besides the strip
        bool ownPlace = false;      // a window of its own at its own place: clear of the strip instead
    };
    // The composer's own failure box, shown while the composer has the keyboard.
    const auto composerFailure = [this] {
        strip().newMailAction->trigger();
        QWidget* composer = visibleTopLevel(QStringLiteral("ComposerWindow"));
        ASSERT_TRUE(composer && waitFor([&] { return QApplication::activeWindow() == composer; }));
        rt::runHandler([] { throw std::runtime_error("Sending mislyktes"); });
        composer->close();
    };
    const Case cases[] = {
        {"about box", QStringLiteral("AboutDialog"), [this] { strip().aboutAction->trigger(); }, QStringLiteral("Om")},
        {"failure box", QString(), [] { rt::runHandler([] { throw std::runtime_error("Noe gikk galt"); }); }},
        {"composer", QStringLiteral("ComposerWindow"), [this] { strip().newMailAction->trigger(); },
         QStringLiteral("Ny epost")},
        {"settings dialog", QStringLiteral("SettingsDialog"), [this] { strip().settingsAction->trigger(); },
         QStringLiteral("Epost oppsett")},
        {"connectivity test", QStringLiteral("ConnectionTestWindow"), [this] { windows->connectionTestWindow().showForTest(); },
         QStringLiteral("Tilkoblingstest")},
        {"profile dialog", QStringLiteral("ServerProfileDialog"),
         [this] { windows->serverProfileDialog().editProfile(QStringLiteral("FTP-server"), QStringLiteral("FTP")); },
         QStringLiteral("FTP-server")},
        {"input dialog", QStringLiteral("InputDialog"), [this] { windows->inputDialog().exec(); }, QStringLiteral("Input:")},
        {"FTP window", QStringLiteral("FtpTransferWindow"), [this] { windows->ftpTransferWindow().show(); }, QString(), QString(), true},
        {"failure box over the composer", QString(), composerFailure, QString(), QStringLiteral("ComposerWindow")},
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
            // No window offers a maximise button: each has the size its
            // content needs (the FTP window's only buttons are close and
            // minimise).
            const QString actions = windowProperty(w->winId(), "_NET_WM_ALLOWED_ACTIONS");
            const QString title = windowProperty(w->winId(), "_NET_WM_NAME");
            seen += QStringLiteral(", %1, %2").arg(actions, title);
            const bool stacked = c.ownPlace ? under >= 0 && !frame.intersects(strip().frameGeometry())
                                            : own > under && under >= 0;
            placed = stacked && wholeOnScreen(w)
                && actions.startsWith(QLatin1String("_NET_WM_ALLOWED_ACTIONS = "))
                && !actions.contains(QLatin1String("MAXIMIZE"))
                && (c.title.isEmpty() || title == QStringLiteral("_NET_WM_NAME = \"%1\"").arg(c.title));
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
    // After all of them, the strip is still on every workspace (GNOME's
    // compositor takes a window off them when a modal dialog of it opens).
    EXPECT_TRUE(waitFor([&] { return onEveryWorkspace(strip().winId()); }))
        << windowProperty(strip().winId(), "_NET_WM_DESKTOP").toStdString() << ", "
        << windowProperty(strip().winId(), "_NET_WM_STATE").toStdString();
}

// The box for a message no program could open names where it was saved: the
// path stays on one line, the box as wide as it needs.
TEST_F(DesktopWindowsTest, ASavedMessagesPathStaysOnOneLine)
{
    strip().showStrip();
    ASSERT_TRUE(waitFor([&] { return stripShown(); }));
    const QString path = QStringLiteral("/home/kari-nordmann/.local/share/Tavlund/tmp/temp.eml");
    QString label;
    int labelWidth = 0;
    QFont labelFont;
    bool onScreen = false;
    QTimer::singleShot(0, [&] {
        QWidget* box = nullptr;
        waitFor([&] {
            box = visibleTopLevel(QString());
            return box && box->windowHandle() && box->windowHandle()->isExposed();
        });
        if (!box)
            return;
        if (const auto* text = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))) {
            label = text->text();
            labelWidth = text->contentsRect().width();
            labelFont = text->font();
        }
        onScreen = wholeOnScreen(box);
        qobject_cast<QDialog*>(box)->done(0);
    });
    rt::platform().messageBox(QStringLiteral("Brevglimt"),
                              QStringLiteral("Ingen e-postprogram kunne åpne meldingen. Den er lagret i %1.").arg(path),
                              rt::MsgIcon::Information);
    ASSERT_GT(labelWidth, 0) << "no box shown";
    EXPECT_TRUE(onScreen);
    // The label's text laid out as the label draws it: word-wrapped at its width.
    QTextLayout layout(label, labelFont);
    QTextOption option;
    option.setWrapMode(QTextOption::WordWrap);
    layout.setTextOption(option);
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine())
        line.setLineWidth(labelWidth);
    layout.endLayout();
    const qsizetype start = label.indexOf(QLatin1Char('/'));
    const qsizetype end = label.lastIndexOf(QLatin1Char('.'));
    ASSERT_GE(start, 0);
    ASSERT_GT(layout.lineCount(), 1) << "the text fits one line; the case shows nothing";
    EXPECT_EQ(layout.lineForTextPosition(static_cast<int>(start)).lineNumber(),
              layout.lineForTextPosition(static_cast<int>(end)).lineNumber())
        << "the path is broken across lines";
    EXPECT_EQ(label.remove(QChar(0x2060)).remove(QChar(0x200B)), QStringLiteral("Ingen e-postprogram kunne åpne meldingen. Den er lagret i %1.").arg(path));
}

// An IMAP mailbox on a real Dovecot, with the schedule off: the strip shows
// the waiting messages, and one delivered into the Maildir shows in the
// list by push alone, with no check asked for.
TEST_F(DesktopWindowsTest, ImapPushShowsNewMailWithoutACheck)
{
    if (!testsupport::DovecotServer::imapAvailable())
        GTEST_SKIP() << "dovecot-imapd is not installed (tools/install-deps.sh installs it)";
    testsupport::DovecotServer dovecot({mailMessage("a@test.example", "En", "i1"), mailMessage("b@test.example", "To", "i2"),
                                        mailMessage("c@test.example", "Tre", "i3")});
    writeImapSettings(dovecot, {});
    const auto lines = [this] { return stripLines(); };
    strip().showStrip();
    ASSERT_TRUE(waitFor([&] { return stripShown() && lines().size() == 3; }));
    EXPECT_EQ(strip().statusLabel->text(), QStringLiteral("INNBOKS: 3"));
    EXPECT_FALSE(strip().scheduleTimer->isActive());
    ASSERT_TRUE(waitFor([&] { return strip().watcher().pushState() == watch::ImapPush::State::Up; }));

    dovecot.deliver(mailMessage("d@test.example", "Fire", "i4"));
    QDeadlineTimer threeSeconds(3000);
    while (lines().size() != 4 && !threeSeconds.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_EQ(lines().value(3), QStringLiteral("d@test.example   Fire")) << "not in the list within 3 s";
    EXPECT_EQ(strip().statusLabel->text(), QStringLiteral("INNBOKS: 4"));
}

// The dialog's defaults (no check at start, no schedule) against a real
// Dovecot: push lists the mailbox by itself, shows mail delivered after the
// start within seconds, and mail that came while the server was away (and
// that another mail program took in first, so IDLE never reports it) once
// the server is back, with no box for the outage.
TEST_F(DesktopWindowsTest, ImapPushWatchesFromTheStartAndAfterAnOutage)
{
    if (!testsupport::DovecotServer::imapAvailable())
        GTEST_SKIP() << "dovecot-imapd is not installed (tools/install-deps.sh installs it)";
    testsupport::DovecotServer dovecot({mailMessage("a@test.example", "En", "o1"), mailMessage("b@test.example", "To", "o2")});
    writeImapSettings(dovecot, {{QStringLiteral("StartupCheck"), QStringLiteral("0")}});
    const auto lines = [this] { return stripLines(); };
    strip().showStrip();
    EXPECT_TRUE(waitFor([&] { return stripShown() && lines().size() == 2; })) << "push did not list the mailbox";
    EXPECT_FALSE(strip().scheduleTimer->isActive());

    dovecot.deliver(mailMessage("c@test.example", "Tre", "o3"));
    EXPECT_TRUE(waitFor([&] { return lines().size() == 3; })) << "mail delivered after the start did not show";

    // The server goes away; a message arrives; the server comes back and
    // another mail program opens INBOX before push is back.
    dovecot.stop();
    ASSERT_TRUE(waitFor([&] { return strip().watcher().pushState() == watch::ImapPush::State::Down; }));
    dovecot.deliver(mailMessage("d@test.example", "Fire", "o4"));
    QTest::qWait(3000);
    dovecot.restart();
    QElapsedTimer sinceReturn;
    sinceReturn.start();
    {
        net::ImapClient phone;
        phone.host = dovecot.host();
        phone.port = dovecot.imapPort();
        phone.user = dovecot.user();
        phone.password = dovecot.password();
        phone.connect();
        phone.selectInbox(false);
        phone.disconnect();
    }
    QDeadlineTimer twentySeconds(20000);
    while (lines().size() != 4 && !twentySeconds.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_EQ(lines().value(3), QStringLiteral("d@test.example   Fire")) << "not listed within 20 s of the server's return";
    std::printf("listed %lld ms after the server's return\n", static_cast<long long>(sinceReturn.elapsed()));
    EXPECT_EQ(strip().statusLabel->text(), QStringLiteral("INNBOKS: 4"));
    EXPECT_TRUE(errorTexts().isEmpty()) << errorTexts().join(QLatin1Char('|')).toStdString();
}
