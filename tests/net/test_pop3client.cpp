// The POP3 client against the scripted server: the commands on the wire,
// the events, the server's refusals, broken and slow connections.
#include "neterrortext.h"
#include "pop3client.h"
#include "termination.h"
#include "scriptedpop3server.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include <optional>
#include <ostream>

using net::NetError;
using net::Pop3Client;
using testing::HasSubstr;
using testing::Not;
using testsupport::Pop3Fault;
using testsupport::ScriptedPop3Options;
using testsupport::ScriptedPop3Server;

void PrintTo(const QString& s, std::ostream* os)
{
    *os << '"' << s.toStdString() << '"';
}

void PrintTo(const QByteArray& s, std::ostream* os)
{
    *os << '"' << s.toStdString() << '"';
}

namespace testsupport {
void PrintTo(const Pop3Fault& f, std::ostream* os)
{
    *os << f.verb.toStdString() << '/' << int(f.action) << '/' << f.text.left(40).toStdString();
}
} // namespace testsupport

namespace {

using testsupport::netError;
using testsupport::str;

// text with "{port}" replaced by port.
QString withPort(const char* text, std::uint16_t port)
{
    return QString::fromUtf8(text).replace(QStringLiteral("{port}"), QString::number(port));
}

// Parameter structs print as their name.
template <class T>
auto operator<<(std::ostream& os, const T& c) -> decltype(c.name, os)
{
    return os << c.name;
}

QByteArray header(int n)
{
    return "From: Kari <kari@example.no>\r\nSubject: Melding " + QByteArray::number(n)
        + "\r\nMessage-ID: <" + QByteArray::number(n) + "@example.no>\r\n\r\n";
}

QByteArray message(int n)
{
    return header(n) + "Hei nummer " + QByteArray::number(n) + "\r\n";
}

QList<QByteArray> messages(int count)
{
    QList<QByteArray> out;
    for (int i = 1; i <= count; ++i)
        out.append(message(i));
    return out;
}

class Pop3ClientTest : public testing::Test {
protected:
    explicit Pop3ClientTest(const ScriptedPop3Options& options = {})
        : server(options)
    {
        server.setMessages(messages(3));
        client.host = server.host();
        client.port = server.port();
        client.user = QStringLiteral("user");
        client.password = QStringLiteral("secret");
        // Generous: only the time-out tests wait for the limit.
        client.timeouts = {5000, 20000};
        client.onConnected = [this] { events.append(QStringLiteral("connected")); };
        client.onDisconnected = [this] { events.append(QStringLiteral("disconnected")); };
    }

    // Headers handed over by retrieveHeaders(), by message number.
    std::map<int, QByteArray> headers(int first, int last)
    {
        got.clear();
        client.retrieveHeaders(first, last, [this](int i, const QByteArray& h) {
            EXPECT_FALSE(got.count(i)) << "header " << i << " handed over twice";
            got[i] = h;
        });
        return got;
    }

