// The push connection alone against a scripted IMAP server: it reports what
// changes, comes back after every way a connection ends, and no server can
// make it spin or hammer the server with log-ins.
#include "imappush.h"
#include "scriptedimapserver.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

using namespace std::chrono_literals;
using testsupport::ImapFault;
using testsupport::ScriptedImapOptions;
using testsupport::ScriptedImapServer;
using watch::ImapPush;

namespace {

QByteArray message(int n)
{
    return "From: a" + QByteArray::number(n) + "@test.example\r\nSubject: Melding " + QByteArray::number(n)
        + "\r\n\r\nHei.\r\n";
}

class ImapPushTest : public ::testing::Test {
protected:
    void SetUp() override { startServer(); }

    void startServer(std::uint16_t port = 0)
    {
        ScriptedImapOptions options;
        options.port = port;
        server = std::make_unique<ScriptedImapServer>(options);
        server->setCredentials("ola", "hemmelig");
        server->setMessages({message(1), message(2)});
    }

    // Starts the push with timing; counts its reports.
    void start()
    {
        changes = std::make_unique<QSignalSpy>(&push, &ImapPush::changed);
        push.setTiming(timing);
        push.start({QStringLiteral("127.0.0.1"), server->port(), QStringLiteral("ola"), QStringLiteral("hemmelig")});
    }

    bool waitFor(const std::function<bool()>& done, int ms = 5000) { return QTest::qWaitFor(done, ms); }
    bool waitUp() { return waitFor([&] { return push.state() == ImapPush::State::Up; }); }
    int count(const QByteArray& verb) const { return int(server->receivedVerbs().count(verb)); }

    // Log-ins over a span of time.
    int loginsDuring(int ms)
    {
        const int before = count("AUTHENTICATE");
        QTest::qWait(ms);
        return count("AUTHENTICATE") - before;
    }

    std::unique_ptr<ScriptedImapServer> server;
    ImapPush::Timing timing{10min, 50ms, 400ms, {3000, 3000}};
    ImapPush push;
    std::unique_ptr<QSignalSpy> changes;
};

} // namespace

// IDLE reports only what changes after it began: a connection that comes up
// asks for a check, so what arrived while push was away shows; after that
// only real news is reported.
TEST_F(ImapPushTest, EachConnectionThatComesUpAsksForACheckThenOnlyNewsDoes)
{
    start();
    ASSERT_TRUE(waitUp());
    EXPECT_TRUE(waitFor([&] { return changes->count() == 1; }));
    server->addMessage(message(3));
    EXPECT_TRUE(waitFor([&] { return changes->count() == 2; }));
    server->setSeen(1, true);
    EXPECT_TRUE(waitFor([&] { return changes->count() == 3; }));
    server->removeMessage(2);
    EXPECT_TRUE(waitFor([&] { return changes->count() == 4; }));

    // The server goes away; a message arrives meanwhile; it comes back.
    const std::uint16_t port = server->port();
    server.reset();
    ASSERT_TRUE(waitFor([&] { return push.state() == ImapPush::State::Down; }));
    EXPECT_FALSE(push.failure().isEmpty()) << "the red indicator's tooltip says why";
    const int beforeReturn = int(changes->count());
    startServer(port);
    server->addMessage(message(4));
    ASSERT_TRUE(waitUp());
    EXPECT_TRUE(waitFor([&] { return changes->count() == beforeReturn + 1; }));
    QTest::qWait(300);
    EXPECT_EQ(changes->count(), beforeReturn + 1) << "a quiet mailbox asks for nothing more";
}

// What a server says in answer to the renewal's NOOP counts as news too; the
// renewal happens on time, each after a NOOP.
TEST_F(ImapPushTest, IdleIsRenewedAfterANoopWhoseNewsCounts)
{
    timing.renewIdle = 200ms;
    start();
    ASSERT_TRUE(waitUp());
    ASSERT_TRUE(waitFor([&] { return changes->count() == 1; }));
    server->clearReceived();
    QTest::qWait(1000);
    const QList<QByteArray> verbs = server->receivedVerbs();
    EXPECT_GE(verbs.count("IDLE"), 3) << "IDLE was not renewed";
    // Every renewal: DONE, then NOOP, then IDLE again.
    for (qsizetype i = 0; i + 2 < verbs.size(); ++i) {
        if (verbs.at(i) == "DONE") {
            EXPECT_EQ(verbs.at(i + 1), "NOOP") << "renewed without the probe";
            EXPECT_EQ(verbs.at(i + 2), "IDLE");
        }
    }
    // News that comes with the NOOP's answer (not in IDLE).
    server->addFault(ImapFault::before("NOOP", "* 7 EXISTS").onOccurrence(1));
    EXPECT_TRUE(waitFor([&] { return changes->count() == 2; }, 2000)) << "the NOOP's news was thrown away";
}

