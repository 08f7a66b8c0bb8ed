// The strip watching an IMAP INBOX: the unseen messages listed oldest first,
// opening and deleting by UID, the list cache, and the push connection that
// shows new mail without a check being asked for, against a scripted IMAP
// server that breaks the connection in the ways real ones do.
#include "folders.h"
#include "listcache.h"
#include "pushcheckpacer.h"
#include "safefile.h"
#include "scriptedimapserver.h"
#include "shapewidget.h"
#include "watcherfixture.h"

#include <QAction>
#include <QElapsedTimer>
#include <QFile>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <functional>

using namespace testsupport;
using namespace std::chrono_literals;
using app::StripWindow;

namespace {

QByteArray imapMessage(int n)
{
    return mailMessage("Avsender " + QByteArray::number(n) + " <a" + QByteArray::number(n) + "@test.example>",
                       "Melding " + QByteArray::number(n));
}

QString lineFor(int n)
{
    return QStringLiteral("Avsender %1 <a%1@test.example>   Melding %1").arg(n);
}

class ImapStripTest : public WatcherFixture {
protected:
    void SetUp() override
    {
        WatcherFixture::SetUp();
        imap = std::make_unique<ScriptedImapServer>();
        imap->setCredentials("ola", "hemmelig");
    }
    void TearDown() override
    {
        stripWindow.reset();
        imap.reset();
        WatcherFixture::TearDown();
    }

    void writeImapSettings(std::map<QString, QString> pop3 = {})
    {
        pop3.try_emplace(QStringLiteral("Protocol"), QStringLiteral("IMAP"));
        pop3.try_emplace(QStringLiteral("ServerName"), QStringLiteral("127.0.0.1:%1").arg(imap->port()));
        writeSettings(pop3);
    }

    // A strip shown (so checked once) against INBOX holding messages 1 … n,
    // with the push's waits short enough for a test.
    StripWindow& stripWith(int n, std::map<QString, QString> settings = {})
    {
        QList<QByteArray> box;
        for (int i = 1; i <= n; ++i)
            box.append(imapMessage(i));
        imap->setMessages(box);
        writeImapSettings(std::move(settings));
        StripWindow& f = makeStrip();
        f.watcher().setPushTiming(timing);
        f.pushChecks().setTiming(pacing);
        f.showStrip();
        return f;
    }

    // The UID sets of every UID FETCH of headers since the last clearReceived().
    QList<QByteArray> headerFetches() const
    {
        QList<QByteArray> out;
        for (const QByteArray& c : imap->received()) {
            if (c.startsWith("UID FETCH") && c.contains("HEADER.FIELDS"))
                out.append(c.split(' ').value(2));
        }
        return out;
    }

    bool waitFor(const std::function<bool()>& done, int ms = 5000) { return QTest::qWaitFor(done, ms); }

    std::unique_ptr<ScriptedImapServer> imap;
    watch::ImapPush::Timing timing{std::chrono::minutes(10), 50ms, 400ms, {5000, 5000}};
    watch::PushCheckPacer::Timing pacing{200ms, 50ms, 200ms, 1000ms};
};

} // namespace

