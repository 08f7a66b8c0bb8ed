// The strip while the server is slow or gone, and the guard that keeps
// "Slett" and a double-click on the message a line stood for.
#include "folders.h"
#include "shapewidget.h"
#include "watcherfixture.h"

#include <QAction>
#include <QDir>
#include <QSet>
#include <QTest>
#include <QTimer>

using namespace testsupport;
using app::StripWindow;

namespace {

class LiveWatcherTest : public WatcherFixture {
protected:
    // Replaces the fake message box by one that stays open for boxMs,
    // serving events meanwhile as a real box does, and counts how many
    // stand at once.
    void holdBoxesOpen(int boxMs)
    {
        rt::UiHooks hooks = guard.fake.uiHooks();
        auto record = hooks.messageBox;
        hooks.messageBox = [this, record, boxMs](const QString& caption, const QString& text, rt::MsgIcon icon) {
            record(caption, text, icon);
            maxOpenBoxes = std::max(maxOpenBoxes, ++openBoxes);
            QTest::qWait(boxMs);
            --openBoxes;
        };
        guard.fake.setUiHooks(std::move(hooks));
    }
    int openBoxes = 0;
    int maxOpenBoxes = 0;
};

QByteArray rawMessage(const QByteArray& subject, const QByteArray& messageId, const QByteArray& date)
{
    QByteArray m = "From: Kari <kari@test.example>\r\nSubject: " + subject + "\r\n";
    if (!date.isEmpty())
        m += "Date: " + date + "\r\n";
    if (!messageId.isEmpty())
        m += "Message-ID: " + messageId + "\r\n";
    return m + "\r\nHei.\r\n";
}

QStringList subjectsOn(const ScriptedPop3Server& server)
{
    QStringList out;
    for (const QByteArray& m : server.messages()) {
        const int at = m.indexOf("Subject: ");
        out.append(QString::fromUtf8(m.mid(at + 9, m.indexOf('\r', at) - at - 9)));
    }
    return out;
}

} // namespace

TEST_F(LiveWatcherTest, WindowThreadStaysLiveWhileTheServerStalls)
{
    StripWindow& f = shownStripWith(3);
    server->addFault(Pop3Fault::stall("STAT", 1200));

    int ticks = 0;
    QSet<int> positions;
    QTimer probe;
    probe.setInterval(20);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        ++ticks;
        positions.insert(f.indicatorShape->x());
    });
    probe.start();
    f.checkNowAction->trigger();
    probe.stop();

    EXPECT_GT(ticks, 1) << "a timer on the window thread fired during the check";
    EXPECT_GT(positions.size(), 1) << "the indicator moved during the check";
    EXPECT_EQ(f.statusLabel->text(), QStringLiteral("INNBOKS: 3"));
    EXPECT_FALSE(f.indicatorShape->isVisible());
}

TEST_F(LiveWatcherTest, RequestsDuringACheckStartNoSecondSession)
{
    StripWindow& f = shownStripWith(2);
    const int sessions = server->sessionCount();
    server->clearReceived();
    server->addFault(Pop3Fault::stall("STAT", 800));

    // A schedule tick, "Brevglimt" and both list actions, each falling
    // while the check waits for the server.
    selectLine(f.messageList, 0);
    f.scheduleTimer->start(30);
    QTimer::singleShot(200, &f, [&] { f.checkNowAction->trigger(); });
    QTimer::singleShot(300, &f, [&] { f.deleteAction->trigger(); });
    QTimer::singleShot(400, &f, [&] { f.onListDoubleClicked(); });
    f.checkNowAction->trigger();
    f.scheduleTimer->stop();

    EXPECT_EQ(server->sessionCount(), sessions + 1);
    EXPECT_EQ(server->receivedVerbs().count("USER"), 1);
    EXPECT_FALSE(server->receivedVerbs().contains("DELE"));
    EXPECT_FALSE(server->receivedVerbs().contains("RETR"));
    EXPECT_EQ(server->messages().size(), 2);
    EXPECT_TRUE(errorTexts().isEmpty());
}