// However the server behaves, the push never spins and never logs in more
// often than the back-off allows.
TEST_F(ImapPushTest, NoServerMakesItSpinOrHammer)
{
    struct Case {
        const char* name;
        std::function<void(ScriptedImapServer&)> arrange;
        int maxIdles;       // IDLE commands in the 2 s measured
        int maxChanges;     // reports in those 2 s
        bool goesDown;      // counted as a failing connection
    };
    const Case cases[] = {
        // "* 2 EXISTS" again at once in every IDLE: no news.
        {"an unchanged EXISTS at every IDLE",
         [](ScriptedImapServer& s) { s.addFault(ImapFault::idleNotice(0, "* 2 EXISTS")); }, 4, 0, false},
        // "+ idling" and the tagged OK in one go, every time.
        {"IDLE ended by the server at once", [](ScriptedImapServer& s) { s.addFault(ImapFault::idleEnd(0)); }, 6, 0,
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        push.stop();
        startServer();
        timing = {10min, 400ms, 2000ms, {3000, 3000}};
        start();
        ASSERT_TRUE(waitFor([&] { return changes->count() == 1; })) << "the first connection never came up";
        c.arrange(*server);
        push.reconnect();
        QTest::qWait(300);
        const int idlesBefore = count("IDLE");
        const int changesBefore = int(changes->count());
        QTest::qWait(2000);
        EXPECT_LE(count("IDLE") - idlesBefore, c.maxIdles) << "IDLE spins";
        // A reconnect (after a failure) asks for one check each; news none.
        const int connections = c.goesDown ? 2 : 0;
        EXPECT_LE(int(changes->count()) - changesBefore, c.maxChanges + connections);
        if (c.goesDown)
            EXPECT_FALSE(push.failure().isEmpty());
        else
            EXPECT_EQ(push.state(), ImapPush::State::Up);
    }
}

// A server that takes the log-in and then drops or refuses every IDLE gets
// the growing back-off, up to its cap; only a connection that held starts
// it afresh, and so does a reconnect (a wake-up).
TEST_F(ImapPushTest, TheBackOffGrowsToItsCapAndStartsAfreshOnlyAfterPushHeld)
{
    timing = {10min, 100ms, 400ms, {3000, 3000}};
    timing.heldAfter = 600ms;
    server->addFault(ImapFault::bye("IDLE"));
    start();
    // Tries at about 0, 0.1, 0.3, 0.7, 1.1, 1.5, 1.9, …: in 4 s about 12;
    // no growth would give 40, no cap only 6.
    const int logins = loginsDuring(4000);
    EXPECT_GE(logins, 8) << "the back-off grew past its cap";
    EXPECT_LE(logins, 16) << "the back-off did not grow";

    // Four failures in a row (waits 0.1, 0.2, 0.4, 0.8 s; the next one would
    // be 1.6 s), then a connection that holds for longer than heldAfter and
    // is dropped: the next try comes after the first step again.
    push.stop();
    server->clearFaults();
    timing.longestRetry = 5s;
    for (int i = 1; i <= 4; ++i)
        server->addFault(ImapFault::bye("IDLE").onOccurrence(i));
    start();
    ASSERT_TRUE(waitFor([&] { return count("IDLE") >= 5 && push.state() == ImapPush::State::Up; }));
    QTest::qWait(800);
    const std::uint16_t port = server->port();
    server.reset();
    startServer(port);
    QElapsedTimer sinceDrop;
    sinceDrop.start();
    ASSERT_TRUE(waitFor([&] { return server->sessionCount() > 0; }, 3000));
    EXPECT_LT(sinceDrop.elapsed(), 1000) << "a connection that held did not start the back-off afresh";
}

TEST_F(ImapPushTest, AReconnectComesAtOnceAndStartsTheBackOffAfresh)
{
    timing = {10min, 100ms, 10s, {3000, 3000}};
    server->addFault(ImapFault::bye("IDLE"));
    start();
    // 0, 0.1, 0.3, 0.7, 1.5: the next wait is 1.6 s.
    QTest::qWait(1700);
    server->clearFaults();
    server->addFault(ImapFault::bye("IDLE").onOccurrence(1));
    const int sessions = server->sessionCount();
    push.reconnect();
    ASSERT_TRUE(waitFor([&] { return server->sessionCount() == sessions + 1; }, 1000)) << "not at once";
    // That one fails (BYE): the next try after the first step again, not
    // after the 1.6 s (or more) the back-off had grown to.
    EXPECT_TRUE(waitFor([&] { return server->sessionCount() == sessions + 2; }, 1000))
        << "the reconnect kept the grown back-off";
    EXPECT_TRUE(waitUp());
}

// A server that answers no IDLE leaves the schedule alone: no reports, no
// reconnecting.
TEST_F(ImapPushTest, WithoutIdleNothingIsReportedOrRetried)
{
    server->setCapabilities({"IMAP4rev1", "UIDPLUS", "AUTH=PLAIN", "SASL-IR"});
    start();
    ASSERT_TRUE(waitFor([&] { return push.state() == ImapPush::State::Unsupported; }));
    const int sessions = server->sessionCount();
    QTest::qWait(500);
    EXPECT_EQ(server->sessionCount(), sessions);
    EXPECT_EQ(changes->count(), 0);
}

// However fast a server reports news, at most one report waits for the
// window thread at a time: a busy window thread meets one, not hundreds.
TEST_F(ImapPushTest, ReportsWaitingForTheWindowThreadAreMerged)
{
    start();
    ASSERT_TRUE(waitFor([&] { return changes->count() == 1; }));
    ScriptedImapServer& s = *server;
    std::thread flood([&s] {
        for (int i = 0; i < 200; ++i) {
            s.addMessage(message(10 + i));
            std::this_thread::sleep_for(2ms);
        }
    });
    // The window thread is busy meanwhile: nothing is delivered.
    flood.join();
    std::this_thread::sleep_for(300ms);
    QTest::qWait(300);
    EXPECT_EQ(changes->count(), 2) << "each report of the flood was queued on its own";
}