TEST_F(ImapStripTest, ListsTheUnseenOldestFirstAndActsByUid)
{
    QList<QByteArray> box;
    for (int i = 1; i <= 5; ++i)
        box.append(imapMessage(i));
    imap->setMessages(box);
    imap->setSeen(2, true);      // read elsewhere
    imap->setDeleted(4, true);   // marked by another program
    writeImapSettings();
    StripWindow& f = makeStrip();
    f.showStrip();
    EXPECT_TRUE(errorTexts().isEmpty()) << errorTexts().join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(lines(), (QStringList{lineFor(1), lineFor(3), lineFor(5)}));
    EXPECT_EQ(f.statusLabel->text(), QStringLiteral("INNBOKS: 3"));
    EXPECT_EQ(f.messageList->height(), 43);
    EXPECT_FALSE(imap->receivedVerbs().contains("SELECT")) << "a check opens INBOX read-only (EXAMINE)";
    EXPECT_FALSE(imap->seen(1)) << "listing marks nothing read";

    // Opening reads the message by its UID into temp.eml without marking
    // it; only when nothing could show it does it stay unread (and listed).
    guard.fake.openerFails = true;
    selectLine(f.messageList, 1);
    f.onListDoubleClicked();
    ASSERT_EQ(guard.fake.opened.size(), 1);
    QFile eml(guard.fake.opened.first().value(0));
    ASSERT_TRUE(eml.open(QIODevice::ReadOnly));
    EXPECT_EQ(eml.readAll(), imap->message(3));
    EXPECT_TRUE(waitFor([&] { return boxTexts(rt::MsgIcon::Information).size() == 1; }));
    EXPECT_FALSE(imap->seen(3)) << "marked read though nothing showed it";
    EXPECT_FALSE(imap->received().contains("UID FETCH 3 BODY[]")) << "fetched without PEEK";
    f.checkNowAction->trigger();
    EXPECT_EQ(lines(), (QStringList{lineFor(1), lineFor(3), lineFor(5)}));
    // Shown by the desktop: now it is read, and the list drops it at the
    // next update.
    guard.fake.openerFails = false;
    selectLine(f.messageList, 1);
    f.onListDoubleClicked();
    EXPECT_TRUE(waitFor([&] { return imap->seen(3); }));
    f.checkNowAction->trigger();
    EXPECT_EQ(lines(), (QStringList{lineFor(1), lineFor(5)}));

    // "Slett" removes exactly that UID (UID EXPUNGE), never another marked one.
    selectLine(f.messageList, 0);
    f.deleteAction->trigger();
    EXPECT_EQ(imap->uids(), (QList<std::uint32_t>{2, 3, 4, 5}));
    EXPECT_TRUE(imap->deleted(4)) << "another program's mark stays its own";
    EXPECT_TRUE(imap->receivedVerbs().contains("UID EXPUNGE"));
    EXPECT_FALSE(imap->receivedVerbs().contains("EXPUNGE"));
    EXPECT_EQ(lines(), QStringList{lineFor(5)});
    EXPECT_EQ(f.statusLabel->text(), QStringLiteral("INNBOKS: 1"));
    EXPECT_TRUE(errorTexts().isEmpty()) << errorTexts().join(QLatin1Char('|')).toStdString();
}

// Without UIDPLUS only the flag is set (a plain EXPUNGE would remove what
// other programs marked too), and the user is told.
TEST_F(ImapStripTest, WithoutUidplusTheMessageIsOnlyMarkedAndTheUserTold)
{
    imap->setCapabilities({"IMAP4rev1", "IDLE", "AUTH=PLAIN", "SASL-IR"});
    StripWindow& f = stripWith(2);
    imap->clearReceived();
    selectLine(f.messageList, 0);
    f.deleteAction->trigger();
    EXPECT_TRUE(imap->deleted(1));
    EXPECT_EQ(imap->uids(), (QList<std::uint32_t>{1, 2}));
    EXPECT_FALSE(imap->receivedVerbs().contains("EXPUNGE"));
    EXPECT_FALSE(imap->receivedVerbs().contains("UID EXPUNGE"));
    ASSERT_EQ(guard.fake.messages.size(), 1);
    EXPECT_TRUE(guard.fake.messages.first().text.contains(QStringLiteral("bare merket for sletting")))
        << guard.fake.messages.first().text.toStdString();
    EXPECT_EQ(lines(), QStringList{lineFor(2)}) << "a marked message is no longer waiting";
}