TEST_F(LiveWatcherTest, AtMostOneFailureBoxAndTheScheduleGoesOnAfterIt)
{
    writeSettings();
    StripWindow& f = makeStrip();
    f.showStrip();
    server->stop();
    holdBoxesOpen(400);
    f.scheduleTimer->start(50);
    // The first box comes from "Brevglimt", so schedule ticks fall while it
    // stands (a timer never fires inside its own handler).
    f.checkNowAction->trigger();
    QTest::qWait(1200);
    f.scheduleTimer->stop();

    EXPECT_EQ(maxOpenBoxes, 1);
    EXPECT_GE(errorTexts().size(), 2) << "checks resumed after each box was closed";
    for (const QString& text : errorTexts())
        EXPECT_TRUE(text.endsWith(QStringLiteral(": tilkoblingen ble avvist."))) << text.toStdString();
}

// Without UIDL a line is known by Message-ID and Date, or by a digest of its
// header where those are missing or shared. Another program deletes a
// message behind the strip's back; the action then hits the right message
// or none, never another.
TEST_F(LiveWatcherTest, IdentityWithoutUidlHitsTheRightMessageOrNone)
{
    const QByteArray date = "Wed, 09 Dec 2026 10:00:00 +0100";
    const QByteArray otherDate = "Thu, 10 Dec 2026 11:00:00 +0100";
    struct Case {
        const char* name;
        QList<QByteArray> mailbox;
        int removedBehind; // index removed by another program, -1: none
        int row;           // the selected line
        bool open;         // double-click instead of "Slett"
        const char* deleted; // subject deleted on the server, nullptr: none
        const char* notice;  // text of the notice shown, nullptr: none
    };
    const char* changed = "Postkassen er endret";
    const char* unsafe = "kan ikke skilles sikkert";
    const Case cases[] = {
        {"unique, unchanged",
         {rawMessage("A", "<a@x>", date), rawMessage("B", "<b@x>", date), rawMessage("C", "<c@x>", date)},
         -1, 1, false, "B", nullptr},
        {"unique, first removed",
         {rawMessage("A", "<a@x>", date), rawMessage("B", "<b@x>", date), rawMessage("C", "<c@x>", date)},
         0, 1, false, nullptr, changed},
        {"shared id and date, unchanged",
         {rawMessage("A", "<same@x>", date), rawMessage("B", "<same@x>", date), rawMessage("C", "<c@x>", date)},
         -1, 1, false, "B", nullptr},
        {"shared id and date, twin removed",
         {rawMessage("A", "<same@x>", date), rawMessage("B", "<same@x>", date), rawMessage("C", "<c@x>", date)},
         0, 0, false, nullptr, changed},
        {"shared id and date, twin removed, open",
         {rawMessage("A", "<same@x>", date), rawMessage("B", "<same@x>", date), rawMessage("C", "<c@x>", date)},
         0, 0, true, nullptr, changed},
        {"neither id nor date, one removed",
         {rawMessage("A", "", ""), rawMessage("B", "", ""), rawMessage("C", "<c@x>", otherDate)},
         0, 0, false, nullptr, changed},
        {"neither id nor date, alone, unchanged",
         {rawMessage("A", "", ""), rawMessage("C", "<c@x>", otherDate)}, -1, 0, false, "A", nullptr},
        {"whole headers alike",
         {rawMessage("A", "<same@x>", date), rawMessage("A", "<same@x>", date), rawMessage("C", "<c@x>", date)},
         -1, 0, false, nullptr, unsafe},
        {"whole headers alike, open",
         {rawMessage("A", "<same@x>", date), rawMessage("A", "<same@x>", date), rawMessage("C", "<c@x>", date)},
         -1, 1, true, nullptr, unsafe},
    };
    for (const Case& c : cases) {
        StripWindow& f = freshStripWith(c.mailbox, false);
        if (c.removedBehind >= 0)
            server->removeMessage(c.removedBehind);
        QStringList expected = subjectsOn(*server);
        const int sessions = server->sessionCount();
        server->clearReceived();
        selectLine(f.messageList, c.row);
        if (c.open)
            f.onListDoubleClicked();
        else
            f.deleteAction->trigger();

        if (c.deleted)
            expected.removeOne(QString::fromLatin1(c.deleted));
        EXPECT_EQ(subjectsOn(*server), expected) << c.name;
        EXPECT_TRUE(errorTexts().isEmpty()) << c.name;
        if (c.notice) {
            ASSERT_EQ(guard.fake.messages.size(), 1) << c.name;
            EXPECT_TRUE(guard.fake.messages.first().text.contains(QString::fromUtf8(c.notice))) << c.name;
            EXPECT_TRUE(guard.fake.opened.isEmpty()) << c.name;
            EXPECT_FALSE(server->receivedVerbs().contains("RETR")) << c.name;
        } else {
            EXPECT_TRUE(guard.fake.messages.isEmpty()) << c.name;
        }
        if (c.notice && QString::fromUtf8(c.notice) == QString::fromUtf8(unsafe)) {
            EXPECT_EQ(server->sessionCount(), sessions) << c.name << ": nothing sent";
        }
        stripWindow.reset();
    }
}

