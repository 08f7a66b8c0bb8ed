// The main window on its real widgets, against a scripted POP3 server.
#include "errordisplay.h"
#include "folders.h"
#include "settingsaccess.h"
#include "shapewidget.h"
#include "watcherfixture.h"

#include <QAction>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTimer>
#include <QTest>
#include <QToolButton>

#include <functional>

using namespace testsupport;
using app::StripWindow;

namespace {

class WatcherTest : public WatcherFixture {};

QColor indicatorColour(const StripWindow& f)
{
    return f.indicatorShape->brushColor();
}

} // namespace

TEST_F(WatcherTest, LooksAsDrawn)
{
    StripWindow& f = makeStrip();
    EXPECT_EQ(f.objectName(), QStringLiteral("StripWindow"));
    EXPECT_TRUE(f.windowFlags().testFlag(Qt::FramelessWindowHint));
    EXPECT_TRUE(f.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_EQ(f.size(), QSize(442, 332));
    EXPECT_EQ(f.palette().color(QPalette::Window), QColor(0, 0, 0x80));
    EXPECT_EQ(f.font().pixelSize(), 11);

    struct Box {
        QWidget* widget;
        const char* name;
        QRect rect;
        bool visible;
    };
    const Box boxes[] = {
        {f.barShape, "barShape", QRect(0, 0, 113, 20), true},
        {f.closeBarButton, "closeBarButton", QRect(95, 3, 14, 14), true},
        {f.closeListButton, "closeListButton", QRect(419, 7, 14, 14), true},
        {f.indicatorShape, "indicatorShape", QRect(129, 2, 17, 17), false},
        {f.messageList, "messageList", QRect(0, 20, 433, 309), true},
        {f.hiddenMessageBuffer, "hiddenMessageBuffer", QRect(16, 128, 409, 185), false},
    };
    for (const Box& b : boxes) {
        EXPECT_EQ(b.widget->objectName(), QLatin1String(b.name));
        EXPECT_EQ(b.widget->geometry(), b.rect) << b.name;
        EXPECT_EQ(b.widget->isVisibleTo(&f), b.visible) << b.name;
    }
    EXPECT_EQ(f.statusLabel->text(), QStringLiteral("INNBOKS:"));
    EXPECT_EQ(f.statusLabel->pos(), QPoint(8, 4));
    EXPECT_EQ(f.barShape->brushColor(), QColor(0, 0xFF, 0));
    EXPECT_EQ(f.indicatorShape->brushColor(), QColor(0, 0xFF, 0xFF));
    EXPECT_EQ(f.messageList->palette().color(QPalette::Base), QColor(0xFF, 0xFF, 0));
    EXPECT_EQ(f.closeBarButton->text(), QStringLiteral("X"));
    EXPECT_FALSE(f.scheduleTimer->isActive());
    EXPECT_EQ(f.scheduleTimer->interval(), 60000);
    EXPECT_EQ(f.indicatorTimer->interval(), 100);

    QStringList menu;
    for (QAction* a : f.mainMenu->actions())
        menu.append(a->isSeparator() ? QStringLiteral("-") : a->text());
    EXPECT_EQ(menu, (QStringList{QStringLiteral("Brevglimt"), QStringLiteral("Oppsett"), QStringLiteral("Skjul"),
                                 QStringLiteral("-"), QStringLiteral("Om brevglimt"),
                                 QStringLiteral("Vis meldingsliste"), QStringLiteral("-"),
                                 QStringLiteral("Ny epost"), QStringLiteral("-"), QStringLiteral("Avslutt")}));
    ASSERT_FALSE(f.listMenu->actions().isEmpty());
    EXPECT_EQ(f.listMenu->actions().first()->text(), QStringLiteral("Slett"));
}

TEST_F(WatcherTest, OnlyTheControlsExistOnScreen)
{
    StripWindow& f = makeStrip();
    const QPoint inBar(50, 10), inList(200, 150), below(5, 330), rightOfBar(300, 5);
    f.onCloseListClicked();
    EXPECT_TRUE(f.mask().contains(inBar));
    EXPECT_FALSE(f.mask().contains(inList)) << "the hidden list lets the mouse through";
    EXPECT_FALSE(f.mask().contains(rightOfBar));
    f.onShowListToggled();
    EXPECT_TRUE(f.messageList->isVisibleTo(&f));
    EXPECT_TRUE(f.closeListButton->isVisibleTo(&f));
    EXPECT_TRUE(f.mask().contains(inList));
    EXPECT_TRUE(f.mask().contains(QPoint(425, 12))) << "the list's X";
    EXPECT_FALSE(f.mask().contains(below));
    f.onCloseListClicked();
    EXPECT_FALSE(f.messageList->isVisibleTo(&f));
    EXPECT_FALSE(f.closeListButton->isVisibleTo(&f));
    EXPECT_FALSE(f.mask().contains(inList));
}

TEST_F(WatcherTest, MenuCheckMarkFollowsTheList)
{
    StripWindow& f = makeStrip();
    for (bool visible : {true, false, true}) {
        f.messageList->setVisible(visible);
        f.onMainMenuAboutToShow();
        EXPECT_EQ(f.showListAction->isChecked(), visible);
    }
}

TEST_F(WatcherTest, CheckShowsCountLinesAndListHeight)
{
    struct Case {
        int messages;
        int height;
    };
    const Case cases[] = {{0, 4}, {1, 17}, {3, 43}, {23, 303}, {24, 309}, {40, 309}};
    for (const Case& c : cases) {
        server->setMessages(numberedMessages(c.messages));
        writeSettings();
        StripWindow& f = makeStrip();
        f.showStrip();
        EXPECT_EQ(f.pos(), QPoint(23, 2));
        EXPECT_EQ(f.statusLabel->text(), QStringLiteral("INNBOKS: %1").arg(c.messages));
        EXPECT_EQ(f.messageList->height(), c.height) << c.messages;
        EXPECT_EQ(lineCount(f.messageList), c.messages);
        if (c.messages > 0) {
            EXPECT_EQ(lines().value(0), QStringLiteral("Avsender 1 <a1@test.example>   Melding 1"));
            EXPECT_EQ(Qt::CheckState(lineAt(f.messageList, 0).data(Qt::CheckStateRole).toInt()), Qt::Unchecked);
            EXPECT_TRUE(f.messageList->model()->flags(lineAt(f.messageList, 0)).testFlag(Qt::ItemIsUserCheckable));
            EXPECT_EQ(f.messageList->visualRect(lineAt(f.messageList, 0)).height(), 13);
        }
        EXPECT_FALSE(f.indicatorShape->isVisible());
        EXPECT_FALSE(f.indicatorTimer->isActive());
        waitForServerSessionsEnded();
        ASSERT_FALSE(server->receivedVerbs().isEmpty());
        EXPECT_EQ(server->receivedVerbs().last(), QByteArray("QUIT"));
        EXPECT_TRUE(errorTexts().isEmpty());
        stripWindow.reset();
    }
}

TEST_F(WatcherTest, LinesShowMissingHeadersAsEmptyText)
{
    server->setMessages({mailMessage("", "Uten avsender"), mailMessage("Kari <kari@test.example>", "")});
    writeSettings();
    StripWindow& f = makeStrip();
    f.showStrip();
    EXPECT_EQ(lines(), (QStringList{QStringLiteral("   Uten avsender"), QStringLiteral("Kari <kari@test.example>   ")}));
}

TEST_F(WatcherTest, ChangedCountShowsBeepsAndListsAsSet)
{
    struct Case {
        const char* flags; // S = ShowOnNew, B = BeepOnMail, L = ShowListOnNew
        QList<int> counts; // mailbox size at each check
        int beeps;
        bool listShown;
    };
    const Case cases[] = {
        {"B", {3}, 1, false},
        {"B", {3, 3}, 1, false},      // unchanged: no second beep
        {"B", {3, 1}, 2, false},      // fewer counts as a change
        {"B", {0}, 0, false},         // first check finding nothing is no change
        {"L", {2}, 0, true},
        {"", {2}, 0, false},
        {"SBL", {0, 5}, 1, true},
    };
    for (const Case& c : cases) {
        const QString flags = QString::fromLatin1(c.flags);
        writeSettings({{QStringLiteral("ShowOnNew"), flags.contains(QLatin1Char('S')) ? QStringLiteral("1") : QStringLiteral("0")},
                       {QStringLiteral("BeepOnMail"), flags.contains(QLatin1Char('B')) ? QStringLiteral("1") : QStringLiteral("0")},
                       {QStringLiteral("ShowListOnNew"), flags.contains(QLatin1Char('L')) ? QStringLiteral("1") : QStringLiteral("0")}});
        guard.fake.beeps = 0;
        StripWindow& f = makeStrip();
        server->setMessages(numberedMessages(c.counts.first()));
        f.showStrip();
        for (int n : c.counts.mid(1)) {
            server->setMessages(numberedMessages(n));
            f.checkNowAction->trigger();
        }
        EXPECT_EQ(guard.fake.beeps, c.beeps) << c.flags;
        EXPECT_EQ(f.messageList->isVisibleTo(&f), c.listShown) << c.flags;
        EXPECT_EQ(f.closeListButton->isVisibleTo(&f), c.listShown) << c.flags;
        EXPECT_EQ(f.lastCount(), c.counts.last());
        stripWindow.reset();
    }
}

TEST_F(WatcherTest, HiddenWindowComesBackOnNewMailAndRunsItsShowSequence)
{
    writeSettings({{QStringLiteral("ShowOnNew"), QStringLiteral("1")}, {QStringLiteral("HideWindow"), QStringLiteral("1")}});
    StripWindow& f = makeStrip();
    f.showStrip();
    EXPECT_FALSE(f.isVisible()) << "no mail and HideWindow: hidden";
    const int sessions = server->sessionCount();
    server->setMessages(numberedMessages(2));
    f.move(400, 400);
    f.onScheduleTick();
    EXPECT_TRUE(f.isVisible());
    EXPECT_EQ(f.pos(), QPoint(23, 2));
    // The show sequence ran its own check inside the first one.
    EXPECT_EQ(server->sessionCount(), sessions + 2);
    EXPECT_EQ(f.statusLabel->text(), QStringLiteral("INNBOKS: 2"));
}

// Showing the hidden strip reads the settings again; the count that made it
// show is stored after that, so the next check of the same mailbox is no
// change: one beep, one show.
TEST_F(WatcherTest, ACountThatShowsTheHiddenStripIsReportedOnce)
{
    writeSettings({{QStringLiteral("StartupCheck"), QStringLiteral("0")}, {QStringLiteral("ShowOnNew"), QStringLiteral("1")},
                   {QStringLiteral("BeepOnMail"), QStringLiteral("1")}});
    StripWindow& f = makeStrip();
    f.showStrip();
    f.hideAction->trigger();
    ASSERT_FALSE(f.isVisible());
    server->setMessages(numberedMessages(3));
    guard.fake.beeps = 0;
    f.onScheduleTick();
    EXPECT_TRUE(f.isVisible());
    EXPECT_EQ(guard.fake.beeps, 1);
    f.hideAction->trigger();
    f.onScheduleTick();
    EXPECT_EQ(guard.fake.beeps, 1) << "the same three messages are no news";
    EXPECT_FALSE(f.isVisible()) << "nor do they show the strip again";
    EXPECT_EQ(f.lastCount(), 3);
}

// "StartupCheck" off holds back the show sequence's check only: the user's
// "Brevglimt" and the schedule's checks run, also right after the settings
// were read again (as when the settings dialog closes).
TEST_F(WatcherTest, StartupCheckOffHoldsBackOnlyTheShowSequencesCheck)
{
    server->setMessages(numberedMessages(2));
    writeSettings({{QStringLiteral("StartupCheck"), QStringLiteral("0")}});
    StripWindow& f = makeStrip();
    int dialogs = 0;
    f.openSettingsDialog = [&] { ++dialogs; };
    f.showStrip();
    EXPECT_EQ(server->sessionCount(), 0);
    EXPECT_EQ(f.statusLabel->text(), QStringLiteral("INNBOKS:"));
    f.settingsAction->trigger();
    ASSERT_EQ(dialogs, 1);
    f.checkNowAction->trigger();
    EXPECT_EQ(server->sessionCount(), 1) << "the first Brevglimt after the dialog closed";
    EXPECT_EQ(f.statusLabel->text(), QStringLiteral("INNBOKS: 2"));
    f.readSettings();
    f.onScheduleTick();
    EXPECT_EQ(server->sessionCount(), 2) << "the schedule's check after the settings were read";

    writeSettings({{QStringLiteral("StartupCheck"), QStringLiteral("1")}});
    f.hide();
    f.showStrip();
    EXPECT_EQ(server->sessionCount(), 3) << "the show sequence checks with StartupCheck on";
}

TEST_F(WatcherTest, ScheduleFollowsScheduleMinutes)
{
    struct Case {
        const char* minutes; // nullptr: key absent
        int interval;        // 0: no schedule
    };
    const Case cases[] = {{"2", 120000}, {"0", 0}, {nullptr, 0}, {"abc", 0}, {"-3", 0}, {"35791", 2147460000}, {"99999", 2147460000}};
    for (const Case& c : cases) {
        std::map<QString, QString> settings{{QStringLiteral("StartupCheck"), QStringLiteral("0")},
                                            {QStringLiteral("Scheduler"), QStringLiteral("1")}};
        if (c.minutes)
            settings[QStringLiteral("ScheduleMinutes")] = QString::fromLatin1(c.minutes);
        writeSettings(settings);
        StripWindow& f = makeStrip();
        f.readSettings();
        EXPECT_EQ(f.scheduleTimer->isActive(), c.interval > 0) << (c.minutes ? c.minutes : "absent");
        if (c.interval > 0) {
            EXPECT_EQ(f.scheduleTimer->interval(), c.interval);
        }
        EXPECT_EQ(rt::settingsFile().fileName(), rt::state().settingsFileName) << "back on the main settings file";
        stripWindow.reset();
    }
}

// "Scheduler" off: no scheduled check, whatever interval is stored; on
// again, the stored interval counts.
TEST_F(WatcherTest, SchedulerSwitchesTheSchedule)
{
    const struct {
        const char* scheduler; // nullptr: key absent
        bool runs;
    } cases[] = {{"1", true}, {"0", false}, {nullptr, false}, {"1", true}};
    StripWindow& f = makeStrip();
    for (const auto& c : cases) {
        std::map<QString, QString> settings{{QStringLiteral("StartupCheck"), QStringLiteral("0")},
                                            {QStringLiteral("ScheduleMinutes"), QStringLiteral("7")}};
        if (c.scheduler)
            settings[QStringLiteral("Scheduler")] = QString::fromLatin1(c.scheduler);
        writeSettings(settings);
        f.readSettings();
        EXPECT_EQ(f.scheduleTimer->isActive(), c.runs) << (c.scheduler ? c.scheduler : "absent");
        if (c.runs) {
            EXPECT_EQ(f.scheduleTimer->interval(), 420000);
        }
    }
}

TEST_F(WatcherTest, UnchangedScheduleKeepsItsCountdown)
{
    writeSettings({{QStringLiteral("ScheduleMinutes"), QStringLiteral("5")}, {QStringLiteral("StartupCheck"), QStringLiteral("0")},
                   {QStringLiteral("Scheduler"), QStringLiteral("1")}});
    StripWindow& f = makeStrip();
    f.readSettings();
    const int id = f.scheduleTimer->timerId();
    f.readSettings();
    EXPECT_EQ(f.scheduleTimer->timerId(), id);
    writeSettings({{QStringLiteral("ScheduleMinutes"), QStringLiteral("6")}, {QStringLiteral("StartupCheck"), QStringLiteral("0")},
                   {QStringLiteral("Scheduler"), QStringLiteral("1")}});
    f.readSettings();
    EXPECT_EQ(f.scheduleTimer->interval(), 360000);
    EXPECT_TRUE(f.scheduleTimer->isActive());
}

TEST_F(WatcherTest, ASettingsDialogComesBackUntilAServerIsStored)
{
    writeSettings({{QStringLiteral("ServerName"), QString()}});
    StripWindow& f = makeStrip();
    int openings = 0;
    f.openSettingsDialog = [&] {
        if (++openings == 3)
            writeSettings();
    };
    f.showStrip();
    EXPECT_EQ(openings, 3);
    EXPECT_EQ(server->sessionCount(), 1);
}

// When the settings dialog closes with a new server, user or password, the
// mailbox is checked at once (once, also when the show sequence checks
// too), so the user sees the list without asking for it.
TEST_F(WatcherTest, ANewServerOrLogInIsCheckedWhenTheDialogCloses)
{
    server->setMessages(numberedMessages(2));
    struct Case {
        const char* name;
        std::map<QString, QString> before; // the stored settings before
        std::map<QString, QString> entered; // what the dialog stores
        bool fromMenu; // "Oppsett"; else the dialog of a first start
        int checks;
    };
    const std::map<QString, QString> startupOff{{QStringLiteral("StartupCheck"), QStringLiteral("0")}};
    const std::map<QString, QString> wrongPassword{{QStringLiteral("StartupCheck"), QStringLiteral("0")},
                                                   {QStringLiteral("ServerPassword"), rt::scrambleText(QStringLiteral("feil"))}};
    const Case cases[] = {
        {"first start, startup check off", {{QStringLiteral("ServerName"), QString()}, {QStringLiteral("StartupCheck"), QStringLiteral("0")}},
         startupOff, false, 1},
        {"first start, startup check on", {{QStringLiteral("ServerName"), QString()}}, {}, false, 1},
        {"password corrected", wrongPassword, startupOff, true, 1},
        {"nothing changed", startupOff, startupOff, true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeSettings(c.before);
        const int sessions = server->sessionCount();
        StripWindow& f = makeStrip();
        f.openSettingsDialog = [&] { writeSettings(c.entered); };
        f.showStrip();
        if (c.fromMenu)
            f.settingsAction->trigger();
        QTest::qWait(50);
        EXPECT_EQ(server->sessionCount() - sessions, c.checks);
        EXPECT_EQ(lines().size(), c.checks > 0 ? 2 : 0);
        EXPECT_TRUE(errorTexts().isEmpty()) << errorTexts().join(QLatin1Char('|')).toStdString();
        stripWindow.reset();
    }
}

// Each failure point leaves label, lines, list height and indicator colour
// as the check had them there, names its cause in Norwegian, and the next
// check works.
TEST_F(WatcherTest, FailuresLeaveTheIndicatorColouredByWhereTheyStopped)
{
    struct Case {
        const char* name;
        std::function<void(ScriptedPop3Server&)> arrange;
        QColor colour;
        int linesAfter;
        const char* text; // the error box's text; %1: the server's port
    };
    const QColor aqua(0, 0xFF, 0xFF), red(0xFF, 0, 0), green(0, 0x80, 0);
    const Case cases[] = {
        {"no server", [](ScriptedPop3Server& s) { s.stop(); }, aqua, 5,
         "Kan ikke koble til 127.0.0.1:%1: tilkoblingen ble avvist."},
        {"greeting", [](ScriptedPop3Server& s) { s.addFault(Pop3Fault::error("GREETING", "opptatt")); }, red, 5,
         "Serveren avviste forbindelsen: opptatt."},
        {"silent greeting", [](ScriptedPop3Server& s) { s.addFault(Pop3Fault::stall("GREETING")); }, red, 5,
         "Tidsavbrudd: ingen svar fra 127.0.0.1:%1 innen 300 millisekunder."},
        // The server echoes the password; the box shows stars instead (and,
        // ending in "*", no full stop).
        {"password", [](ScriptedPop3Server& s) { s.addFault(Pop3Fault::error("PASS", "[AUTH] feil passord hemmelig")); },
         red, 5, "Serveren avviste innloggingen: [AUTH] feil passord ***"},
        {"STAT", [](ScriptedPop3Server& s) { s.addFault(Pop3Fault::error("STAT", "postkassen er låst")); }, green, 5,
         "Serveren avviste STAT: postkassen er låst."},
        // New ids, so that the check reads every header again.
        {"TOP 3", [](ScriptedPop3Server& s) {
             s.setMessages(numberedMessages(5));
             s.addFault(Pop3Fault::error("TOP", "borte").onArgument("3"));
         }, green, 2,
         "Serveren avviste TOP 3: borte."},
        {"drop at TOP 4", [](ScriptedPop3Server& s) {
             s.setMessages(numberedMessages(5));
             s.addFault(Pop3Fault::drop("TOP").onArgument("4"));
         }, red, 3,
         "Forbindelsen til 127.0.0.1 ble brutt."},
    };
    for (const Case& c : cases) {
        server = std::make_unique<ScriptedPop3Server>();
        server->setCredentials("ola", "hemmelig");
        server->setMessages(numberedMessages(5));
        writeSettings();
        StripWindow& f = makeStrip();
        f.watcher().setTimeouts({2000, 300});
        f.showStrip();
        ASSERT_EQ(lineCount(f.messageList), 5);
        guard.fake.messages.clear();
        const std::uint16_t port = server->port();
        c.arrange(*server);
        f.checkNowAction->trigger();
        EXPECT_EQ(indicatorColour(f), c.colour) << c.name;
        EXPECT_TRUE(f.indicatorTimer->isActive()) << c.name;
        EXPECT_TRUE(f.indicatorShape->isVisible()) << c.name;
        EXPECT_EQ(f.statusLabel->text(), QStringLiteral("INNBOKS: 5")) << c.name;
        EXPECT_EQ(lineCount(f.messageList), c.linesAfter) << c.name;
        EXPECT_EQ(f.messageList->height(), 69) << c.name;
        EXPECT_EQ(f.lastCount(), 5) << c.name;
        ASSERT_EQ(errorTexts().size(), 1) << c.name;
        const QString text = QString::fromUtf8(c.text);
        EXPECT_EQ(errorTexts().first(), text.contains(QLatin1String("%1")) ? text.arg(port) : text)
            << c.name << ": " << errorTexts().first().toStdString();
        EXPECT_EQ(guard.fake.messages.first().caption, QStringLiteral("Brevglimt"));
        EXPECT_FALSE(errorTexts().first().contains(QStringLiteral("hemmelig"))) << c.name;
        if (std::string(c.name) != "no server") {
            server->clearFaults();
            f.checkNowAction->trigger();
            EXPECT_EQ(errorTexts().size(), 1) << c.name << ": the next check works";
            EXPECT_EQ(lineCount(f.messageList), 5) << c.name;
            EXPECT_FALSE(f.indicatorShape->isVisible()) << c.name;
        }
        stripWindow.reset();
    }
}

TEST_F(WatcherTest, NextCheckClosesAConnectionLeftOpen)
{
    server->setMessages(numberedMessages(2));
    writeSettings();
    StripWindow& f = makeStrip();
    f.showStrip();
    server->addFault(Pop3Fault::error("STAT", "låst").onOccurrence(1));
    f.checkNowAction->trigger();
    EXPECT_TRUE(f.watcher().sessionOpen());
    server->clearReceived();
    f.checkNowAction->trigger();
    EXPECT_EQ(server->receivedVerbs().value(0), QByteArray("QUIT"));
    EXPECT_EQ(f.statusLabel->text(), QStringLiteral("INNBOKS: 2"));
    EXPECT_FALSE(f.indicatorShape->isVisible());
}

TEST_F(WatcherTest, IndicatorSweepsFrom129To402AndStartsOver)
{
    StripWindow& f = makeStrip();
    QList<int> positions{f.indicatorShape->x()};
    for (int i = 0; i < 92; ++i) {
        f.onIndicatorTick();
        positions.append(f.indicatorShape->x());
    }
    EXPECT_EQ(positions.first(), 129);
    EXPECT_EQ(positions.at(91), 402);
    EXPECT_EQ(positions.at(92), 129);
    for (int i = 1; i < 92; ++i)
        EXPECT_EQ(positions.at(i) - positions.at(i - 1), 3);
}

// A double-click or Enter saves the selected message (dot-stuffing undone,
// readable by the user alone) and hands it to the desktop's opener; the
// message stays on the server. When the opener fails, the user learns where
// the message lies.
TEST_F(WatcherTest, OpeningSavesTheMessageAndHandsItToTheOpener)
{
    const struct {
        const char* name;
        std::function<void(StripWindow&)> open;
        bool openerFails;
    } cases[] = {
        {"double-click",
         [](StripWindow& f) {
             QTest::mouseDClick(f.messageList->viewport(), Qt::LeftButton, {},
                                f.messageList->visualRect(lineAt(f.messageList, 1)).center());
         },
         false},
        {"Enter", [](StripWindow& f) { QTest::keyClick(f.messageList, Qt::Key_Return); }, false},
        {"Enter, no mail program", [](StripWindow& f) { QTest::keyClick(f.messageList, Qt::Key_Return); }, true},
    };
    QList<QByteArray> mailbox = numberedMessages(3);
    mailbox[1] += ".prikk i starten\r\nslutt\r\n";
    const QString path = rt::namedFolder(QStringLiteral("tmp")) + QStringLiteral("temp.eml");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StripWindow& f = freshStripWith(mailbox);
        guard.fake.openerFails = c.openerFails;
        selectLine(f.messageList, 1);
        c.open(f);
        ASSERT_EQ(guard.fake.opened.size(), 1);
        EXPECT_EQ(guard.fake.opened[0].value(0), path);
        QFile saved(path);
        ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
        EXPECT_EQ(saved.readAll(), mailbox[1]);
        EXPECT_EQ(QFile::permissions(path) & 0x00FF, 0) << "readable by the user alone";
        EXPECT_EQ(server->messages().size(), 3) << "the message stays on the server";
        QTest::qWait(50); // the opener's outcome is reported from the loop
        QStringList notices;
        for (const ShownMessage& m : guard.fake.messages)
            notices.append(m.text);
        const QStringList expected = c.openerFails
            ? QStringList{QStringLiteral("Ingen e-postprogram kunne åpne meldingen. Den er lagret i %1.").arg(path)}
            : QStringList{};
        EXPECT_EQ(notices, expected);
        EXPECT_FALSE(f.indicatorShape->isVisible());
        EXPECT_FALSE(f.watcher().sessionOpen());
    }
    guard.fake.openerFails = false;
}

TEST_F(WatcherTest, EachLineCarriesItsFullTextAsTooltip)
{
    QList<QByteArray> mailbox{mailMessage("Avsender <a@test.example>", "Et emne som er langt nok til at linjen kuttes i listen "
                                                                         "fordi den ikke faar plass i stripen")};
    StripWindow& f = freshStripWith(mailbox);
    ASSERT_EQ(lineCount(f.messageList), 1);
    EXPECT_EQ(lineAt(f.messageList, 0).data(Qt::ToolTipRole).toString(), lineText(f.messageList, 0));
    EXPECT_TRUE(lineAt(f.messageList, 0).data(Qt::ToolTipRole).toString().endsWith(QStringLiteral("i stripen")));
}

// The box in front of a line is the user's to tick; it sends nothing.
TEST_F(WatcherTest, AClickInALinesBoxTicksThatBoxAlone)
{
    StripWindow& f = freshStripWith(numberedMessages(3));
    const int sessions = server->sessionCount();
    QStyleOptionViewItem option;
    option.initFrom(f.messageList);
    option.rect = f.messageList->visualRect(lineAt(f.messageList, 1));
    option.features |= QStyleOptionViewItem::HasCheckIndicator;
    const QRect box =
        f.messageList->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, f.messageList);
    ASSERT_TRUE(option.rect.contains(box.center()));
    const auto ticks = [&] {
        QList<int> out;
        for (int row = 0; row < lineCount(f.messageList); ++row)
            out.append(lineAt(f.messageList, row).data(Qt::CheckStateRole).toInt());
        return out;
    };

    QTest::mouseClick(f.messageList->viewport(), Qt::LeftButton, {}, box.center());
    EXPECT_EQ(ticks(), (QList<int>{Qt::Unchecked, Qt::Checked, Qt::Unchecked}));
    QTest::mouseClick(f.messageList->viewport(), Qt::LeftButton, {}, box.center());
    EXPECT_EQ(ticks(), (QList<int>{Qt::Unchecked, Qt::Unchecked, Qt::Unchecked}));
    EXPECT_EQ(server->sessionCount(), sessions);
    EXPECT_TRUE(guard.fake.opened.isEmpty());
}