TEST_F(ImapStripTest, OnlyHeadersOfUidsNotListedBeforeAreFetched)
{
    struct Case {
        const char* name;
        std::function<void(ScriptedImapServer&)> change;
        bool restart; // a new window and watcher, reading the cache file
        QList<QByteArray> fetched;
    };
    const Case cases[] = {
        {"nothing new", [](ScriptedImapServer&) {}, false, {}},
        {"two new", [](ScriptedImapServer& s) { s.addMessage(imapMessage(4)); s.addMessage(imapMessage(5)); }, false,
         {"4:5"}},
        {"one new, after a restart", [](ScriptedImapServer& s) { s.addMessage(imapMessage(4)); }, true, {"4"}},
        {"a new UIDVALIDITY: every UID names another message",
         [](ScriptedImapServer& s) { s.setUidValidity(s.uidValidity() + 7); }, false, {"1:3"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        imap = std::make_unique<ScriptedImapServer>();
        imap->setCredentials("ola", "hemmelig");
        stripWith(3);
        ASSERT_EQ(lines().size(), 3);
        c.change(*imap);
        imap->clearReceived();
        if (c.restart)
            makeStrip().showStrip();
        else
            stripWindow->checkNowAction->trigger();
        EXPECT_TRUE(errorTexts().isEmpty()) << errorTexts().join(QLatin1Char('|')).toStdString();
        EXPECT_EQ(headerFetches(), c.fetched);
        QStringList expected;
        for (std::uint32_t uid : imap->uids())
            expected.append(lineFor(int(uid)));
        EXPECT_EQ(lines(), expected);
    }
}

// The cache spares fetches, never decides what an action touches: a line
// whose text the server's header does not give is neither opened nor
// deleted, and the list is read afresh.
TEST_F(ImapStripTest, AnUntrueCachedLineTouchesNothing)
{
    stripWith(3);
    const QString file = watch::ListCache::fileName(rt::namedFolder(QStringLiteral("tmp")),
                                                    {QStringLiteral("127.0.0.1"), imap->port(), QStringLiteral("ola"), true});
    const QByteArray key = QByteArray::fromHex(
        rt::IniFile(rt::state().etcFolder + QStringLiteral("OLA.INI"))
            .readString(QStringLiteral("Pop3"), QStringLiteral("ListCacheKey"))
            .toLatin1());
    const watch::CacheOwner owner{QStringLiteral("127.0.0.1"), imap->port(), QStringLiteral("ola"), true};
    watch::ListCache cache = watch::ListCache::load(file, owner, key);
    ASSERT_EQ(cache.size(), 3);
    const QByteArray first = QByteArray::number(imap->uidValidity()) + ":1";
    const QByteArray second = QByteArray::number(imap->uidValidity()) + ":2";
    QHash<QByteArray, watch::CachedLine> edited;
    for (std::uint32_t uid : imap->uids()) {
        const QByteArray name = QByteArray::number(imap->uidValidity()) + ':' + QByteArray::number(uid);
        const watch::CachedLine* line = cache.find(name);
        ASSERT_NE(line, nullptr) << name.toStdString();
        edited.insert(name, *line);
    }
    std::swap(edited[first], edited[second]);
    cache.replace(edited);
    ASSERT_TRUE(cache.save(file, key).isEmpty());

    StripWindow& f = makeStrip();
    f.showStrip();
    ASSERT_EQ(lines().value(0), lineFor(2)) << "the cache is trusted for the list";
    guard.fake.messages.clear();
    selectLine(f.messageList, 0);
    f.deleteAction->trigger();
    EXPECT_EQ(imap->uids(), (QList<std::uint32_t>{1, 2, 3}));
    ASSERT_EQ(guard.fake.messages.size(), 1);
    EXPECT_TRUE(guard.fake.messages.first().text.contains(QStringLiteral("Postkassen er endret")));
    EXPECT_EQ(lines(), (QStringList{lineFor(1), lineFor(2), lineFor(3)}));
    selectLine(f.messageList, 0);
    f.deleteAction->trigger();
    EXPECT_EQ(imap->uids(), (QList<std::uint32_t>{2, 3})) << "now the line shows message 1, and it goes";
}

// Push: changes on the server reach the list without a check being asked
// for, however the server or the network ends the waiting connection.
TEST_F(ImapStripTest, PushShowsChangesThroughEveryWayTheConnectionEnds)
{
    struct Case {
        const char* name;
        std::function<void(ScriptedImapServer&, watch::ImapPush::Timing&)> arrange;
    };
    const Case cases[] = {
        {"a quiet connection", [](ScriptedImapServer&, watch::ImapPush::Timing&) {}},
        {"the server ends IDLE early", [](ScriptedImapServer& s, watch::ImapPush::Timing&) {
             s.addFault(ImapFault::idleEnd(100));
         }},
        {"IDLE renewed with a NOOP that is never answered", [](ScriptedImapServer& s, watch::ImapPush::Timing& t) {
             t.renewIdle = 200ms;
             t.timeouts = {2000, 300};
             s.addFault(ImapFault::stall("NOOP").onOccurrence(1));
         }},
        {"the server says BYE in IDLE", [](ScriptedImapServer& s, watch::ImapPush::Timing&) {
             s.addFault(ImapFault::idleNotice(100, "* BYE going down").onOccurrence(1));
         }},
        {"the connection is reset in IDLE", [](ScriptedImapServer& s, watch::ImapPush::Timing&) {
             s.addFault(ImapFault::reset("IDLE").onOccurrence(1));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        imap = std::make_unique<ScriptedImapServer>();
        imap->setCredentials("ola", "hemmelig");
        timing = {std::chrono::minutes(10), 50ms, 400ms, {5000, 5000}};
        c.arrange(*imap, timing);
        stripWith(2);
        ASSERT_EQ(lines().size(), 2);
        // Whatever the fault did to the first connection, give it time.
        QTest::qWait(700);
        imap->addMessage(imapMessage(3));
        EXPECT_TRUE(waitFor([&] { return lines().size() == 3; })) << "the new message never showed";
        imap->setSeen(1, true);
        EXPECT_TRUE(waitFor([&] { return lines() == QStringList{lineFor(2), lineFor(3)}; }))
            << "a message read elsewhere stayed";
        EXPECT_TRUE(errorTexts().isEmpty()) << errorTexts().join(QLatin1Char('|')).toStdString();
        stripWindow.reset();
    }
}

TEST_F(ImapStripTest, WhilePushIsDownTheIndicatorIsRedAndItComesBack)
{
    timing.firstRetry = 300ms;
    StripWindow& f = stripWith(1);
    ASSERT_TRUE(waitFor([&] { return f.watcher().pushState() == watch::ImapPush::State::Up; }));
    EXPECT_FALSE(f.indicatorShape->isVisible());
    // The server goes away: push is down, the indicator stands red, and no
    // failure box comes for the attempts.
    const std::uint16_t port = imap->port();
    imap.reset();
    ASSERT_TRUE(waitFor([&] { return f.watcher().pushState() == watch::ImapPush::State::Down; }));
    EXPECT_TRUE(waitFor([&] { return f.indicatorShape->isVisible(); }));
    EXPECT_EQ(f.indicatorShape->brushColor(), QColor(0xFF, 0, 0));
    EXPECT_FALSE(f.indicatorTimer->isActive());
    QTest::qWait(1000);
    EXPECT_TRUE(errorTexts().isEmpty());
    // Back on the same port: push reconnects by itself and the red goes.
    ScriptedImapOptions options;
    options.port = port;
    imap = std::make_unique<ScriptedImapServer>(options);
    imap->setCredentials("ola", "hemmelig");
    imap->setMessages({imapMessage(1), imapMessage(2)});
    EXPECT_TRUE(waitFor([&] { return f.watcher().pushState() == watch::ImapPush::State::Up; }));
    EXPECT_TRUE(waitFor([&] { return !f.indicatorShape->isVisible(); }));
}

// After a wake-up from sleep the push connection is replaced at once, also
// in the middle of a long back-off.
TEST_F(ImapStripTest, AWakeUpReplacesThePushConnectionAtOnce)
{
    timing.firstRetry = std::chrono::minutes(5);
    StripWindow& f = stripWith(1);
    ASSERT_TRUE(waitFor([&] { return f.watcher().pushState() == watch::ImapPush::State::Up; }));
    const int sessions = imap->sessionCount();
    f.watcher().reconnectPush();
    EXPECT_TRUE(waitFor([&] { return imap->sessionCount() > sessions; }, 3000));
    EXPECT_TRUE(waitFor([&] { return f.watcher().pushState() == watch::ImapPush::State::Up; }));

    // Dropped by the server, with five minutes to wait before the next try.
    imap->addFault(ImapFault::drop("IDLE").onOccurrence(1));
    f.watcher().reconnectPush();
    ASSERT_TRUE(waitFor([&] { return f.watcher().pushState() == watch::ImapPush::State::Down; }));
    const int before = imap->sessionCount();
    f.watcher().reconnectPush();
    EXPECT_TRUE(waitFor([&] { return imap->sessionCount() > before; }, 3000)) << "the back-off was waited out";
    EXPECT_TRUE(waitFor([&] { return f.watcher().pushState() == watch::ImapPush::State::Up; }));
}

TEST_F(ImapStripTest, WithoutIdleTheScheduleIsTheOnlyTrigger)
{
    imap->setCapabilities({"IMAP4rev1", "UIDPLUS", "AUTH=PLAIN", "SASL-IR"});
    StripWindow& f = stripWith(1);
    ASSERT_TRUE(waitFor([&] { return f.watcher().pushState() == watch::ImapPush::State::Unsupported; }));
    EXPECT_FALSE(f.indicatorShape->isVisible()) << "no push is no failure";
    const int sessions = imap->sessionCount();
    imap->addMessage(imapMessage(2));
    QTest::qWait(500);
    EXPECT_EQ(lines().size(), 1);
    EXPECT_EQ(imap->sessionCount(), sessions) << "nothing keeps reconnecting";
    f.onScheduleTick();
    EXPECT_EQ(lines().size(), 2);
}

// Closing the program ends the IDLE at once, however long the server's
// answers would take.
TEST_F(ImapStripTest, ShutdownEndsThePushAtOnce)
{
    timing.timeouts = {60000, 60000};
    StripWindow& f = stripWith(1);
    ASSERT_TRUE(waitFor([&] { return f.watcher().pushState() == watch::ImapPush::State::Up; }));
    imap->addFault(ImapFault::stall("DONE"));
    imap->addFault(ImapFault::stall("LOGOUT"));
    QElapsedTimer clock;
    clock.start();
    stripWindow.reset();
    EXPECT_LT(clock.elapsed(), 5000) << "the shutdown waited for the server";
}

// IDLE tells only what changes after it began: mail that came while the
// server was away shows when push is back, with no check asked for and no
// box for the outage.
TEST_F(ImapStripTest, MailFromAnOutageShowsWhenPushIsBack)
{
    timing.firstRetry = 200ms;
    StripWindow& f = stripWith(2, {{QStringLiteral("Scheduler"), QStringLiteral("0")}});
    ASSERT_TRUE(waitFor([&] { return f.watcher().pushState() == watch::ImapPush::State::Up; }));
    ASSERT_EQ(lines().size(), 2);
    const std::uint16_t port = imap->port();
    imap.reset();
    ASSERT_TRUE(waitFor([&] { return f.watcher().pushState() == watch::ImapPush::State::Down; }));
    ScriptedImapOptions options;
    options.port = port;
    imap = std::make_unique<ScriptedImapServer>(options);
    imap->setCredentials("ola", "hemmelig");
    imap->setMessages({imapMessage(1), imapMessage(2), imapMessage(3)});
    EXPECT_TRUE(waitFor([&] { return lines().size() == 3; })) << "the message from the outage never showed";
    EXPECT_EQ(f.statusLabel->text(), QStringLiteral("INNBOKS: 3"));
    EXPECT_TRUE(errorTexts().isEmpty()) << errorTexts().join(QLatin1Char('|')).toStdString();
}

// With the dialog's defaults (no check at start, no schedule) push still
// watches from the start: its first connection lists the mailbox, and new
// mail follows.
TEST_F(ImapStripTest, WithNoCheckAtStartAndNoSchedulePushWatchesFromTheStart)
{
    StripWindow& f = stripWith(2, {{QStringLiteral("StartupCheck"), QStringLiteral("0")},
                                      {QStringLiteral("Scheduler"), QStringLiteral("0")}});
    EXPECT_TRUE(waitFor([&] { return lines().size() == 2; })) << "push did not bring the list up to date";
    EXPECT_EQ(f.statusLabel->text(), QStringLiteral("INNBOKS: 2"));
    imap->addMessage(imapMessage(3));
    EXPECT_TRUE(waitFor([&] { return lines().size() == 3; }));
    EXPECT_TRUE(errorTexts().isEmpty()) << errorTexts().join(QLatin1Char('|')).toStdString();
}

// A check push asked for that cannot reach the server is push's trouble:
// the red indicator says why, no box comes, and the check is tried again.
TEST_F(ImapStripTest, APushCheckThatCannotReachTheServerShowsRedNotABox)
{
    StripWindow& f = stripWith(1);
    ASSERT_TRUE(waitFor([&] { return f.watcher().pushState() == watch::ImapPush::State::Up; }));
    ASSERT_TRUE(waitFor([&] { return !f.pushChecks().waiting() && !f.pushChecks().running(); }));
    // The push connection stands; the connection the last check kept is
    // dropped, and so is every new one.
    imap->addFault(ImapFault::drop("EXAMINE"));
    imap->addFault(ImapFault::drop("GREETING"));
    imap->addMessage(imapMessage(2));
    EXPECT_TRUE(waitFor([&] { return f.indicatorShape->isVisible() && !f.indicatorTimer->isActive(); }));
    EXPECT_EQ(f.indicatorShape->brushColor(), QColor(0xFF, 0, 0));
    EXPECT_TRUE(f.indicatorShape->toolTip().contains(QStringLiteral("brutt")))
        << f.indicatorShape->toolTip().toStdString();
    EXPECT_TRUE(errorTexts().isEmpty()) << errorTexts().join(QLatin1Char('|')).toStdString();
    // The server takes connections again: the retry shows the message and
    // the red goes.
    imap->clearFaults();
    EXPECT_TRUE(waitFor([&] { return lines().size() == 2; }));
    EXPECT_TRUE(waitFor([&] { return !f.indicatorShape->isVisible(); }));
    // A check the user asks for still tells its failure in a box.
    imap->addFault(ImapFault::drop("EXAMINE"));
    imap->addFault(ImapFault::drop("GREETING"));
    f.checkNowAction->trigger();
    EXPECT_EQ(errorTexts().size(), 1);
}

// However often the server reports, push's checks come at most one per two
// seconds, and an EXISTS that repeats the known count brings none.
TEST_F(ImapStripTest, AFloodOfReportsGivesAtMostOneCheckPerTwoSeconds)
{
    pacing = {};
    StripWindow& f = stripWith(1);
    ASSERT_TRUE(waitFor([&] { return f.watcher().pushState() == watch::ImapPush::State::Up; }));
    ASSERT_TRUE(waitFor([&] { return !f.pushChecks().waiting() && !f.pushChecks().running(); }, 5000));
    const auto checks = [&] { return int(imap->receivedVerbs().count("UID SEARCH")); };

    // A new message every 5 ms for 3 s.
    int before = checks();
    QElapsedTimer flood;
    flood.start();
    int added = 1;
    while (flood.elapsed() < 3000) {
        imap->addMessage(imapMessage(++added));
        QTest::qWait(5);
    }
    EXPECT_LE(checks() - before, 2) << "more than one check per two seconds";
    EXPECT_TRUE(waitFor([&] { return lines().size() == added; }, 6000)) << "the last of the flood never showed";

    // The same count again at every IDLE: no check at all.
    ASSERT_TRUE(waitFor([&] { return !f.pushChecks().waiting() && !f.pushChecks().running(); }, 5000));
    imap->addFault(ImapFault::idleNotice(0, "* " + QByteArray::number(added) + " EXISTS"));
    f.watcher().reconnectPush();
    QTest::qWait(2500);
    before = checks();
    QTest::qWait(3000);
    EXPECT_EQ(checks(), before) << "an unchanged EXISTS was taken for news";
    EXPECT_TRUE(errorTexts().isEmpty()) << errorTexts().join(QLatin1Char('|')).toStdString();
}

// Another account in the settings: push follows it.
TEST_F(ImapStripTest, PushFollowsAChangedAccount)
{
    StripWindow& f = stripWith(1);
    ASSERT_TRUE(waitFor([&] { return f.watcher().pushState() == watch::ImapPush::State::Up; }));
    ScriptedImapServer other;
    other.setCredentials("kari", "hemmelig");
    other.setMessages({imapMessage(7)});
    writeImapSettings({{QStringLiteral("ServerName"), QStringLiteral("127.0.0.1:%1").arg(other.port())},
                       {QStringLiteral("ServerUser"), QStringLiteral("kari")}});
    f.readSettings();
    EXPECT_TRUE(waitFor([&] { return other.receivedVerbs().contains("IDLE"); })) << "push stayed on the old account";
    other.addMessage(imapMessage(8));
    f.checkNowAction->trigger();
    EXPECT_EQ(lines(), (QStringList{lineFor(7), lineFor(8)}));
}

// While push is up, a check keeps its connection for the next one: news
// reaches the list without a new log-in. A kept connection that no longer
// answers is given up after a short wait, and the check logs in afresh.
TEST_F(ImapStripTest, PushNewsIsReadOnTheKeptConnection)
{
    StripWindow& f = stripWith(1);
    ASSERT_TRUE(waitFor([&] { return f.watcher().pushState() == watch::ImapPush::State::Up; }));
    ASSERT_TRUE(waitFor([&] { return !f.pushChecks().waiting() && !f.pushChecks().running(); }));
    const auto logins = [&] { return int(imap->receivedVerbs().count("AUTHENTICATE")); };
    const int before = logins();
    imap->addMessage(imapMessage(2));
    ASSERT_TRUE(waitFor([&] { return lines().size() == 2; }));
    EXPECT_EQ(logins(), before) << "the news was read over a new log-in";

    imap->addFault(ImapFault::stall("EXAMINE").onOccurrence(1));
    imap->addMessage(imapMessage(3));
    EXPECT_TRUE(waitFor([&] { return lines().size() == 3; }, 8000)) << "a quiet kept connection held the check";
    EXPECT_EQ(logins(), before + 1);
    EXPECT_TRUE(errorTexts().isEmpty()) << errorTexts().join(QLatin1Char('|')).toStdString();
}

// A new UIDVALIDITY means every UID may name another message, even one with
// the same header: "Slett" and opening touch nothing, and the list is read
// again.
TEST_F(ImapStripTest, ANewUidValidityBeforeAnActionTouchesNothing)
{
    StripWindow& f = stripWith(2);
    ASSERT_EQ(lines().size(), 2);
    imap->setUidValidity(imap->uidValidity() + 1);
    guard.fake.messages.clear();
    selectLine(f.messageList, 0);
    f.deleteAction->trigger();
    EXPECT_EQ(imap->uids(), (QList<std::uint32_t>{1, 2}));
    EXPECT_FALSE(imap->deleted(1));
    ASSERT_EQ(guard.fake.messages.size(), 1);
    EXPECT_TRUE(guard.fake.messages.first().text.contains(QStringLiteral("Postkassen er endret")));
    guard.fake.messages.clear();
    imap->setUidValidity(imap->uidValidity() + 1);
    selectLine(f.messageList, 0);
    f.onListDoubleClicked();
    EXPECT_TRUE(guard.fake.opened.isEmpty());
    ASSERT_EQ(guard.fake.messages.size(), 1);
    EXPECT_TRUE(guard.fake.messages.first().text.contains(QStringLiteral("Postkassen er endret")));
}

// A message is marked read on the mailbox it came from only: when the
// settings name another mailbox by the time the desktop has shown it,
// nothing is marked anywhere.
TEST_F(ImapStripTest, AnOpenedMessageIsMarkedReadOnlyOnItsOwnMailbox)
{
    StripWindow& f = stripWith(2);
    ScriptedImapServer other;
    other.setCredentials("ola", "hemmelig");
    other.setMessages({imapMessage(1), imapMessage(2)});
    selectLine(f.messageList, 0);
    f.onListDoubleClicked(); // the desktop's report is queued
    ASSERT_EQ(guard.fake.opened.size(), 1);
    writeImapSettings({{QStringLiteral("ServerName"), QStringLiteral("127.0.0.1:%1").arg(other.port())}});
    f.readSettings();
    QTest::qWait(500);
    EXPECT_FALSE(imap->seen(1));
    EXPECT_FALSE(other.seen(1)) << "marked on another mailbox";
    EXPECT_FALSE(other.receivedVerbs().contains("UID STORE"));
}