TEST_F(LiveWatcherTest, UidlListMissingANumberLeavesThatLineAlone)
{
    server->setMessages(numberedMessages(3));
    const QList<QByteArray> uids = server->uniqueIds();
    server->addFault(Pop3Fault::reply("UIDL", "+OK\r\n1 " + uids.at(0) + "\r\n3 " + uids.at(2) + "\r\n."));
    writeSettings();
    StripWindow& f = makeStrip();
    f.showStrip();
    server->clearFaults();
    ASSERT_EQ(lineCount(f.messageList), 3);
    const int sessions = server->sessionCount();
    selectLine(f.messageList, 1);
    f.deleteAction->trigger();
    EXPECT_EQ(server->sessionCount(), sessions) << "nothing sent";
    EXPECT_EQ(server->messages().size(), 3);
    ASSERT_EQ(guard.fake.messages.size(), 1);
    EXPECT_TRUE(guard.fake.messages.first().text.contains(QStringLiteral("så den ble ikke slettet")));
    selectLine(f.messageList, 2);
    f.deleteAction->trigger();
    EXPECT_EQ(server->messages().size(), 2) << "a line with its identity is deleted";
}

// A failure after the connection stood is told, and nothing is lost.
TEST_F(LiveWatcherTest, FailuresAfterConnectingAreTold)
{
    struct Case {
        const char* name;
        bool open;
        std::function<void(ScriptedPop3Server&)> arrange;
        const char* textStart;
        int messagesAfter;
    };
    const QString tmp = rt::namedFolder(QStringLiteral("tmp"));
    const Case cases[] = {
        {"RETR refused", true, [](ScriptedPop3Server& s) { s.addFault(Pop3Fault::error("RETR", "meldingen er låst")); },
         "Serveren avviste RETR 2: meldingen er låst.", 3},
        {"RETR refusal echoing the password", true,
         [](ScriptedPop3Server& s) { s.addFault(Pop3Fault::error("RETR", "ingen tilgang for ola/hemmelig")); },
         "Serveren avviste RETR 2: ingen tilgang for ola/***", 3},
        {"temp.eml not writable", true,
         [&](ScriptedPop3Server&) { QDir().mkpath(tmp + QStringLiteral("temp.eml/sperret")); },
         "Kan ikke lagre meldingen i ", 3},
        {"DELE refused", false, [](ScriptedPop3Server& s) { s.addFault(Pop3Fault::error("DELE", "ikke tillatt")); },
         "Serveren avviste DELE 2: ikke tillatt.", 3},
        {"drop at QUIT after DELE", false,
         [](ScriptedPop3Server& s) { s.addFault(Pop3Fault::drop("QUIT").onOccurrence(1)); },
         "Serveren bekreftet ikke slettingen, så meldingen er ikke slettet: Forbindelsen til 127.0.0.1 ble brutt.", 3},
    };
    for (const Case& c : cases) {
        QDir(tmp + QStringLiteral("temp.eml")).removeRecursively();
        StripWindow& f = freshStripWith(numberedMessages(3));
        c.arrange(*server);
        selectLine(f.messageList, 1);
        if (c.open)
            QTest::mouseDClick(f.messageList->viewport(), Qt::LeftButton, {},
                               f.messageList->visualRect(lineAt(f.messageList, 1)).center());
        else
            f.deleteAction->trigger();
        ASSERT_EQ(errorTexts().size(), 1) << c.name;
        EXPECT_TRUE(errorTexts().first().startsWith(QString::fromUtf8(c.textStart)))
            << c.name << ": " << errorTexts().first().toStdString();
        EXPECT_TRUE(guard.fake.opened.isEmpty()) << c.name;
        EXPECT_EQ(server->messages().size(), c.messagesAfter) << c.name;
        stripWindow.reset();
    }
    QDir(tmp + QStringLiteral("temp.eml")).removeRecursively();
}