// A check that changed nothing leaves without QUIT's answer; a deletion
// waits for it, since only a confirmed QUIT removes the message. The
// server here holds each answer to QUIT back for 10 s.
TEST_F(WatcherTest, OnlyADeletionWaitsForQuitsAnswer)
{
    StripWindow& f = freshStripWith(numberedMessages(3));
    waitForServerSessionsEnded();
    server->addFault(Pop3Fault::stall("QUIT", 10000));

    f.checkNowAction->trigger();
    EXPECT_EQ(f.statusLabel->text(), QStringLiteral("INNBOKS: 3"));
    waitForServerSessionsEnded();
    EXPECT_EQ(server->answersNotAwaited(), 1) << "the check waited for QUIT's answer";

    server->clearFaults();
    server->addFault(Pop3Fault::stall("QUIT", 300).onOccurrence(1));
    selectLine(f.messageList, 0);
    f.deleteAction->trigger();
    EXPECT_TRUE(errorTexts().isEmpty()) << errorTexts().join(QLatin1Char('|')).toStdString();
    waitForServerSessionsEnded();
    EXPECT_EQ(server->answersNotAwaited(), 1) << "the deletion did not wait for QUIT's answer";
    EXPECT_EQ(server->messages().size(), 2);
    EXPECT_EQ(lines().size(), 2);
}