    ScriptedPop3Server server;
    Pop3Client client;
    QStringList events;
    std::map<int, QByteArray> got;
};

const QStringList kConnected{QStringLiteral("connected")};
const QStringList kConnectedAndClosed{QStringLiteral("connected"), QStringLiteral("disconnected")};

TEST_F(Pop3ClientTest, NormalSessionSendsTheCommandsInOrder)
{
    client.connect();
    EXPECT_TRUE(client.connected());
    EXPECT_EQ(client.capabilities(),
              (QStringList{QStringLiteral("USER"), QStringLiteral("UIDL"), QStringLiteral("TOP"),
                           QStringLiteral("PIPELINING")}));
    EXPECT_EQ(client.messageCount(), 3);
    EXPECT_EQ(headers(1, 3), (std::map<int, QByteArray>{{1, header(1)}, {2, header(2)}, {3, header(3)}}));
    client.disconnect();

    EXPECT_FALSE(client.connected());
    // PIPELINING is listed: STAT goes with UIDL, whose reply waits for uniqueIds().
    EXPECT_EQ(server.received(), (QList<QByteArray>{"CAPA", "USER user", "PASS secret", "STAT", "UIDL", "TOP 1 0",
                                                    "TOP 2 0", "TOP 3 0", "QUIT"}));
    EXPECT_EQ(events, kConnectedAndClosed);
    EXPECT_EQ(server.messages(), messages(3));
}

TEST_F(Pop3ClientTest, ConnectedFiresBeforeTheGreetingIsAnswered)
{
    qsizetype commandsAtConnect = -1;
    client.onConnected = [&] { commandsAtConnect = server.received().size(); };
    client.connect();
    EXPECT_EQ(commandsAtConnect, 0);
}

TEST_F(Pop3ClientTest, LowerCaseCapabilitiesAreUpperCasedFirstWords)
{
    server.setCapabilities({"top", "sasl PLAIN LOGIN", "Pipelining", "IMPLEMENTATION Skrivebordet 1.0"});
    client.connect();
    EXPECT_EQ(client.capabilities(), (QStringList{QStringLiteral("TOP"), QStringLiteral("SASL"),
                                                  QStringLiteral("PIPELINING"), QStringLiteral("IMPLEMENTATION")}));
}

TEST_F(Pop3ClientTest, RefusedCapaIsAcceptedAndMeansNoPipelining)
{
    server.setCapa(false);
    client.connect();
    EXPECT_TRUE(client.capabilities().isEmpty());
    EXPECT_EQ(headers(1, 3).size(), 3u);
    EXPECT_EQ(server.maxQueuedCommands(), 1);
    EXPECT_EQ(events, kConnected);
}

// A refused or broken login closes at once, without QUIT.
struct LoginFailure {
    const char* name;
    std::optional<Pop3Fault> fault;
    QString password;
    const char* expectedText;
    QList<QByteArray> verbsSent;
};

class Pop3LoginFailureTest : public Pop3ClientTest, public testing::WithParamInterface<LoginFailure> {};

TEST_P(Pop3LoginFailureTest, ClosesWithoutQuitAndReportsTheServersWords)
{
    const LoginFailure& c = GetParam();
    if (c.fault)
        server.addFault(*c.fault);
    client.password = c.password;

    const auto error = netError([&] { client.connect(); });
    ASSERT_TRUE(error);
    EXPECT_EQ(*error, QString::fromUtf8(c.expectedText));
    EXPECT_FALSE(client.connected());
    EXPECT_EQ(events, kConnectedAndClosed);
    ASSERT_TRUE(server.waitForEndedSessions(1));
    EXPECT_EQ(server.receivedVerbs(), c.verbsSent);

    client.disconnect(); // nothing left to close
    EXPECT_EQ(events, kConnectedAndClosed);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Pop3LoginFailureTest,
    testing::Values(
        // CAPA goes out with the connection, before the greeting is read.
        LoginFailure{"GreetingErr", Pop3Fault::error("GREETING", "Too many connections"), QStringLiteral("secret"),
                     "Serveren avviste forbindelsen: Too many connections", {"CAPA"}},
        LoginFailure{"GreetingGarbage", Pop3Fault::reply("GREETING", "220 smtp.example.no ESMTP"),
                     QStringLiteral("secret"), "Ugyldig svar fra 127.0.0.1: «220 smtp.example.no ESMTP»", {"CAPA"}},
        // USER and PASS go in one write (PIPELINING); the first refusal counts.
        LoginFailure{"UserErr", Pop3Fault::error("USER", "no such mailbox"), QStringLiteral("secret"),
                     "Serveren avviste innloggingen: no such mailbox", {"CAPA", "USER", "PASS"}},
        LoginFailure{"PassErr", Pop3Fault::error("PASS", "[IN-USE] mailbox locked"), QStringLiteral("secret"),
                     "Serveren avviste innloggingen: [IN-USE] mailbox locked", {"CAPA", "USER", "PASS"}},
        LoginFailure{"WrongPassword", std::nullopt, QStringLiteral("feil"),
                     "Serveren avviste innloggingen: [AUTH] authentication failed", {"CAPA", "USER", "PASS"}},
        // Control characters and a direction override from the server show
        // as marks (U+FFFD), a tab as a blank: the box cannot be disguised.
        LoginFailure{"PassErrWithControls", Pop3Fault::error("PASS", "\x1b[2J[AUTH]\tfeil \xe2\x80\xae" "dro"),
                     QStringLiteral("secret"),
                     "Serveren avviste innloggingen: \xef\xbf\xbd[2J[AUTH] feil \xef\xbf\xbd" "dro",
                     {"CAPA", "USER", "PASS"}}),
    [](const auto& info) { return std::string(info.param.name); });

// A refused command leaves the connection in step and open.
struct CommandRefusal {
    const char* name;
    Pop3Fault fault;
    std::function<void(Pop3Client&)> call;
    const char* expectedText;
};

class Pop3CommandRefusalTest : public Pop3ClientTest, public testing::WithParamInterface<CommandRefusal> {};

TEST_P(Pop3CommandRefusalTest, ThrowsTheServersTextAndStaysUsable)
{
    server.addFault(GetParam().fault.onOccurrence(1));
    client.connect();

    const auto error = netError([&] { GetParam().call(client); });
    ASSERT_TRUE(error);
    EXPECT_EQ(*error, QString::fromUtf8(GetParam().expectedText));
    EXPECT_TRUE(client.connected());
    EXPECT_EQ(events, kConnected);

    EXPECT_EQ(client.messageCount(), 3);
    EXPECT_EQ(client.retrieveHeader(2), header(2));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Pop3CommandRefusalTest,
    testing::Values(CommandRefusal{"Stat", Pop3Fault::error("STAT", "refused here"),
                                   [](Pop3Client& c) { c.messageCount(); }, "Serveren avviste STAT: refused here"},
                    CommandRefusal{"Top", Pop3Fault::error("TOP", "refused here"),
                                   [](Pop3Client& c) { c.retrieveHeader(1); }, "Serveren avviste TOP 1: refused here"},
                    CommandRefusal{"Dele", Pop3Fault::error("DELE", "refused here"),
                                   [](Pop3Client& c) { c.deleteMessage(1); }, "Serveren avviste DELE 1: refused here"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Pop3ClientTest, RefusedRetrReturnsFalseAndTheConnectionGoesOn)
{
    server.addFault(Pop3Fault::error("RETR", "message is busy").onArgument("2"));
    client.connect();

    QByteArray body = "unchanged";
    QString refusal;
    EXPECT_FALSE(client.retrieveRaw(2, body, &refusal));
    EXPECT_EQ(refusal, QStringLiteral("Serveren avviste RETR 2: message is busy"));
    EXPECT_FALSE(client.retrieveRaw(99, body)); // the server's own "no such message"
    EXPECT_EQ(body, "unchanged");
    EXPECT_TRUE(client.retrieveRaw(3, body));
    EXPECT_EQ(body, message(3));
    EXPECT_EQ(events, kConnected);
}

// A message comes back byte for byte: dot-stuffed lines, and a message far
// above the cap of other replies (1 MiB), which has its own.
TEST_F(Pop3ClientTest, MessagesSurviveTheRoundTrip)
{
    const QByteArray head = "Subject: prikker\r\n.X-Odd: starts with a dot\r\n\r\n";
    const struct {
        const char* name;
        QByteArray body;
    } cases[] = {
        {"dot-stuffing", ".\r\n..\r\n.hidden\r\n...three\r\nmid.dle\r\n.\r\nlast\r\n"},
        {"2 MiB", (".vedlegg " + QByteArray(990, 'v') + "\r\n").repeated(2 * 1024)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QByteArray raw = head + c.body;
        server.setMessages({raw});
        client.connect();

        QByteArray got;
        ASSERT_TRUE(client.retrieveRaw(1, got));
        EXPECT_EQ(got.size(), raw.size());
        EXPECT_TRUE(got == raw);
        EXPECT_EQ(client.retrieveHeader(1), head);
        client.disconnect();
    }
}

struct StatCase {
    const char* reply;
    int count;
};

class Pop3StatTest : public Pop3ClientTest, public testing::WithParamInterface<StatCase> {};

TEST_P(Pop3StatTest, CountIsTheFirstNumber)
{
    server.addFault(Pop3Fault::reply("STAT", GetParam().reply));
    client.connect();
    EXPECT_EQ(client.messageCount(), GetParam().count);
    EXPECT_TRUE(client.connected());
}

INSTANTIATE_TEST_SUITE_P(Replies, Pop3StatTest,
                         testing::Values(StatCase{"+OK 3 1200", 3}, StatCase{"+OK", 0}, StatCase{"+OK ", 0},
                                         StatCase{"+OK 0 0", 0}, StatCase{"+OK   12", 12}));

// A count that is no number, or one no mailbox reaches (a check would ask
// for headers for ever), is refused; the connection stays in step.
class Pop3BadStatTest : public Pop3ClientTest, public testing::WithParamInterface<const char*> {};

TEST_P(Pop3BadStatTest, ThrowsButStaysOpen)
{
    server.addFault(Pop3Fault::reply("STAT", GetParam()).onOccurrence(1));
    client.connect();
    const auto error = netError([&] { client.messageCount(); });
    ASSERT_TRUE(error);
    EXPECT_THAT(str(*error), HasSubstr("Ugyldig svar på STAT fra 127.0.0.1"));
    EXPECT_EQ(client.messageCount(), 3);
    const auto ids = client.uniqueIds();
    ASSERT_TRUE(ids);
    EXPECT_EQ(ids->size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(Replies, Pop3BadStatTest,
                         testing::Values("+OK many", "+OK 2147483647 0", "+OK 1000001 0", "+OK -1 0"));

// Header retrieval with and without pipelining gives the same results.
struct PipelineMode {
    const char* name;
    bool serverOffers;
    bool clientAllows;
    bool pipelined() const { return serverOffers && clientAllows; }
};

class Pop3HeadersTest : public Pop3ClientTest, public testing::WithParamInterface<PipelineMode> {
protected:
    void SetUp() override
    {
        server.setPipelining(GetParam().serverOffers);
        client.allowPipelining = GetParam().clientAllows;
        server.setMessages(messages(150));
    }

    static std::map<int, QByteArray> expected(int first, int last)
    {
        std::map<int, QByteArray> out;
        for (int i = first; i <= last; ++i)
            out[i] = header(i);
        return out;
    }
};

TEST_P(Pop3HeadersTest, AllHeadersArriveInOrder)
{
    client.connect();
    std::vector<int> order;
    client.retrieveHeaders(1, 150, [&](int i, const QByteArray& h) {
        order.push_back(i);
        EXPECT_EQ(h, header(i));
    });
    ASSERT_EQ(order.size(), 150u);
    for (int i = 0; i < 150; ++i)
        EXPECT_EQ(order[std::size_t(i)], i + 1);

    if (GetParam().pipelined())
        EXPECT_GT(server.maxQueuedCommands(), 1);
    else
        EXPECT_EQ(server.maxQueuedCommands(), 1);
}

TEST_P(Pop3HeadersTest, EmptyRangeSendsNothing)
{
    client.connect();
    server.clearReceived();
    EXPECT_TRUE(headers(5, 4).empty());
    EXPECT_TRUE(server.received().isEmpty());
}

TEST_P(Pop3HeadersTest, RefusedTopInTheMiddleStopsThereAndStaysInStep)
{
    server.addFault(Pop3Fault::error("TOP", "message 70 is gone").onArgument("70"));
    client.connect();

    const auto error = netError([&] { headers(1, 150); });
    ASSERT_TRUE(error);
    EXPECT_EQ(*error, QStringLiteral("Serveren avviste TOP 70: message 70 is gone"));
    EXPECT_EQ(got, expected(1, 69));
    EXPECT_TRUE(client.connected());

    // Every reply of the batch was consumed: the next answers belong to the
    // next commands.
    EXPECT_EQ(client.messageCount(), 150);
    EXPECT_EQ(client.retrieveHeader(71), header(71));
    EXPECT_EQ(headers(140, 150), expected(140, 150));
    EXPECT_EQ(events, kConnected);
}

TEST_P(Pop3HeadersTest, DropInTheMiddleClosesAfterTheHeadersReceived)
{
    server.addFault(Pop3Fault::drop("TOP").onArgument("5"));
    client.connect();

    const auto error = netError([&] { headers(1, 10); });
    ASSERT_TRUE(error);
    EXPECT_EQ(*error, QStringLiteral("Forbindelsen til 127.0.0.1 ble brutt"));
    EXPECT_EQ(got, expected(1, 4));
    EXPECT_FALSE(client.connected());
    EXPECT_EQ(events, kConnectedAndClosed);
}

TEST_P(Pop3HeadersTest, SinkExceptionLeavesTheConnectionInStep)
{
    client.connect();
    struct Stop {};
    std::vector<int> seen;
    EXPECT_THROW(client.retrieveHeaders(1, 10,
                                        [&](int i, const QByteArray&) {
                                            seen.push_back(i);
                                            if (i == 3)
                                                throw Stop{};
                                        }),
                 Stop);
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(client.messageCount(), 150);
}

// The window slides: far more messages than fit in it at once, a refusal
// near the end, every earlier header handed over and the session in step.
TEST_P(Pop3HeadersTest, RefusalLateInALargeMailboxStaysInStep)
{
    server.setMessages(messages(3000));
    server.addFault(Pop3Fault::error("TOP", "gone").onArgument("2900"));
    client.connect();

    const auto error = netError([&] { headers(1, 3000); });
    ASSERT_TRUE(error);
    EXPECT_EQ(*error, QStringLiteral("Serveren avviste TOP 2900: gone"));
    EXPECT_EQ(got, expected(1, 2899));
    EXPECT_EQ(client.retrieveHeader(2901), header(2901));
    // Written ahead, but never the whole range at once.
    EXPECT_LT(server.maxQueuedCommands(), 1500);
}

INSTANTIATE_TEST_SUITE_P(Modes, Pop3HeadersTest,
                         testing::Values(PipelineMode{"Pipelined", true, true},
                                         PipelineMode{"ServerWithout", false, true},
                                         PipelineMode{"ClientRefuses", true, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// A broken or untrustworthy stream: thrown, closed, reported.
struct StreamBreak {
    const char* name;
    Pop3Fault fault;
    std::function<void(Pop3Client&)> call;
    const char* textPart;
};

class Pop3StreamBreakTest : public Pop3ClientTest, public testing::WithParamInterface<StreamBreak> {};

TEST_P(Pop3StreamBreakTest, ThrowsAndCloses)
{
    server.addFault(GetParam().fault);
    client.timeouts.replyMs = 300;
    const auto error = netError([&] {
        client.connect();
        GetParam().call(client);
    });
    ASSERT_TRUE(error);
    EXPECT_THAT(str(*error), HasSubstr(str(withPort(GetParam().textPart, server.port()))));
    EXPECT_FALSE(client.connected());
    EXPECT_EQ(events, kConnectedAndClosed);

    // The server is free for the next session.
    server.clearFaults();
    client.timeouts.replyMs = 20000;
    const int sessions = server.sessionCount();
    client.connect();
    EXPECT_EQ(client.messageCount(), 3);
    EXPECT_EQ(server.sessionCount(), sessions + 1);
}

const QByteArray kLongLine(70000, 'x');

// count lines of length bytes each (CR LF included).
QByteArray manyLines(int count, int length)
{
    const QByteArray line = QByteArray(length - 2, 'y') + "\r\n";
    return line.repeated(count);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Pop3StreamBreakTest,
    testing::Values(
        StreamBreak{"StallGreeting", Pop3Fault::stall("GREETING"), [](Pop3Client&) {},
                    "Tidsavbrudd: ingen svar fra 127.0.0.1:{port} innen 300 millisekunder"},
        StreamBreak{"StallStat", Pop3Fault::stall("STAT"), [](Pop3Client& c) { c.messageCount(); },
                    "Tidsavbrudd: ingen svar fra 127.0.0.1:{port} innen 300 millisekunder"},
        StreamBreak{"StallRetrBody", Pop3Fault::reply("RETR", "+OK\r\nFrom: a").onOccurrence(1),
                    [](Pop3Client& c) {
                        QByteArray m;
                        c.retrieveRaw(1, m);
                    },
                    "Tidsavbrudd"},
        // 40 ms a byte keeps each wait short, but the line takes longer than 300 ms.
        StreamBreak{"TrickleGreeting", Pop3Fault::trickle("GREETING", 40), [](Pop3Client&) {},
                    "Tidsavbrudd: ingen svar fra 127.0.0.1:{port} innen 300 millisekunder"},
        StreamBreak{"DropAfterPass", Pop3Fault::drop("PASS"), [](Pop3Client&) {}, "ble brutt"},
        StreamBreak{"DropStat", Pop3Fault::drop("STAT"), [](Pop3Client& c) { c.messageCount(); }, "ble brutt"},
        StreamBreak{"DropRetr", Pop3Fault::drop("RETR"),
                    [](Pop3Client& c) {
                        QByteArray m;
                        c.retrieveRaw(1, m);
                    },
                    "ble brutt"},
        StreamBreak{"GarbageCapa", Pop3Fault::reply("CAPA", "what?"), [](Pop3Client&) {}, "what?"},
        StreamBreak{"GarbageStat", Pop3Fault::reply("STAT", "* OK ready"), [](Pop3Client& c) { c.messageCount(); },
                    "Ugyldig svar fra 127.0.0.1"},
        StreamBreak{"GarbageRetr", Pop3Fault::reply("RETR", "OK here it comes"),
                    [](Pop3Client& c) {
                        QByteArray m;
                        c.retrieveRaw(1, m);
                    },
                    "Ugyldig svar"},
        StreamBreak{"GarbageUidl", Pop3Fault::reply("UIDL", "+OKAY"), [](Pop3Client& c) { c.uniqueIds(); },
                    "Ugyldig svar"},
        StreamBreak{"LongStatusLine", Pop3Fault::reply("STAT", "+OK " + kLongLine),
                    [](Pop3Client& c) { c.messageCount(); }, "Ugyldig svar"},
        StreamBreak{"LongHeaderLine", Pop3Fault::reply("TOP", "+OK\r\nSubject: " + kLongLine + "\r\n."),
                    [](Pop3Client& c) { c.retrieveHeader(1); }, "Ugyldig svar"},
        // Each line arrives well within 300 ms (six bytes at most, 20 ms a
        // byte), but the whole reply takes 660 ms: the time-out is the reply's.
        StreamBreak{"TrickleCapa",
                    Pop3Fault::trickle("CAPA", 20, "+OK\r\nTOP\r\nUIDL\r\nUSER\r\nX1\r\nX2\r\n.\r\n"),
                    [](Pop3Client&) {}, "Tidsavbrudd: ingen svar fra 127.0.0.1:{port} innen 300 millisekunder"},
        // Replies that never end: cut at their cap instead of filling memory.
        StreamBreak{"EndlessHeader", Pop3Fault::reply("TOP", "+OK\r\n" + manyLines(1100, 1000) + "."),
                    [](Pop3Client& c) { c.retrieveHeader(1); },
                    "Ugyldig svar fra 127.0.0.1: svaret er større enn 1 MiB"},
        StreamBreak{"EndlessCapa", Pop3Fault::reply("CAPA", "+OK\r\n" + manyLines(1100, 1000) + "."),
                    [](Pop3Client&) {}, "svaret er større enn 1 MiB"}),
    [](const auto& info) { return std::string(info.param.name); });

// Shutdown ends a step that waits for a server at once, whatever is left of
// its time-out, and closes the connection.
TEST_F(Pop3ClientTest, CancelEndsAWaitingStep)
{
    server.addFault(Pop3Fault::stall("STAT"));
    client.timeouts.replyMs = 600000;
    client.connect();
    std::thread canceller([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        rt::requestCancel();
    });
    const auto error = netError([&] { client.messageCount(); });
    canceller.join();
    rt::clearCancel();
    ASSERT_TRUE(error);
    EXPECT_EQ(*error, QStringLiteral("Avbrutt fordi programmet avsluttes"));
    EXPECT_FALSE(client.connected());
    EXPECT_EQ(events, kConnectedAndClosed);
}

// Replies that never end stop at their cap: a UIDL list has room for some
// hundred thousand messages, a message for the largest a user plausibly
// gets; the connection is closed.
TEST_F(Pop3ClientTest, EndlessListsAndMessagesStopAtTheirCap)
{
    const struct {
        const char* verb;
        std::function<void(Pop3Client&)> act;
        QString text;
    } cases[] = {
        {"UIDL", [](Pop3Client& c) { c.uniqueIds(); },
         QStringLiteral("Ugyldig svar fra 127.0.0.1: svaret er større enn 16 MiB")},
        {"RETR",
         [](Pop3Client& c) {
             QByteArray message;
             c.retrieveRaw(1, message);
         },
         QStringLiteral("Meldingen RETR 1 fra 127.0.0.1 er større enn 256 MiB, som er grensen")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.verb);
        server.clearFaults();
        server.addFault(Pop3Fault::endless(c.verb, "+OK"));
        client.connect();
        const auto error = netError([&] { c.act(client); });
        ASSERT_TRUE(error);
        EXPECT_EQ(*error, c.text);
        EXPECT_FALSE(client.connected());
    }
}

TEST_F(Pop3ClientTest, SlowRepliesWithinTheLimitAreFine)
{
    server.setReplyDelayMs(20);
    server.addFault(Pop3Fault::stall("STAT", 150));
    client.timeouts.replyMs = 2000;
    client.connect();
    EXPECT_EQ(client.messageCount(), 3);
    EXPECT_EQ(headers(1, 3).size(), 3u);
    client.disconnect();
    EXPECT_EQ(events, kConnectedAndClosed);
}

TEST(Pop3ClientConnect, RefusedPortNamesHostPortAndReason)
{
    std::uint16_t port = 0;
    {
        ScriptedPop3Server closed;
        port = closed.port();
    }
    Pop3Client client;
    client.host = QStringLiteral("127.0.0.1");
    client.port = port;
    int fired = 0;
    client.onConnected = [&] { ++fired; };
    client.onDisconnected = [&] { ++fired; };

    const auto error = netError([&] { client.connect(); });
    ASSERT_TRUE(error);
    const QString prefix = QStringLiteral("Kan ikke koble til 127.0.0.1:%1: ").arg(port);
    EXPECT_TRUE(error->startsWith(prefix)) << str(*error);
    EXPECT_GT(error->size(), prefix.size()) << "no reason given";
    EXPECT_EQ(*error, prefix + QStringLiteral("tilkoblingen ble avvist"));
    EXPECT_EQ(fired, 0);
    EXPECT_FALSE(client.connected());
}

TEST(Pop3ClientConnect, WorksOverIpv6Loopback)
{
    std::unique_ptr<ScriptedPop3Server> server;
    try {
        server = std::make_unique<ScriptedPop3Server>(ScriptedPop3Options{.ipv6 = true});
    } catch (const std::exception& e) {
        GTEST_SKIP() << "no IPv6 loopback here: " << e.what();
    }
    server->setMessages(messages(2));
    for (const QString& host : {QStringLiteral("::1"), QStringLiteral("[::1]")}) {
        Pop3Client client;
        client.host = host;
        client.port = server->port();
        client.user = QStringLiteral("user");
        client.password = QStringLiteral("secret");
        client.connect();
        EXPECT_EQ(client.messageCount(), 2) << str(host);
        client.disconnect();
    }
    EXPECT_EQ(server->sessionCount(), 2);
}

// Whatever goes wrong at or after PASS, the password stays out of the text,
// also where the shown text is cut or its blanks collapsed.
struct PasswordCase {
    const char* name;
    QByteArray password;
    Pop3Fault fault;
    std::function<void(Pop3Client&)> after; // a step after the login
};

class Pop3PasswordTest : public Pop3ClientTest, public testing::WithParamInterface<PasswordCase> {};

TEST_P(Pop3PasswordTest, NeverInTheErrorText)
{
    const QByteArray password = GetParam().password;
    server.setCredentials("user", password);
    client.password = QString::fromUtf8(password);
    client.timeouts.replyMs = 300;
    server.addFault(GetParam().fault);

    const auto error = netError([&] {
        client.connect();
        GetParam().after(client);
    });
    ASSERT_TRUE(error);
    EXPECT_TRUE(server.received().contains("PASS " + password));
    const std::string text = str(*error);
    EXPECT_THAT(text, Not(HasSubstr(password.toStdString())));
    // No piece of it either: the first 12 characters stand for a prefix.
    EXPECT_THAT(text, Not(HasSubstr(password.left(12).toStdString())));
    EXPECT_THAT(text, Not(HasSubstr(password.simplified().toStdString())));
    EXPECT_THAT(text, Not(HasSubstr(password.trimmed().toStdString())));
}

const QByteArray kPw = "hunter2-hemmelig";
const QByteArray kBlankPw = "hemmelig  passord";
const QByteArray kLongPw = "lang-hemmelighet-" + QByteArray(80, 'k');
const QByteArray kBlankEndsPw = " hemmelig  passord ";
const auto kLoginOnly = [](Pop3Client&) {};

INSTANTIATE_TEST_SUITE_P(
    Faults, Pop3PasswordTest,
    testing::Values(
        PasswordCase{"RefusalEchoes", kPw, Pop3Fault::error("PASS", "bad password " + kPw), kLoginOnly},
        PasswordCase{"EmptyRefusal", kPw, Pop3Fault::error("PASS", ""), kLoginOnly},
        PasswordCase{"GarbageEchoes", kPw, Pop3Fault::reply("PASS", "unknown command PASS " + kPw), kLoginOnly},
        PasswordCase{"Drop", kPw, Pop3Fault::drop("PASS"), kLoginOnly},
        PasswordCase{"Stall", kPw, Pop3Fault::stall("PASS"), kLoginOnly},
        PasswordCase{"TwoBlanksCollapsed", kBlankPw, Pop3Fault::reply("PASS", "what is PASS " + kBlankPw),
                     kLoginOnly},
        // The reply's text is trimmed before it is shown: the blanks at the
        // password's ends go, and what is left must not show either.
        PasswordCase{"BlankEndsTrimmed", kBlankEndsPw, Pop3Fault::error("PASS", "bad password " + kBlankEndsPw),
                     kLoginOnly},
        PasswordCase{"LongCutAtTheEdge", kLongPw, Pop3Fault::reply("PASS", QByteArray(90, 'z') + ' ' + kLongPw),
                     kLoginOnly},
        PasswordCase{"LaterRefusalEchoes", kPw, Pop3Fault::error("STAT", "you said " + kPw),
                     [](Pop3Client& c) { c.messageCount(); }},
        PasswordCase{"LaterDeleRefusal", kPw, Pop3Fault::error("DELE", "after PASS " + kPw),
                     [](Pop3Client& c) { c.deleteMessage(1); }},
        // A refused RETR is no exception; its text is what the strip shows.
        PasswordCase{"LaterRetrRefusal", kPw, Pop3Fault::error("RETR", "after PASS " + kPw),
                     [](Pop3Client& c) {
                         QByteArray message;
                         QString refusal;
                         if (!c.retrieveRaw(1, message, &refusal))
                             throw NetError(refusal);
                     }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Pop3ClientTest, UniqueIdsMatchTheServer)
{
    client.connect();
    const auto ids = client.uniqueIds();
    ASSERT_TRUE(ids);
    const QList<QByteArray> serverIds = server.uniqueIds();
    EXPECT_EQ(*ids, (std::map<int, QByteArray>{{1, serverIds[0]}, {2, serverIds[1]}, {3, serverIds[2]}}));
    EXPECT_EQ(client.uniqueId(2), serverIds[1]);
    EXPECT_EQ(client.uniqueId(99), std::nullopt);
}

TEST_F(Pop3ClientTest, UniqueIdsAreMissingWhenTheServerLacksUidl)
{
    server.setUidl(false);
    client.connect();
    EXPECT_FALSE(client.capabilities().contains(QStringLiteral("UIDL")));
    EXPECT_EQ(client.uniqueIds(), std::nullopt);
    EXPECT_EQ(client.uniqueId(1), std::nullopt);
    EXPECT_EQ(client.messageCount(), 3);
}

TEST_F(Pop3ClientTest, DeletionsTakeEffectAtQuitAndMailCanArriveBetweenSessions)
{
    client.connect();
    client.deleteMessage(2);
    EXPECT_TRUE(netError([&] { client.deleteMessage(2); })); // already deleted
    QByteArray body;
    EXPECT_FALSE(client.retrieveRaw(2, body));
    EXPECT_EQ(server.messages(), messages(3)); // not before QUIT
    client.disconnect();
    EXPECT_EQ(server.messages(), (QList<QByteArray>{message(1), message(3)}));

    const QList<QByteArray> before = server.uniqueIds();
    ASSERT_EQ(before.size(), 2);
    const QByteArray newId = server.addMessage(message(4));
    client.connect();
    EXPECT_EQ(client.messageCount(), 3);
    EXPECT_EQ(client.uniqueIds(), (std::map<int, QByteArray>{{1, before[0]}, {2, before[1]}, {3, newId}}));
    client.disconnect();
    EXPECT_EQ(server.sessionCount(), 2);
}

TEST_F(Pop3ClientTest, DisconnectIsQuietWhenTheQuitFails)
{
    client.disconnect(); // not connected: nothing happens
    EXPECT_TRUE(events.isEmpty());

    server.addFault(Pop3Fault::drop("QUIT"));
    client.connect();
    client.disconnect();
    EXPECT_FALSE(client.connected());
    EXPECT_EQ(events, kConnectedAndClosed);
}

TEST_F(Pop3ClientTest, DestructorClosesWithoutQuitOrEvents)
{
    int fired = 0;
    {
        Pop3Client local;
        local.host = server.host();
        local.port = server.port();
        local.user = QStringLiteral("user");
        local.password = QStringLiteral("secret");
        local.connect();
        local.onConnected = [&] { ++fired; };
        local.onDisconnected = [&] { ++fired; };
    }
    EXPECT_EQ(fired, 0);
    EXPECT_EQ(server.receivedVerbs(), (QList<QByteArray>{"CAPA", "USER", "PASS"}));
}

// AUTH PLAIN's response for user "user" and password "secret".
const QByteArray kPlainToken = QByteArray("\0user\0secret", 12).toBase64();
const QList<QByteArray> kDefaultCaps{"USER", "UIDL", "TOP", "PIPELINING"};

// The log-in as the capabilities allow: AUTH PLAIN with the initial response
// where SASL lists PLAIN, USER and PASS otherwise; with PIPELINING all in
// one write, and STAT and UIDL in it when the count is asked for, whose
// answers then cost no further command.
struct LoginBurst {
    const char* name;
    QList<QByteArray> capabilities;
    bool clientAllows;
    Pop3Client::AfterLogin after;
    QList<QByteArray> sent; // after CAPA, up to connect()'s return
    int queued; // the most commands the server found waiting at once
    bool counted; // STAT and UIDL went with the log-in
};

class Pop3LoginBurstTest : public Pop3ClientTest, public testing::WithParamInterface<LoginBurst> {};

TEST_P(Pop3LoginBurstTest, SendsTheLogInAsOfferedAndCountsFromItsAnswers)
{
    const LoginBurst& c = GetParam();
    server.setCapabilities(c.capabilities);
    client.allowPipelining = c.clientAllows;

    client.connect(c.after);
    EXPECT_EQ(server.received(), QList<QByteArray>{"CAPA"} + c.sent);
    EXPECT_EQ(server.maxQueuedCommands(), c.queued);

    server.clearReceived();
    EXPECT_EQ(client.messageCount(), 3);
    const QList<QByteArray> serverIds = server.uniqueIds();
    EXPECT_EQ(client.uniqueIds(), (std::map<int, QByteArray>{{1, serverIds[0]}, {2, serverIds[1]}, {3, serverIds[2]}}));
    EXPECT_EQ(server.receivedVerbs(), c.counted ? QList<QByteArray>() : (QList<QByteArray>{"STAT", "UIDL"}));
    // The session goes on in step after the answers read ahead.
    EXPECT_EQ(client.retrieveHeader(2), header(2));
    EXPECT_EQ(events, kConnected);
}

using After = Pop3Client::AfterLogin;

INSTANTIATE_TEST_SUITE_P(
    Cases, Pop3LoginBurstTest,
    testing::Values(
        LoginBurst{"UserPassWithCount", kDefaultCaps, true, After::Count,
                   {"USER user", "PASS secret", "STAT", "UIDL"}, 4, true},
        LoginBurst{"UserPassAlone", kDefaultCaps, true, After::Nothing, {"USER user", "PASS secret"}, 2, false},
        LoginBurst{"AuthPlainWithCount", kDefaultCaps + QList<QByteArray>{"SASL PLAIN LOGIN"}, true, After::Count,
                   {"AUTH PLAIN " + kPlainToken, "STAT", "UIDL"}, 3, true},
        LoginBurst{"AuthPlainLowerCase", {"uidl", "sasl login plain", "pipelining"}, true, After::Count,
                   {"AUTH PLAIN " + kPlainToken, "STAT", "UIDL"}, 3, true},
        LoginBurst{"AuthPlainWithoutPipelining", {"USER", "UIDL", "TOP", "SASL PLAIN"}, true, After::Count,
                   {"AUTH PLAIN " + kPlainToken}, 1, false},
        LoginBurst{"SaslWithoutPlain", kDefaultCaps + QList<QByteArray>{"SASL CRAM-MD5 LOGIN"}, true, After::Count,
                   {"USER user", "PASS secret", "STAT", "UIDL"}, 4, true},
        // A mechanism named PLAIN in another line is no SASL offer.
        LoginBurst{"PlainOutsideSasl", kDefaultCaps + QList<QByteArray>{"X-AUTH PLAIN"}, true, After::Count,
                   {"USER user", "PASS secret", "STAT", "UIDL"}, 4, true},
        LoginBurst{"UserPassWithoutPipelining", {"USER", "UIDL", "TOP"}, true, After::Count,
                   {"USER user", "PASS secret"}, 1, false},
        LoginBurst{"PipeliningNotAllowed", kDefaultCaps + QList<QByteArray>{"SASL PLAIN"}, false, After::Count,
                   {"AUTH PLAIN " + kPlainToken}, 1, false}),
    [](const auto& info) { return std::string(info.param.name); });

// A refusal anywhere in the log-in's write ends the session with the
// server's words, also when the server closes right after it; nothing the
// server answered behind the refusal is used.
struct BurstRefusal {
    const char* name;
    QList<QByteArray> capabilities;
    std::optional<Pop3Fault> fault;
    QString password;
    const char* expectedText;
};

class Pop3BurstRefusalTest : public Pop3ClientTest, public testing::WithParamInterface<BurstRefusal> {};

TEST_P(Pop3BurstRefusalTest, StopsWithTheServersWords)
{
    const BurstRefusal& c = GetParam();
    server.setCapabilities(c.capabilities);
    if (c.fault)
        server.addFault(*c.fault);
    client.password = c.password;

    const auto error = netError([&] { client.connect(Pop3Client::AfterLogin::Count); });
    ASSERT_TRUE(error);
    EXPECT_EQ(*error, QString::fromUtf8(c.expectedText));
    EXPECT_FALSE(client.connected());
    EXPECT_EQ(events, kConnectedAndClosed);
    // No count or list answered behind the refusal is handed out.
    EXPECT_EQ(netError([&] { client.messageCount(); }), QStringLiteral("Ikke tilkoblet 127.0.0.1"));
    EXPECT_EQ(netError([&] { client.uniqueIds(); }), QStringLiteral("Ikke tilkoblet 127.0.0.1"));
    ASSERT_TRUE(server.waitForEndedSessions(1));
    EXPECT_EQ(server.receivedVerbs().value(1), c.capabilities.contains("SASL PLAIN") ? "AUTH" : "USER");
}

const QList<QByteArray> kSaslCaps = kDefaultCaps + QList<QByteArray>{"SASL PLAIN"};

INSTANTIATE_TEST_SUITE_P(
    Cases, Pop3BurstRefusalTest,
    testing::Values(
        BurstRefusal{"UserRefused", kDefaultCaps, Pop3Fault::error("USER", "no such mailbox"), QStringLiteral("secret"),
                     "Serveren avviste innloggingen: no such mailbox"},
        BurstRefusal{"UserRefusedAndClosed", kDefaultCaps, Pop3Fault::errorAndClose("USER", "[SYS/TEMP] try later"),
                     QStringLiteral("secret"), "Serveren avviste innloggingen: [SYS/TEMP] try later"},
        BurstRefusal{"PassRefused", kDefaultCaps, Pop3Fault::error("PASS", "[IN-USE] mailbox locked"),
                     QStringLiteral("secret"), "Serveren avviste innloggingen: [IN-USE] mailbox locked"},
        BurstRefusal{"PassRefusedAndClosed", kDefaultCaps, Pop3Fault::errorAndClose("PASS", "[AUTH] go away"),
                     QStringLiteral("secret"), "Serveren avviste innloggingen: [AUTH] go away"},
        BurstRefusal{"WrongPassword", kDefaultCaps, std::nullopt, QStringLiteral("feil"),
                     "Serveren avviste innloggingen: [AUTH] authentication failed"},
        BurstRefusal{"AuthRefused", kSaslCaps, Pop3Fault::error("AUTH", "[AUTH] Authentication failed."),
                     QStringLiteral("secret"), "Serveren avviste innloggingen: [AUTH] Authentication failed."},
        BurstRefusal{"AuthRefusedAndClosed", kSaslCaps, Pop3Fault::errorAndClose("AUTH", "[SYS/PERM] disabled"),
                     QStringLiteral("secret"), "Serveren avviste innloggingen: [SYS/PERM] disabled"},
        BurstRefusal{"AuthWrongPassword", kSaslCaps, std::nullopt, QStringLiteral("feil"),
                     "Serveren avviste innloggingen: [AUTH] authentication failed"}),
    [](const auto& info) { return std::string(info.param.name); });

// AUTH PLAIN carries the password in base64: neither that response nor
// the password's own base64 form shows in an error text.
TEST_F(Pop3ClientTest, AuthPlainResponseNeverInTheErrorText)
{
    const QByteArray password = "hunter2-hemmelig";
    const QByteArray token = ("\0user\0" + password).toBase64();
    server.setCapabilities(kSaslCaps);
    server.setCredentials("user", password);
    client.password = QString::fromUtf8(password);
    const Pop3Fault faults[] = {
        Pop3Fault::error("AUTH", "bad response " + token),
        Pop3Fault::error("AUTH", "bad password " + password.toBase64()),
        Pop3Fault::reply("AUTH", "what is AUTH PLAIN " + token),
        Pop3Fault::error("STAT", "you logged in with " + token),
        // The line ends inside the echoed token.
        Pop3Fault::error("AUTH", "bad response " + token.chopped(6)),
    };
    for (const Pop3Fault& fault : faults) {
        SCOPED_TRACE(fault.text.toStdString());
        server.clearFaults();
        server.addFault(fault);
        const auto error = netError([&] {
            client.connect(Pop3Client::AfterLogin::Count);
            client.messageCount();
        });
        ASSERT_TRUE(error);
        EXPECT_THAT(str(*error), Not(HasSubstr(token.toStdString())));
        EXPECT_THAT(str(*error), Not(HasSubstr(token.left(12).toStdString())));
        EXPECT_THAT(str(*error), Not(HasSubstr(password.toBase64().toStdString())));
        EXPECT_THAT(str(*error), Not(HasSubstr(password.toStdString())));
        EXPECT_THAT(str(*error), HasSubstr("***"));
    }
}

// After a session that changed nothing the answer to QUIT tells nothing:
// the client leaves without it. The server here holds that answer back for
// 10 s; a client that waited would stay that long and then get it.
TEST_F(Pop3ClientTest, QuitWithoutWaitingLeavesBeforeTheAnswer)
{
    server.addFault(Pop3Fault::stall("QUIT", 10000));
    client.connect(Pop3Client::AfterLogin::Count);
    EXPECT_EQ(client.messageCount(), 3);
    client.quitWithoutWaiting();
    EXPECT_FALSE(client.connected());
    EXPECT_EQ(events, kConnectedAndClosed);

    ASSERT_TRUE(server.waitForEndedSessions(1, 20000));
    ASSERT_FALSE(server.receivedVerbs().isEmpty());
    EXPECT_EQ(server.receivedVerbs().last(), "QUIT");
    EXPECT_EQ(server.answersNotAwaited(), 1);

    client.quitWithoutWaiting(); // not connected: nothing happens
    EXPECT_EQ(events, kConnectedAndClosed);
}

// A deletion takes effect only on a proper QUIT, so quit() waits for the
// answer however late it comes.
TEST_F(Pop3ClientTest, QuitAfterADeletionWaitsForTheAnswer)
{
    server.addFault(Pop3Fault::stall("QUIT", 300));
    client.connect(Pop3Client::AfterLogin::Count);
    client.deleteMessage(1);
    EXPECT_FALSE(netError([&] { client.quit(); }));
    ASSERT_TRUE(server.waitForEndedSessions(1));
    EXPECT_EQ(server.answersNotAwaited(), 0);
    EXPECT_EQ(server.messages(), (QList<QByteArray>{message(2), message(3)}));
}

} // namespace

// After DELE the server removes the message only on a proper QUIT, so quit()
// says when it did not get one.
TEST_F(Pop3ClientTest, QuitReportsAnUnconfirmedEnd)
{
    struct Case {
        const char* name;
        std::optional<Pop3Fault> fault;
        const char* expectedText; // nullptr: no error
    };
    const Case cases[] = {
        {"confirmed", std::nullopt, nullptr},
        {"dropped", Pop3Fault::drop("QUIT"), "Forbindelsen til 127.0.0.1 ble brutt"},
        {"refused", Pop3Fault::error("QUIT", "some deleted messages not removed"),
         "Serveren avviste QUIT: some deleted messages not removed"},
    };
    for (const Case& c : cases) {
        server.clearFaults();
        if (c.fault)
            server.addFault(*c.fault);
        client.connect();
        client.deleteMessage(1);
        const auto error = netError([&] { client.quit(); });
        if (c.expectedText) {
            ASSERT_TRUE(error) << c.name;
            EXPECT_EQ(*error, QString::fromUtf8(c.expectedText)) << c.name;
        } else {
            EXPECT_FALSE(error) << c.name << ": " << str(error.value_or(QString()));
        }
        EXPECT_FALSE(client.connected()) << c.name;
    }
}