TEST_F(WatcherTest, WithoutASelectionNothingIsSent)
{
    const struct {
        const char* name;
        std::function<void(StripWindow&)> act;
    } cases[] = {
        {"open", [](StripWindow& f) { f.onListDoubleClicked(); }},
        {"delete", [](StripWindow& f) { f.deleteAction->trigger(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StripWindow& f = freshStripWith(numberedMessages(2));
        f.messageList->clearSelection();
        const int sessions = server->sessionCount();
        c.act(f);
        EXPECT_EQ(server->sessionCount(), sessions);
        EXPECT_EQ(server->messages().size(), 2);
        EXPECT_TRUE(guard.fake.opened.isEmpty());
        EXPECT_TRUE(guard.fake.messages.isEmpty());
        EXPECT_FALSE(f.indicatorShape->isVisible());
    }
}

// Deleting sends DELE for the selected message, then checks again: the
// count, the lines and the list's height follow the mailbox, down to none.
TEST_F(WatcherTest, DeleteRemovesTheSelectedMessageAndChecksAgain)
{
    const struct {
        const char* name;
        int messages;
        QStringList linesAfter;
        int heightAfter;
    } cases[] = {
        {"first of three", 3,
         {QStringLiteral("Avsender 2 <a2@test.example>   Melding 2"),
          QStringLiteral("Avsender 3 <a3@test.example>   Melding 3")},
         30},
        {"the only one", 1, {}, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StripWindow& f = freshStripWith(numberedMessages(c.messages));
        selectLine(f.messageList, 0);
        f.deleteAction->trigger();
        EXPECT_TRUE(errorTexts().isEmpty()) << errorTexts().join(QLatin1Char('|')).toStdString();
        EXPECT_EQ(server->messages().size(), c.messages - 1);
        EXPECT_EQ(f.statusLabel->text(), QStringLiteral("INNBOKS: %1").arg(c.messages - 1));
        EXPECT_EQ(lines(), c.linesAfter);
        EXPECT_EQ(f.messageList->height(), c.heightAfter);
    }
}

TEST_F(WatcherTest, ActionsNeverHitAnotherMessageAfterTheMailboxChanged)
{
    struct Case {
        const char* name;
        bool uidl;
        bool open; // double-click instead of delete
    };
    const Case cases[] = {{"delete, UIDL", true, false}, {"delete, headers", false, false}, {"open, UIDL", true, true}, {"open, headers", false, true}};
    for (const Case& c : cases) {
        server->setUidl(c.uidl);
        server->setMessages(numberedMessages(3));
        writeSettings();
        guard.fake.messages.clear();
        guard.fake.opened.clear();
        StripWindow& f = makeStrip();
        f.showStrip();
        // Another program deletes message 1; number 2 now names "Melding 3".
        server->removeMessage(0);
        selectLine(f.messageList, 1);
        if (c.open)
            f.onListDoubleClicked();
        else
            f.deleteAction->trigger();
        EXPECT_EQ(server->messages().size(), 2) << c.name;
        EXPECT_TRUE(guard.fake.opened.isEmpty()) << c.name;
        EXPECT_FALSE(server->receivedVerbs().contains("DELE")) << c.name;
        EXPECT_FALSE(server->receivedVerbs().contains("RETR")) << c.name;
        ASSERT_EQ(guard.fake.messages.size(), 1) << c.name;
        EXPECT_EQ(guard.fake.messages.first().icon, rt::MsgIcon::Information);
        EXPECT_TRUE(guard.fake.messages.first().text.contains(QStringLiteral("Postkassen er endret"))) << c.name;
        // The list was read again.
        EXPECT_EQ(f.statusLabel->text(), QStringLiteral("INNBOKS: 2")) << c.name;
        EXPECT_EQ(lines().value(1), QStringLiteral("Avsender 3 <a3@test.example>   Melding 3")) << c.name;
        EXPECT_FALSE(f.indicatorShape->isVisible());
        server->clearReceived();
        stripWindow.reset();
    }
}

TEST_F(WatcherTest, ErrorInTheFirstShowIsShownAndTheWindowStays)
{
    writeSettings();
    server->stop();
    StripWindow& f = makeStrip();
    rt::runHandler([&] { f.showStrip(); });
    ASSERT_EQ(errorTexts().size(), 1);
    EXPECT_TRUE(errorTexts().first().startsWith(QStringLiteral("Kan ikke koble til 127.0.0.1:")));
    EXPECT_TRUE(errorTexts().first().endsWith(QLatin1Char('.')));
    EXPECT_TRUE(f.isVisible());
}
