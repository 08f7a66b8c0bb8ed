// The IMAP client against the scripted server: the commands on the wire and
// what goes in one write, the events, the server's refusals, IDLE and its
// ends, broken and slow connections.
#include "imapclient.h"
#include "neterrortext.h"
#include "scriptedimapserver.h"
#include "termination.h"

#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <thread>

using net::ImapChanges;
using net::ImapClient;
using net::NetError;
using testing::HasSubstr;
using testing::Not;
using testsupport::ImapFault;
using testsupport::ScriptedImapOptions;
using testsupport::ScriptedImapServer;
using namespace std::chrono_literals;

void PrintTo(const QString& s, std::ostream* os)
{
    *os << '"' << s.toStdString() << '"';
}

void PrintTo(const QByteArray& s, std::ostream* os)
{
    *os << '"' << s.toStdString() << '"';
}

namespace {

using testsupport::netError;
using testsupport::str;

using Uids = QList<std::uint32_t>;

// text with "{port}" replaced by port.
QString withPort(const char* text, std::uint16_t port)
{
    return QString::fromUtf8(text).replace(QStringLiteral("{port}"), QString::number(port));
}

template <class T>
auto operator<<(std::ostream& os, const T& c) -> decltype(c.name, os)
{
    return os << c.name;
}

QByteArray message(int n)
{
    return "Return-Path: <kari@example.no>\r\nFrom: Kari <kari@example.no>\r\nTo: ola@example.no\r\nSubject: Melding "
        + QByteArray::number(n) + "\r\nMessage-ID: <" + QByteArray::number(n)
        + "@example.no>\r\nDate: Mon, 4 Mar 2024 08:00:00 +0100\r\n\r\nHei nummer " + QByteArray::number(n) + "\r\n";
}

// What BODY.PEEK[HEADER.FIELDS (FROM SUBJECT DATE MESSAGE-ID)] gives of
// message(n): those fields in the message's order, then the empty line.
QByteArray header(int n)
{
    return "From: Kari <kari@example.no>\r\nSubject: Melding " + QByteArray::number(n) + "\r\nMessage-ID: <"
        + QByteArray::number(n) + "@example.no>\r\nDate: Mon, 4 Mar 2024 08:00:00 +0100\r\n\r\n";
}

QList<QByteArray> messages(int count)
{
    QList<QByteArray> out;
    for (int i = 1; i <= count; ++i)
        out.append(message(i));
    return out;
}

const QByteArray kHeaderItems = "(UID BODY.PEEK[HEADER.FIELDS (FROM SUBJECT DATE MESSAGE-ID)])";
const QByteArray kPlainLogin = "AUTHENTICATE PLAIN " + QByteArray("\0user\0secret", 12).toBase64();
const QStringList kConnected{QStringLiteral("connected")};
const QStringList kConnectedAndClosed{QStringLiteral("connected"), QStringLiteral("disconnected")};

class ImapClientTest : public testing::Test {
protected:
    explicit ImapClientTest(const ScriptedImapOptions& options = {})
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

    // Headers handed over by fetchHeaders(), by UID, in the order they came.
    std::vector<std::pair<std::uint32_t, QByteArray>> headers(const Uids& uids)
    {
        got.clear();
        client.fetchHeaders(uids, [this](std::uint32_t uid, const QByteArray& h) { got.emplace_back(uid, h); });
        return got;
    }

    static std::vector<std::pair<std::uint32_t, QByteArray>> expected(const Uids& uids)
    {
        std::vector<std::pair<std::uint32_t, QByteArray>> out;
        for (const std::uint32_t uid : uids)
            out.emplace_back(uid, header(int(uid)));
        return out;
    }

    ScriptedImapServer server;
    ImapClient client;
    QStringList events;
    std::vector<std::pair<std::uint32_t, QByteArray>> got;
};

TEST_F(ImapClientTest, FirstCheckSendsLoginMailboxAndSearchInOneWrite)
{
    const Uids unseen = client.connectAndSearch(true);
    EXPECT_EQ(unseen, (Uids{1, 2, 3}));
    EXPECT_TRUE(client.connected());
    EXPECT_FALSE(client.encrypted());
    EXPECT_TRUE(client.mailboxOpen());
    EXPECT_EQ(client.mailbox().uidValidity, server.uidValidity());
    EXPECT_EQ(client.mailbox().exists, 3u);
    EXPECT_EQ(client.mailbox().uidNext, 4u);
    EXPECT_TRUE(client.mailbox().readOnly);
    EXPECT_TRUE(client.hasCapability(QStringLiteral("idle")));

    EXPECT_EQ(headers(unseen), expected({1, 2, 3}));
    client.disconnect();
    EXPECT_FALSE(client.connected());

    EXPECT_EQ(server.received(), (QList<QByteArray>{"CAPABILITY", kPlainLogin, "CAPABILITY", "EXAMINE INBOX",
                                                    "UID SEARCH UNSEEN UNDELETED", "UID FETCH 1:3 " + kHeaderItems,
                                                    "LOGOUT"}));
    // The login, CAPABILITY, EXAMINE and the search came in one write.
    EXPECT_EQ(server.maxQueuedCommands(), 4);
    EXPECT_EQ(events, kConnectedAndClosed);
    // Listing marks nothing seen.
    for (const std::uint32_t uid : server.uids())
        EXPECT_FALSE(server.seen(uid)) << uid;
}

TEST_F(ImapClientTest, ConnectAloneLogsInAndAsksTheCapabilitiesAgain)
{
    std::optional<qsizetype> commandsAtConnect;
    client.onConnected = [&] { commandsAtConnect = server.received().size(); };
    client.connect();
    EXPECT_EQ(commandsAtConnect, 0);
    EXPECT_FALSE(client.mailboxOpen());
    EXPECT_EQ(server.received(), (QList<QByteArray>{"CAPABILITY", kPlainLogin, "CAPABILITY"}));
    EXPECT_EQ(client.selectInbox(false).readOnly, false);
    EXPECT_EQ(client.searchUnseen(), (Uids{1, 2, 3}));
}

// The greeting may name the capabilities, and PREAUTH needs no login.
TEST_F(ImapClientTest, GreetingWithCapabilitiesOrPreauth)
{
    server.addFault(ImapFault::reply("GREETING", "* OK [CAPABILITY IMAP4rev1 AUTH=PLAIN SASL-IR IDLE] ready")
                        .onOccurrence(1));
    server.addFault(
        ImapFault::reply("GREETING", "* PREAUTH [CAPABILITY IMAP4rev1 IDLE UIDPLUS] Logged in as user").onOccurrence(2));

    EXPECT_EQ(client.connectAndSearch(true), (Uids{1, 2, 3}));
    EXPECT_EQ(server.received(), (QList<QByteArray>{kPlainLogin, "CAPABILITY", "EXAMINE INBOX",
                                                    "UID SEARCH UNSEEN UNDELETED"}));
    client.disconnect();

    server.clearReceived();
    EXPECT_EQ(client.connectAndSearch(true), (Uids{1, 2, 3}));
    EXPECT_EQ(server.received(), (QList<QByteArray>{"EXAMINE INBOX", "UID SEARCH UNSEEN UNDELETED"}));
    EXPECT_TRUE(client.hasCapability(QStringLiteral("UIDPLUS")));
}

// Eight-bit passwords (so sent as literals) of 4096 and 4097 bytes.
const QByteArray kPw4096 = QByteArray("\xc3\xa5").repeated(2048);
const QByteArray kPw4097 = kPw4096 + 'x';

// Which login a server gets, by what it lists and what the password holds.
struct LoginCase {
    const char* name;
    QList<QByteArray> capabilities;
    QByteArray password;
    QByteArray loginSent;
};

class ImapLoginTest : public ImapClientTest, public testing::WithParamInterface<LoginCase> {};

TEST_P(ImapLoginTest, SendsTheLoginTheServerTakes)
{
    const LoginCase& c = GetParam();
    server.setCapabilities(c.capabilities);
    server.setCredentials("user", c.password);
    client.password = QString::fromUtf8(c.password);
    EXPECT_EQ(client.connectAndSearch(false), (Uids{1, 2, 3}));
    EXPECT_EQ(server.received().mid(0, 3), (QList<QByteArray>{"CAPABILITY", c.loginSent, "CAPABILITY"}));
    EXPECT_EQ(events, kConnected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ImapLoginTest,
    testing::Values(
        LoginCase{"PlainWithInitialResponse", {"IMAP4rev1", "AUTH=PLAIN", "SASL-IR"}, "secret", kPlainLogin},
        LoginCase{"LoginWhenPlainNeedsARoundTrip", {"IMAP4rev1", "AUTH=PLAIN"}, "secret", "LOGIN \"user\" \"secret\""},
        LoginCase{"LoginOnly", {"IMAP4rev1"}, "secret", "LOGIN \"user\" \"secret\""},
        LoginCase{"PlainWhenLoginIsDisabled", {"IMAP4rev1", "AUTH=PLAIN", "LOGINDISABLED"}, "secret",
                  "AUTHENTICATE PLAIN\r\n" + QByteArray("\0user\0secret", 12).toBase64()},
        LoginCase{"QuotesAndBackslashesEscaped", {"IMAP4rev1"}, "pa\"ss\\ord", "LOGIN \"user\" \"pa\\\"ss\\\\ord\""},
        LoginCase{"EightBitAsLiteral", {"IMAP4rev1"}, "bl\xc3\xa5" "b\xc3\xa6r", "LOGIN \"user\" {8}\r\nbl\xc3\xa5" "b\xc3\xa6r"},
        LoginCase{"EightBitAsLiteralPlus", {"IMAP4rev1", "LITERAL+"}, "bl\xc3\xa5" "b\xc3\xa6r",
                  "LOGIN \"user\" {8+}\r\nbl\xc3\xa5" "b\xc3\xa6r"},
        LoginCase{"EightBitInPlain", {"IMAP4rev1", "AUTH=PLAIN", "SASL-IR"}, "bl\xc3\xa5" "b\xc3\xa6r",
                  "AUTHENTICATE PLAIN " + QByteArray("\0user\0bl\xc3\xa5" "b\xc3\xa6r", 14).toBase64()},
        // LITERAL- (RFC 7888): up to 4096 bytes without waiting for "+".
        LoginCase{"LiteralMinusUpTo4096Bytes", {"IMAP4rev1", "LITERAL-"}, kPw4096,
                  "LOGIN \"user\" {4096+}\r\n" + kPw4096},
        LoginCase{"LiteralMinusAbove4096BytesWaits", {"IMAP4rev1", "LITERAL-"}, kPw4097,
                  "LOGIN \"user\" {4097}\r\n" + kPw4097}),
    [](const auto& info) { return std::string(info.param.name); });

// A literal that waits for "+" holds the rest back: the commands behind the
// login go only once the server has taken it.
TEST_F(ImapClientTest, SynchronizingLiteralWaitsForTheServer)
{
    server.setCapabilities({"IMAP4rev1"});
    server.setCredentials("user", "bl\xc3\xa5");
    client.password = QString::fromUtf8("bl\xc3\xa5");
    server.addFault(ImapFault::no("LITERAL", "[TOOBIG] no literals here"));
    const auto error = netError([&] { client.connectAndSearch(true); });
    EXPECT_EQ(error, QStringLiteral("Serveren avviste innloggingen: [TOOBIG] no literals here"));
    EXPECT_EQ(server.received(), (QList<QByteArray>{"CAPABILITY", "LOGIN \"user\" {4}"}));
    EXPECT_FALSE(client.connected());
    EXPECT_EQ(events, kConnectedAndClosed);
}

TEST_F(ImapClientTest, LoginDisabledWithoutTlsSendsNoPassword)
{
    server.setCapabilities({"IMAP4rev1", "LOGINDISABLED", "IDLE"});
    const auto error = netError([&] { client.connectAndSearch(true); });
    EXPECT_EQ(error, QStringLiteral("127.0.0.1 tillater ikke innlogging uten kryptering (LOGINDISABLED) og tilbyr "
                                    "ikke STARTTLS"));
    EXPECT_EQ(server.received(), (QList<QByteArray>{"CAPABILITY"}));
    EXPECT_FALSE(client.connected());
    EXPECT_EQ(events, kConnectedAndClosed);
}

// A refused or broken login closes at once; whatever was sent behind it is
// not used.
struct LoginFailure {
    const char* name;
    std::optional<ImapFault> fault;
    QString password;
    const char* expectedText;
};

class ImapLoginFailureTest : public ImapClientTest, public testing::WithParamInterface<LoginFailure> {};

TEST_P(ImapLoginFailureTest, ClosesAndReportsTheServersWords)
{
    const LoginFailure& c = GetParam();
    if (c.fault)
        server.addFault(*c.fault);
    client.password = c.password;
    client.timeouts.replyMs = 300;

    const auto error = netError([&] { client.connectAndSearch(true); });
    ASSERT_TRUE(error);
    EXPECT_EQ(*error, withPort(c.expectedText, server.port()));
    EXPECT_FALSE(client.connected());
    EXPECT_FALSE(client.mailboxOpen());
    EXPECT_EQ(events, kConnectedAndClosed);
    client.disconnect(); // nothing left to close
    EXPECT_EQ(events, kConnectedAndClosed);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ImapLoginFailureTest,
    testing::Values(
        LoginFailure{"GreetingBye", ImapFault::reply("GREETING", "* BYE Too many connections"),
                     QStringLiteral("secret"), "Serveren avviste forbindelsen: Too many connections"},
        LoginFailure{"GreetingPop3", ImapFault::reply("GREETING", "+OK POP3 server ready"), QStringLiteral("secret"),
                     "Ugyldig svar fra 127.0.0.1: «+OK POP3 server ready»"},
        LoginFailure{"GreetingSmtp", ImapFault::reply("GREETING", "220 smtp.example.no ESMTP"),
                     QStringLiteral("secret"), "Ugyldig svar fra 127.0.0.1: «220 smtp.example.no ESMTP»"},
        LoginFailure{"GreetingTagged", ImapFault::reply("GREETING", "A1 OK hello"), QStringLiteral("secret"),
                     "Ugyldig svar fra 127.0.0.1: «A1 OK hello»"},
        LoginFailure{"WrongPassword", std::nullopt, QStringLiteral("feil"),
                     "Serveren avviste innloggingen: [AUTHENTICATIONFAILED] Authentication failed."},
        LoginFailure{"Bad", ImapFault::bad("AUTHENTICATE", "Invalid characters in base64"), QStringLiteral("secret"),
                     "Serveren avviste innloggingen: Invalid characters in base64"},
        LoginFailure{"ByeAtLogin", ImapFault::bye("AUTHENTICATE", "Too many invalid commands"),
                     QStringLiteral("secret"), "Serveren avsluttet forbindelsen: Too many invalid commands"},
        LoginFailure{"DropAtLogin", ImapFault::drop("AUTHENTICATE"), QStringLiteral("secret"),
                     "Forbindelsen til 127.0.0.1 ble brutt"},
        LoginFailure{"StallAtLogin", ImapFault::stall("AUTHENTICATE"), QStringLiteral("secret"),
                     "Tidsavbrudd: ingen svar fra 127.0.0.1:{port} innen 300 millisekunder"},
        LoginFailure{"RefusalWithControls", ImapFault::no("AUTHENTICATE", "\x1b[2J[AUTH]\tfeil \xe2\x80\xae" "dro"),
                     QStringLiteral("secret"),
                     "Serveren avviste innloggingen: \xef\xbf\xbd[2J[AUTH] feil \xef\xbf\xbd" "dro"}),
    [](const auto& info) { return std::string(info.param.name); });

// A refusal of a command leaves the connection in step and open.
struct CommandRefusal {
    const char* name;
    ImapFault fault;
    std::function<void(ImapClient&)> call;
    const char* expectedText;
};

class ImapCommandRefusalTest : public ImapClientTest, public testing::WithParamInterface<CommandRefusal> {};

TEST_P(ImapCommandRefusalTest, ThrowsTheServersTextAndStaysUsable)
{
    client.connect();
    client.selectInbox(false);
    server.addFault(GetParam().fault.onOccurrence(1));

    const auto error = netError([&] { GetParam().call(client); });
    ASSERT_TRUE(error);
    EXPECT_EQ(*error, QString::fromUtf8(GetParam().expectedText));
    EXPECT_TRUE(client.connected());
    EXPECT_EQ(events, kConnected);

    if (!client.mailboxOpen())
        client.selectInbox(false);
    // 3 is left out after a refused UID EXPUNGE: it stays marked \Deleted.
    EXPECT_THAT(client.searchUnseen(), testing::IsSupersetOf({1u, 2u}));
    EXPECT_EQ(headers({2}), expected({2}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ImapCommandRefusalTest,
    testing::Values(
        CommandRefusal{"Examine", ImapFault::no("EXAMINE", "[UNAVAILABLE] try later"),
                       [](ImapClient& c) { c.selectInbox(true); },
                       "Serveren avviste EXAMINE INBOX: [UNAVAILABLE] try later"},
        CommandRefusal{"Select", ImapFault::bad("SELECT", "Mailbox is locked"),
                       [](ImapClient& c) { c.selectInbox(false); }, "Serveren avviste SELECT INBOX: Mailbox is locked"},
        CommandRefusal{"Search", ImapFault::no("UID SEARCH", "[LIMIT] too many"), [](ImapClient& c) { c.searchUnseen(); },
                       "Serveren avviste UID SEARCH: [LIMIT] too many"},
        CommandRefusal{"Fetch", ImapFault::bad("UID FETCH", "Error in IMAP command"),
                       [](ImapClient& c) { c.fetchHeaders({1, 2}, {}); },
                       "Serveren avviste UID FETCH: Error in IMAP command"},
        CommandRefusal{"Store", ImapFault::no("UID STORE", "[CANNOT] no"), [](ImapClient& c) { c.deleteMessage(1); },
                       "Serveren avviste UID STORE 1: [CANNOT] no"},
        CommandRefusal{"Expunge", ImapFault::no("UID EXPUNGE", "[EXPUNGEISSUED] busy"),
                       [](ImapClient& c) { c.deleteMessage(3); }, "Serveren avviste UID EXPUNGE 3: [EXPUNGEISSUED] busy"},
        CommandRefusal{"MarkSeen", ImapFault::bad("UID STORE", "Invalid flag"), [](ImapClient& c) { c.markSeen(1); },
                       "Serveren avviste UID STORE 1: Invalid flag"},
        CommandRefusal{"Noop", ImapFault::bad("NOOP", "what"), [](ImapClient& c) { c.noop(); },
                       "Serveren avviste NOOP: what"},
        CommandRefusal{"Idle", ImapFault::bad("IDLE", "not now"), [](ImapClient& c) { c.idle(10s); },
                       "Serveren avviste IDLE: not now"}),
    [](const auto& info) { return std::string(info.param.name); });

// A refused EXAMINE in the first write: the search answer behind it is read
// and not used, and no mailbox counts as open.
TEST_F(ImapClientTest, RefusedExamineInTheFirstWriteLeavesNoMailbox)
{
    server.addFault(ImapFault::no("EXAMINE", "[SERVERBUG] index broken").onOccurrence(1));
    const auto error = netError([&] { client.connectAndSearch(true); });
    EXPECT_EQ(error, QStringLiteral("Serveren avviste EXAMINE INBOX: [SERVERBUG] index broken"));
    EXPECT_TRUE(client.connected());
    EXPECT_FALSE(client.mailboxOpen());
    EXPECT_EQ(netError([&] { client.searchUnseen(); }), QStringLiteral("Ingen postkasse er åpnet på 127.0.0.1"));
    client.selectInbox(true);
    EXPECT_EQ(client.searchUnseen(), (Uids{1, 2, 3}));
}

TEST_F(ImapClientTest, UnseenListLeavesOutSeenAndDeletedAndIsAscending)
{
    server.setMessages(messages(6)); // UIDs 4 to 9
    server.setSeen(5, true);
    server.setDeleted(7, true);
    // Answered out of order and with a repeat: the list is sorted anyway.
    server.addFault(ImapFault::reply("UID SEARCH", "* SEARCH 9 4\r\n* SEARCH 8 6 4\r\n{tag} OK done").onOccurrence(2));
    EXPECT_EQ(client.connectAndSearch(true), (Uids{4, 6, 8, 9}));
    EXPECT_EQ(client.searchUnseen(), (Uids{4, 6, 8, 9}));
}

struct SetCase {
    const char* name;
    Uids uids;
    QList<QByteArray> commands; // the sets of the UID FETCH commands sent
    Uids delivered;
};

class ImapHeaderSetTest : public ImapClientTest, public testing::WithParamInterface<SetCase> {};

// Headers are asked for in as few commands as possible, never one per message.
TEST_P(ImapHeaderSetTest, OneCommandForEachRunOfUids)
{
    server.setMessages(messages(9)); // UIDs 4 to 12
    client.connectAndSearch(true);
    server.clearReceived();
    const SetCase& c = GetParam();
    const auto result = headers(c.uids);
    std::vector<std::pair<std::uint32_t, QByteArray>> want;
    for (const std::uint32_t uid : c.delivered)
        want.emplace_back(uid, header(int(uid) - 3));
    EXPECT_EQ(result, want);
    QList<QByteArray> expectedCommands;
    for (const QByteArray& set : c.commands)
        expectedCommands.append("UID FETCH " + set + ' ' + kHeaderItems);
    EXPECT_EQ(server.received(), expectedCommands);
}

INSTANTIATE_TEST_SUITE_P(
    Sets, ImapHeaderSetTest,
    testing::Values(SetCase{"Range", {4, 5, 6, 7}, {"4:7"}, {4, 5, 6, 7}},
                    SetCase{"UnorderedWithRepeats", {9, 4, 5, 9, 12}, {"4:5,9,12"}, {4, 5, 9, 12}},
                    // Gone or never there: just left out.
                    SetCase{"MissingUids", {2, 5, 40}, {"2,5,40"}, {5}},
                    SetCase{"Empty", {}, {}, {}}, SetCase{"ZeroIsNoUid", {0, 6}, {"6"}, {6}}),
    [](const auto& info) { return std::string(info.param.name); });

// Thousands of scattered UIDs: commands under 8,000 bytes, every header once,
// in order.
TEST_F(ImapClientTest, LongUidSetsAreSplitIntoShortCommands)
{
    server.setMessages(messages(3997)); // UIDs 4 to 4000
    client.connectAndSearch(true);
    server.clearReceived();
    Uids odd;
    for (std::uint32_t uid = 5; uid <= 4000; uid += 2)
        odd.append(uid);
    std::vector<std::uint32_t> order;
    client.fetchHeaders(odd, [&](std::uint32_t uid, const QByteArray& h) {
        order.push_back(uid);
        EXPECT_EQ(h, header(int(uid) - 3)) << uid;
    });
    EXPECT_EQ(order, std::vector<std::uint32_t>(odd.cbegin(), odd.cend()));
    const QList<QByteArray> sent = server.received();
    ASSERT_GT(sent.size(), 1);
    Uids named;
    for (const QByteArray& line : sent) {
        EXPECT_LT(line.size() + 8, 8000) << "a command of " << line.size() << " bytes";
        EXPECT_TRUE(line.startsWith("UID FETCH ")) << line.toStdString();
        for (const QByteArray& uid : line.mid(10, line.indexOf(' ', 10) - 10).split(','))
            named.append(uid.toUInt());
    }
    EXPECT_EQ(named, odd);
}

// The server's own news between the answers: taken as changes, never as a
// header; the items of an answer in any order.
TEST_F(ImapClientTest, UntaggedNewsBetweenHeadersIsKeptApart)
{
    client.connectAndSearch(true);
    EXPECT_FALSE(client.takeChanges().any());
    const QByteArray h2 = header(2);
    server.addFault(ImapFault::reply(
        "UID FETCH",
        "* 1 FETCH (UID 1 BODY[HEADER.FIELDS (FROM SUBJECT DATE MESSAGE-ID)] {" + QByteArray::number(header(1).size())
            + "}\r\n" + header(1) + ")\r\n* 3 FETCH (FLAGS (\\Seen))\r\n* 4 EXISTS\r\n* 0 RECENT\r\n"
            + "* 9 FETCH (UID 99 BODY[HEADER.FIELDS (FROM)] {5}\r\nX\r\n\r\n)\r\n* OK [ALERT] maintenance tonight\r\n"
            + "* 2 FETCH (BODY[HEADER.FIELDS (FROM SUBJECT DATE MESSAGE-ID)] {" + QByteArray::number(h2.size())
            + "}\r\n" + h2 + " FLAGS () UID 2)\r\n* 1 FETCH (UID 1 BODY[HEADER.FIELDS (FROM)] {5}\r\nY\r\n\r\n)\r\n"
            + "* 2 EXPUNGE\r\n{tag} OK Fetch completed"));
    EXPECT_EQ(headers({1, 2}), expected({1, 2}));
    const ImapChanges changes = client.takeChanges();
    EXPECT_EQ(changes.exists, 4u);
    EXPECT_EQ(changes.expunged, 1);
    // The flags of 3, the UID not asked for, and 1's second header.
    EXPECT_EQ(changes.flagUpdates, 3);
    EXPECT_EQ(client.mailbox().exists, 3u);
    EXPECT_FALSE(client.takeChanges().any());
}

TEST_F(ImapClientTest, RefusalPartWayHandsOverWhatCameAndStaysInStep)
{
    client.connectAndSearch(true);
    server.addFault(ImapFault::reply(
        "UID FETCH", "* 1 FETCH (UID 1 BODY[HEADER.FIELDS (FROM SUBJECT DATE MESSAGE-ID)] {"
                         + QByteArray::number(header(1).size()) + "}\r\n" + header(1)
                         + ")\r\n{tag} NO [SERVERBUG] Some messages could not be fetched")
                        .onOccurrence(1));
    const auto error = netError([&] { headers({1, 2, 3}); });
    EXPECT_EQ(error, QStringLiteral("Serveren avviste UID FETCH: [SERVERBUG] Some messages could not be fetched"));
    EXPECT_EQ(got, expected({1}));
    EXPECT_EQ(headers({2, 3}), expected({2, 3}));
}

TEST_F(ImapClientTest, SinkExceptionPassesAndTheConnectionStaysInStep)
{
    server.setMessages(messages(4000)); // UIDs 4 to 4003
    client.connectAndSearch(true);
    Uids scattered;
    for (std::uint32_t uid = 4; uid <= 4003; uid += 2)
        scattered.append(uid);
    struct Stop {};
    std::vector<std::uint32_t> seen;
    EXPECT_THROW(client.fetchHeaders(scattered,
                                     [&](std::uint32_t uid, const QByteArray&) {
                                         seen.push_back(uid);
                                         if (uid == 8)
                                             throw Stop{};
                                     }),
                 Stop);
    EXPECT_EQ(seen, (std::vector<std::uint32_t>{4, 6, 8}));
    EXPECT_EQ(headers({5}), (std::vector<std::pair<std::uint32_t, QByteArray>>{{5, header(2)}}));
}

// Opening leaves the message unseen, also in a SELECTed mailbox; markSeen()
// marks it, without news of its own change.
TEST_F(ImapClientTest, OpeningMarksNothingAndMarkSeenMarksIt)
{
    client.connectAndSearch(false);
    QByteArray body;
    ASSERT_TRUE(client.fetchMessage(2, body));
    EXPECT_EQ(body, message(2));
    EXPECT_FALSE(server.seen(2)) << "opening marked the message read";
    EXPECT_EQ(server.received().last(), "UID FETCH 2 BODY.PEEK[]");

    client.markSeen(2);
    EXPECT_TRUE(server.seen(2));
    EXPECT_EQ(server.received().last(), "UID STORE 2 +FLAGS.SILENT (\\Seen)");
    EXPECT_FALSE(client.takeChanges().any());
    EXPECT_EQ(client.searchUnseen(), (Uids{1, 3}));
    // Already read, or gone meanwhile: nothing to refuse.
    client.markSeen(2);
    server.removeMessage(3);
    client.markSeen(3);
    EXPECT_TRUE(client.connected());
    EXPECT_EQ(events, kConnected);
}

// What is not the message asked for is no message: one gone, a refusal, and
// an answer with the body of another UID or of none named.
TEST_F(ImapClientTest, MessageGoneRefusedOrAnsweredForAnotherUidIsNoMessage)
{
    client.connectAndSearch(false);
    server.removeMessage(3);
    const QString gone2 = QStringLiteral("Meldingen med UID 2 finnes ikke lenger på 127.0.0.1");
    const struct {
        const char* name;
        std::uint32_t uid;
        std::optional<ImapFault> fault;
        QString refusal;
    } cases[] = {
        {"gone", 3, std::nullopt, QStringLiteral("Meldingen med UID 3 finnes ikke lenger på 127.0.0.1")},
        {"refused", 1, ImapFault::no("UID FETCH", "[UNAVAILABLE] busy"),
         QStringLiteral("Serveren avviste UID FETCH 1: [UNAVAILABLE] busy")},
        {"another UID", 2, ImapFault::reply("UID FETCH", "* 5 FETCH (UID 99 BODY[] {5}\r\nOther)\r\n{tag} OK done"),
         gone2},
        {"no UID", 2, ImapFault::reply("UID FETCH", "* 2 FETCH (BODY[] {5}\r\nOther)\r\n{tag} OK done"), gone2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server.clearFaults();
        if (c.fault)
            server.addFault(*c.fault);
        QByteArray body = "unchanged";
        QString refusal;
        EXPECT_FALSE(client.fetchMessage(c.uid, body, &refusal));
        EXPECT_EQ(refusal, c.refusal);
        EXPECT_EQ(body, "unchanged");
    }
    server.clearFaults();
    QByteArray body;
    EXPECT_TRUE(client.fetchMessage(2, body));
    EXPECT_EQ(body, message(2));
    EXPECT_EQ(events, kConnected);
}

// A literal larger than its cap is refused as it is announced: the server
// here never sends the bytes, so waiting for them would end in a time-out.
TEST_F(ImapClientTest, LiteralAboveItsCapIsRefusedAsAnnounced)
{
    const struct {
        const char* name;
        QByteArray verb;
        QByteArray reply;
        std::function<void(ImapClient&)> call;
        QString text;
    } cases[] = {
        {"message", "UID FETCH", "* 1 FETCH (UID 1 BODY[] {268435457}",
         [](ImapClient& c) {
             QByteArray m;
             c.fetchMessage(1, m);
         },
         QStringLiteral("Meldingen med UID 1 fra 127.0.0.1 er større enn 256 MiB, som er grensen")},
        {"header", "UID FETCH", "* 1 FETCH (UID 1 BODY[HEADER.FIELDS (FROM SUBJECT DATE MESSAGE-ID)] {1048577}",
         [](ImapClient& c) { c.fetchHeaders({1}, {}); },
         QStringLiteral("Ugyldig svar fra 127.0.0.1: et felt på 1048577 byte er større enn grensen på 1 MiB")},
        {"news", "NOOP", "* 1 FETCH (BODY[] {4294967296000}", [](ImapClient& c) { c.noop(); },
         QStringLiteral("Ugyldig svar fra 127.0.0.1: et felt på 4294967296000 byte er større enn grensen på 1 MiB")},
        // A search answer holds numbers only.
        {"search", "UID SEARCH", "* SEARCH {20}", [](ImapClient& c) { c.searchUnseen(); },
         QStringLiteral("Ugyldig svar fra 127.0.0.1: «* SEARCH {20}»")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        events.clear();
        client.connectAndSearch(true);
        server.clearFaults();
        server.addFault(ImapFault::reply(c.verb, c.reply));
        EXPECT_EQ(netError([&] { c.call(client); }), c.text);
        EXPECT_FALSE(client.connected());
        EXPECT_EQ(events, kConnectedAndClosed);
    }
}

TEST_F(ImapClientTest, DeleteExpungesOnlyThatUidWithUidplus)
{
    client.connectAndSearch(false);
    // Marked by another program: a plain EXPUNGE would take it too.
    server.setDeleted(1, true);
    EXPECT_EQ(client.deleteMessage(2), ImapClient::Deletion::Expunged);
    EXPECT_EQ(server.uids(), (Uids{1, 3}));
    const QList<QByteArray> sent = server.received();
    EXPECT_EQ(sent.mid(sent.size() - 2), (QList<QByteArray>{"UID STORE 2 +FLAGS.SILENT (\\Deleted)", "UID EXPUNGE 2"}));
    EXPECT_FALSE(server.receivedVerbs().contains("EXPUNGE"));
    EXPECT_EQ(client.mailbox().exists, 2u);
    EXPECT_EQ(client.takeChanges().expunged, 1);
}

TEST_F(ImapClientTest, DeleteWithoutUidplusOnlySetsTheFlag)
{
    server.setCapabilities({"IMAP4rev1", "AUTH=PLAIN", "SASL-IR", "IDLE"});
    client.connectAndSearch(false);
    EXPECT_EQ(client.deleteMessage(2), ImapClient::Deletion::FlaggedOnly);
    EXPECT_EQ(server.uids(), (Uids{1, 2, 3}));
    EXPECT_TRUE(server.deleted(2));
    EXPECT_FALSE(server.receivedVerbs().contains("EXPUNGE"));
    EXPECT_FALSE(server.receivedVerbs().contains("UID EXPUNGE"));
    // A message marked for deletion is out of the list.
    EXPECT_EQ(client.searchUnseen(), (Uids{1, 3}));
}

TEST_F(ImapClientTest, ChangesInAReadOnlyMailboxAreRefused)
{
    client.connectAndSearch(true);
    EXPECT_EQ(netError([&] { client.deleteMessage(2); }),
              QStringLiteral("Serveren avviste UID STORE 2: Mailbox is read-only"));
    EXPECT_EQ(netError([&] { client.markSeen(2); }),
              QStringLiteral("Serveren avviste UID STORE 2: Mailbox is read-only"));
    EXPECT_EQ(server.uids(), (Uids{1, 2, 3}));
    EXPECT_FALSE(server.seen(2));
}

// Commands that need an open mailbox say so without sending anything.
TEST_F(ImapClientTest, StepsWithoutAMailboxOrConnection)
{
    const QString notConnected = QStringLiteral("Ikke tilkoblet 127.0.0.1");
    EXPECT_EQ(netError([&] { client.searchUnseen(); }), notConnected);
    EXPECT_EQ(netError([&] { client.noop(); }), notConnected);
    EXPECT_EQ(netError([&] { client.markSeen(1); }), notConnected);
    EXPECT_EQ(netError([&] { client.idle(1s); }), notConnected);
    client.connect();
    server.clearReceived();
    const QString noMailbox = QStringLiteral("Ingen postkasse er åpnet på 127.0.0.1");
    EXPECT_EQ(netError([&] { client.searchUnseen(); }), noMailbox);
    EXPECT_EQ(netError([&] { client.fetchHeaders({1}, {}); }), noMailbox);
    EXPECT_EQ(netError([&] { client.deleteMessage(1); }), noMailbox);
    EXPECT_EQ(netError([&] { client.markSeen(1); }), noMailbox);
    EXPECT_EQ(netError([&] { client.idle(1s); }), noMailbox);
    EXPECT_TRUE(server.received().isEmpty());
    EXPECT_TRUE(client.connected());
}

TEST_F(ImapClientTest, NoopBringsTheServersNews)
{
    client.connectAndSearch(true);
    server.addMessage(message(4));
    server.setSeen(1, true);
    server.removeMessage(2);
    client.noop();
    const ImapChanges changes = client.takeChanges();
    EXPECT_EQ(changes.expunged, 1);
    EXPECT_EQ(changes.flagUpdates, 1);
    EXPECT_EQ(changes.exists, 3u);
    EXPECT_FALSE(changes.uidValidityChanged);
    EXPECT_EQ(client.mailbox().exists, 3u);
    EXPECT_EQ(client.searchUnseen(), (Uids{3, 4}));
}

// News reach takeChanges() after a NOOP also when they came as EXISTS and
// EXPUNGE ahead of NOOP's OK, or with an earlier command.
TEST_F(ImapClientTest, NewsBeforeAndWithTheNoopAreKept)
{
    const struct {
        const char* name;
        ImapFault fault;
        std::function<void(ImapClient&)> before; // a step ahead of the NOOP
        std::uint32_t exists;
        int expunged;
        std::uint32_t mailboxExists;
    } cases[] = {
        {"before NOOP's OK", ImapFault::reply("NOOP", "* 4 EXISTS\r\n* 1 EXPUNGE\r\n{tag} OK NOOP completed"), {}, 4,
         1, 3},
        {"with an earlier command", ImapFault::before("UID SEARCH", "* 4 EXISTS"),
         [](ImapClient& c) { c.searchUnseen(); }, 4, 0, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server.clearFaults();
        client.connectAndSearch(true);
        ASSERT_FALSE(client.takeChanges().any());
        server.addFault(c.fault);
        if (c.before)
            c.before(client);
        client.noop();
        const ImapChanges changes = client.takeChanges();
        EXPECT_EQ(changes.exists, c.exists);
        EXPECT_EQ(changes.expunged, c.expunged);
        EXPECT_EQ(changes.flagUpdates, 0);
        EXPECT_EQ(client.mailbox().exists, c.mailboxExists);
        EXPECT_FALSE(client.takeChanges().any());
        client.disconnect();
    }
}

TEST_F(ImapClientTest, UidValidityIsKeptAndItsChangeReported)
{
    server.setUidValidity(42);
    client.connectAndSearch(true);
    EXPECT_EQ(client.mailbox().uidValidity, 42u);
    server.addFault(ImapFault::before("NOOP", "* OK [UIDVALIDITY 43] UIDs changed"));
    client.noop();
    EXPECT_TRUE(client.takeChanges().uidValidityChanged);
    EXPECT_EQ(client.mailbox().uidValidity, 43u);
    client.disconnect();

    server.setUidValidity(7);
    client.connectAndSearch(true);
    EXPECT_EQ(client.mailbox().uidValidity, 7u);
    EXPECT_EQ(client.mailbox().highestModSeq, std::nullopt);
    EXPECT_FALSE(client.takeChanges().any());
    client.disconnect();

    // A CONDSTORE server's mod-sequence goes beyond 32 bits.
    server.addFault(ImapFault::before("SELECT", "* OK [HIGHESTMODSEQ 715194045007] Highest"));
    client.connectAndSearch(false);
    EXPECT_EQ(client.mailbox().highestModSeq, 715194045007u);
    EXPECT_FALSE(client.mailbox().readOnly);
}

// IDLE: what ends it, and what the client sends then.
class ImapIdleTest : public ImapClientTest {
protected:
    void SetUp() override { client.connectAndSearch(true); }

    // Runs f on another thread after ms, while the test waits in IDLE.
    void later(int ms, std::function<void()> f)
    {
        helper = std::thread([ms, f = std::move(f)] {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            f();
        });
    }
    void TearDown() override
    {
        if (helper.joinable())
            helper.join();
    }

    QList<QByteArray> lastVerbs(int n) const
    {
        const QList<QByteArray> verbs = server.receivedVerbs();
        return verbs.mid(std::max<qsizetype>(0, verbs.size() - n));
    }

    std::thread helper;
};

TEST_F(ImapIdleTest, NewMessageEndsIdleWithDone)
{
    later(100, [this] { server.addMessage(message(4)); });
    EXPECT_EQ(client.idle(60s), ImapClient::IdleEnd::Changed);
    EXPECT_FALSE(client.idling());
    EXPECT_EQ(lastVerbs(2), (QList<QByteArray>{"IDLE", "DONE"}));
    EXPECT_EQ(client.takeChanges().exists, 4u);
    EXPECT_EQ(client.searchUnseen(), (Uids{1, 2, 3, 4}));
}

TEST_F(ImapIdleTest, ChangesSeenElsewhereEndIdle)
{
    const struct {
        const char* name;
        std::function<void()> change;
        std::function<void(const ImapChanges&)> check;
        Uids unseenAfter;
    } cases[] = {
        {"read elsewhere", [this] { server.setSeen(1, true); },
         [](const ImapChanges& c) { EXPECT_EQ(c.flagUpdates, 1); }, {2, 3}},
        {"deleted elsewhere", [this] { server.removeMessage(2); },
         [](const ImapChanges& c) { EXPECT_EQ(c.expunged, 1); }, {3}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        later(50, c.change);
        EXPECT_EQ(client.idle(60s), ImapClient::IdleEnd::Changed);
        helper.join();
        c.check(client.takeChanges());
        EXPECT_EQ(client.searchUnseen(), c.unseenAfter);
    }
}

TEST_F(ImapIdleTest, ChangesAlreadyReportedReturnWithoutIdle)
{
    server.addMessage(message(4));
    client.noop();
    server.clearReceived();
    EXPECT_EQ(client.idle(60s), ImapClient::IdleEnd::Changed);
    EXPECT_TRUE(server.received().isEmpty());
    EXPECT_EQ(client.takeChanges().exists, 4u);
}

TEST_F(ImapIdleTest, QuietTimeEndsWithDoneAndTheConnectionGoesOn)
{
    // "Still here" is no change.
    server.addFault(ImapFault::idleNotice(20, "* OK Still here"));
    EXPECT_EQ(client.idle(200ms), ImapClient::IdleEnd::TimeUp);
    EXPECT_EQ(lastVerbs(2), (QList<QByteArray>{"IDLE", "DONE"}));
    EXPECT_FALSE(client.takeChanges().any());
    client.noop();
    EXPECT_TRUE(client.connected());
}

TEST_F(ImapIdleTest, ServerEndingIdleIsReportedAndIdleCanStartAgain)
{
    server.addFault(ImapFault::idleEnd(50).onOccurrence(1));
    EXPECT_EQ(client.idle(60s), ImapClient::IdleEnd::ServerEnded);
    EXPECT_FALSE(client.idling());
    EXPECT_EQ(lastVerbs(1), (QList<QByteArray>{"IDLE"}));

    later(50, [this] { server.addMessage(message(4)); });
    EXPECT_EQ(client.idle(60s), ImapClient::IdleEnd::Changed);
}

TEST_F(ImapIdleTest, NewsBeforeTheContinuationCounts)
{
    server.addFault(ImapFault::before("IDLE", "* 5 EXISTS"));
    EXPECT_EQ(client.idle(60s), ImapClient::IdleEnd::Changed);
    EXPECT_EQ(client.takeChanges().exists, 5u);
}

// Another thread ends a long IDLE at once; the connection can then go
// without waiting for any answer.
TEST_F(ImapIdleTest, InterruptFromAnotherThreadEndsIdleAtOnce)
{
    later(100, [this] { client.interrupt(); });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(client.idle(10min), ImapClient::IdleEnd::Interrupted);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5min) << "the wait ran on";
    EXPECT_TRUE(client.idling());
    EXPECT_TRUE(client.interruptRequested());
    // Still raised: the next IDLE returns at once.
    EXPECT_EQ(client.idle(10min), ImapClient::IdleEnd::Interrupted);

    // The server answers nothing more; the goodbye does not wait for it.
    server.addFault(ImapFault::stall("DONE"));
    server.addFault(ImapFault::stall("LOGOUT"));
    client.logoutWithoutWaiting();
    EXPECT_FALSE(client.connected());
    EXPECT_EQ(events, kConnectedAndClosed);

    client.clearInterrupt();
    EXPECT_FALSE(client.interruptRequested());
    server.clearFaults();
    EXPECT_EQ(client.connectAndSearch(true), (Uids{1, 2, 3}));
    // The DONE reached the server before the connection closed; the LOGOUT
    // may have been cut off by the close.
    EXPECT_TRUE(server.receivedVerbs().contains("DONE"));
}

// Interrupted before the server's "+" came: the next command reads it,
// ends the IDLE and goes on.
TEST_F(ImapIdleTest, InterruptedIdleIsEndedByTheNextCommand)
{
    server.addFault(ImapFault::stall("IDLE", 300));
    later(50, [this] { client.interrupt(); });
    EXPECT_EQ(client.idle(10min), ImapClient::IdleEnd::Interrupted);
    EXPECT_TRUE(client.idling());
    client.clearInterrupt();
    server.addMessage(message(4));
    EXPECT_EQ(client.searchUnseen(), (Uids{1, 2, 3, 4}));
    EXPECT_FALSE(client.idling());
    EXPECT_EQ(lastVerbs(3), (QList<QByteArray>{"IDLE", "DONE", "UID SEARCH"}));
}

// Raised before IDLE: nothing is sent.
TEST_F(ImapIdleTest, InterruptInForceSendsNoIdle)
{
    client.interrupt();
    server.clearReceived();
    EXPECT_EQ(client.idle(10min), ImapClient::IdleEnd::Interrupted);
    EXPECT_FALSE(client.idling());
    EXPECT_TRUE(server.received().isEmpty());
    EXPECT_TRUE(client.connected());
    client.clearInterrupt();
    EXPECT_EQ(client.searchUnseen(), (Uids{1, 2, 3}));
}

TEST_F(ImapIdleTest, InterruptEndsAnyOtherWaitAndTheNextConnect)
{
    server.addFault(ImapFault::stall("NOOP"));
    later(100, [this] { client.interrupt(); });
    EXPECT_EQ(netError([&] { client.noop(); }), QStringLiteral("Ventingen på 127.0.0.1 ble avbrutt"));
    EXPECT_FALSE(client.connected());
    EXPECT_EQ(netError([&] { client.connect(); }), QStringLiteral("Ventingen på 127.0.0.1 ble avbrutt"));
    EXPECT_EQ(events, kConnectedAndClosed);
    client.clearInterrupt();
    EXPECT_EQ(client.connectAndSearch(true), (Uids{1, 2, 3}));
}

// A replaced connection may still be connecting: the interrupt ends a
// connect that gets no answer and a TLS handshake that never finishes.
TEST_F(ImapIdleTest, InterruptEndsAConnectOrAHandshake)
{
    client.disconnect();
    events.clear();
    client.timeouts = {60000, 60000};
    // A port whose backlog is full: a connection attempt gets no answer.
    Poco::Net::ServerSocket full(Poco::Net::SocketAddress("127.0.0.1", 0), 0);
    Poco::Net::StreamSocket filler(full.address());
    const std::uint16_t imapPort = client.port;
    client.port = full.address().port();
    later(100, [this] { client.interrupt(); });
    EXPECT_EQ(netError([&] { client.connect(); }), QStringLiteral("Ventingen på 127.0.0.1 ble avbrutt"));
    helper.join();
    EXPECT_TRUE(events.isEmpty());

    // TLS from the first byte to a server that never answers.
    client.clearInterrupt();
    client.port = imapPort;
    client.implicitTls = true;
    server.addFault(ImapFault::stall("GREETING"));
    later(100, [this] { client.interrupt(); });
    EXPECT_EQ(netError([&] { client.connect(); }), QStringLiteral("Ventingen på 127.0.0.1 ble avbrutt"));
    EXPECT_EQ(events, kConnectedAndClosed);
}

TEST_F(ImapIdleTest, ShutdownEndsIdle)
{
    later(100, [] { rt::requestCancel(); });
    const auto error = netError([&] { client.idle(10min); });
    helper.join();
    rt::clearCancel();
    EXPECT_EQ(error, QStringLiteral("Avbrutt fordi programmet avsluttes"));
    EXPECT_FALSE(client.connected());
}

// The rows with a long IDLE wait end on the server's doing or within the
// reply time-out of 300 ms, never by waiting the IDLE out (the "+" to IDLE
// is awaited within the reply time-out, not the IDLE's).
TEST_F(ImapIdleTest, EndsThatBreakTheConnection)
{
    const QString timedOut =
        QStringLiteral("Tidsavbrudd: ingen svar fra 127.0.0.1:%1 innen 300 millisekunder").arg(server.port());
    const struct {
        const char* name;
        ImapFault fault;
        std::chrono::milliseconds wait;
        QString text;
    } cases[] = {
        {"bye", ImapFault::idleNotice(50, "* BYE Server shutting down"), 60s,
         QStringLiteral("Serveren avsluttet forbindelsen: Server shutting down")},
        {"dropped", ImapFault::drop("DONE"), 100ms, QStringLiteral("Forbindelsen til 127.0.0.1 ble brutt")},
        {"no answer to DONE", ImapFault::stall("DONE"), 100ms, timedOut},
        {"no continuation", ImapFault::stall("IDLE"), 60s, timedOut},
        {"garbage", ImapFault::idleNotice(50, "* 1 FETCH (UID"), 60s,
         QStringLiteral("Ugyldig svar fra 127.0.0.1: «* 1 FETCH (UID»")},
    };
    client.timeouts.replyMs = 300;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        events.clear();
        server.clearFaults();
        if (!client.connected())
            client.connectAndSearch(true);
        server.addFault(c.fault);
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(netError([&] { client.idle(c.wait); }), c.text);
        if (c.wait >= 60s) {
            EXPECT_LT(std::chrono::steady_clock::now() - started, c.wait / 2) << "waited out the IDLE";
        }
        EXPECT_FALSE(client.connected());
        EXPECT_FALSE(client.idling());
        ASSERT_FALSE(events.isEmpty());
        EXPECT_EQ(events.last(), QStringLiteral("disconnected"));
    }
}

TEST_F(ImapIdleTest, ServerWithoutIdleGetsNone)
{
    client.disconnect();
    server.setCapabilities({"IMAP4rev1", "AUTH=PLAIN", "SASL-IR", "UIDPLUS"});
    client.connectAndSearch(true);
    server.clearReceived();
    EXPECT_EQ(netError([&] { client.idle(1s); }), QStringLiteral("127.0.0.1 tilbyr ikke IDLE"));
    EXPECT_TRUE(server.received().isEmpty());
    EXPECT_TRUE(client.connected());
}

// A connection that stops answering fails its probe within the reply time.
TEST_F(ImapClientTest, NoopOnAQuietConnectionTimesOut)
{
    client.connectAndSearch(true);
    server.addFault(ImapFault::stall("NOOP"));
    client.timeouts.replyMs = 300;
    EXPECT_EQ(netError([&] { client.noop(); }),
              QStringLiteral("Tidsavbrudd: ingen svar fra 127.0.0.1:%1 innen 300 millisekunder").arg(server.port()));
    EXPECT_FALSE(client.connected());
    EXPECT_EQ(events, kConnectedAndClosed);
}

TEST_F(ImapClientTest, LogoutWaitsOrNot)
{
    client.disconnect(); // not connected: nothing happens
    EXPECT_TRUE(events.isEmpty());

    client.connectAndSearch(true);
    client.disconnect();
    EXPECT_FALSE(client.connected());
    ASSERT_FALSE(server.receivedVerbs().isEmpty());
    EXPECT_EQ(server.receivedVerbs().last(), "LOGOUT");

    // A server that never answers LOGOUT: disconnect() waits its reply time,
    // logoutWithoutWaiting() not at all.
    server.addFault(ImapFault::stall("LOGOUT"));
    client.timeouts.replyMs = 300;
    for (const bool wait : {true, false}) {
        events.clear();
        client.connectAndSearch(true);
        if (wait)
            client.disconnect();
        else
            client.logoutWithoutWaiting();
        EXPECT_FALSE(client.connected());
        EXPECT_EQ(events, kConnectedAndClosed);
    }
    client.logoutWithoutWaiting(); // not connected: nothing happens
}

TEST_F(ImapClientTest, DestructorClosesWithoutLogoutOrEvents)
{
    int fired = 0;
    {
        ImapClient local;
        local.host = server.host();
        local.port = server.port();
        local.user = QStringLiteral("user");
        local.password = QStringLiteral("secret");
        local.connectAndSearch(true);
        local.onConnected = [&] { ++fired; };
        local.onDisconnected = [&] { ++fired; };
    }
    EXPECT_EQ(fired, 0);
    EXPECT_FALSE(server.receivedVerbs().contains("LOGOUT"));
}

// A broken or untrustworthy stream: thrown, closed, reported.
struct StreamBreak {
    const char* name;
    ImapFault fault;
    std::function<void(ImapClient&)> call;
    const char* textPart;
};

class ImapStreamBreakTest : public ImapClientTest, public testing::WithParamInterface<StreamBreak> {};

TEST_P(ImapStreamBreakTest, ThrowsAndCloses)
{
    server.addFault(GetParam().fault);
    client.timeouts.replyMs = 300;
    const auto error = netError([&] {
        client.connectAndSearch(false);
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
    EXPECT_EQ(client.connectAndSearch(true), (Uids{1, 2, 3}));
    EXPECT_EQ(server.sessionCount(), sessions + 1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ImapStreamBreakTest,
    testing::Values(
        StreamBreak{"StallGreeting", ImapFault::stall("GREETING"), [](ImapClient&) {},
                    "Tidsavbrudd: ingen svar fra 127.0.0.1:{port} innen 300 millisekunder"},
        // 40 ms a byte keeps each wait short, but the line takes longer than 300 ms.
        StreamBreak{"TrickleGreeting", ImapFault::trickle("GREETING", 40), [](ImapClient&) {},
                    "Tidsavbrudd: ingen svar fra 127.0.0.1:{port} innen 300 millisekunder"},
        StreamBreak{"StallSearch", ImapFault::stall("UID SEARCH"), [](ImapClient&) {}, "Tidsavbrudd"},
        StreamBreak{"DropSelect", ImapFault::drop("SELECT"), [](ImapClient&) {}, "ble brutt"},
        StreamBreak{"ResetFetch", ImapFault::reset("UID FETCH"), [](ImapClient& c) { c.fetchHeaders({1, 2}, {}); },
                    "ble brutt"},
        StreamBreak{"StalledMessageBody", ImapFault::reply("UID FETCH", "* 1 FETCH (UID 1 BODY[] {500}\r\nFrom: a"),
                    [](ImapClient& c) {
                        QByteArray m;
                        c.fetchMessage(1, m);
                    },
                    "Tidsavbrudd"},
        StreamBreak{"ByeMidSession", ImapFault::bye("NOOP", "Server shutting down"),
                    [](ImapClient& c) { c.noop(); }, "Serveren avsluttet forbindelsen: Server shutting down"},
        StreamBreak{"GarbageAnswer", ImapFault::reply("NOOP", "+OK fine"), [](ImapClient& c) { c.noop(); },
                    "Ugyldig svar fra 127.0.0.1: «+OK fine»"},
        StreamBreak{"AnswerToAnUnknownCommand", ImapFault::reply("NOOP", "X99 OK done"),
                    [](ImapClient& c) { c.noop(); }, "svar på en ukjent kommando «X99»"},
        StreamBreak{"LineAboveItsCap", ImapFault::reply("NOOP", "* OK " + QByteArray(1100000, 'x')),
                    [](ImapClient& c) { c.noop(); }, "svaret er større enn 1 MiB"},
        // Short answers each, without end: the command's answers stop at their cap.
        StreamBreak{"EndlessNews", ImapFault::endless("NOOP"), [](ImapClient& c) { c.noop(); },
                    "Ugyldig svar fra 127.0.0.1: svarene på NOOP er større enn 16 MiB"}),
    [](const auto& info) { return std::string(info.param.name); });

// First bytes that are no greeting, or none: one TLS try on a fresh
// connection (the second session), and when that fails too, what the first
// connection showed. (A server that does speak TLS: test_imap_tls.cpp.)
TEST_F(ImapClientTest, NoGreetingGetsOneTlsTry)
{
    const struct {
        const char* name;
        ImapFault fault;
        const char* text;
    } cases[] = {
        {"silent", ImapFault::stall("GREETING"), "Tidsavbrudd: ingen svar fra 127.0.0.1:{port} innen 300 millisekunder"},
        {"hangs up", ImapFault::drop("GREETING"), "Forbindelsen til 127.0.0.1 ble brutt"},
        // A TLS alert record (protocol version) where the greeting belongs.
        {"TLS alert", ImapFault::reply("GREETING", QByteArray("\x15\x03\x03\x00\x02\x02\x46", 7)),
         "TLS-forhandlingen med 127.0.0.1 mislyktes: "},
    };
    client.timeouts.replyMs = 300;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        events.clear();
        server.clearFaults();
        server.addFault(c.fault);
        const int sessions = server.sessionCount();
        const auto error = netError([&] { client.connect(); });
        ASSERT_TRUE(error);
        EXPECT_THAT(str(*error), HasSubstr(str(withPort(c.text, server.port()))));
        EXPECT_EQ(server.sessionCount(), sessions + 2);
        EXPECT_FALSE(client.connected());
        EXPECT_EQ(events, kConnectedAndClosed);
    }
}

TEST_F(ImapClientTest, ShutdownEndsAWaitingStep)
{
    server.addFault(ImapFault::stall("UID SEARCH"));
    client.timeouts.replyMs = 600000;
    std::thread canceller([] {
        std::this_thread::sleep_for(100ms);
        rt::requestCancel();
    });
    const auto error = netError([&] { client.connectAndSearch(true); });
    canceller.join();
    rt::clearCancel();
    EXPECT_EQ(error, QStringLiteral("Avbrutt fordi programmet avsluttes"));
    EXPECT_FALSE(client.connected());
    EXPECT_EQ(events, kConnectedAndClosed);
}

TEST(ImapClientPorts, ImplicitTlsOn993OrWithTheFlag)
{
    struct Case {
        std::uint16_t port;
        bool flag;
        bool implicit;
    };
    for (const Case c : {Case{993, false, true}, Case{143, false, false}, Case{143, true, true},
                         Case{9930, false, false}}) {
        ImapClient client;
        client.port = c.port;
        client.implicitTls = c.flag;
        EXPECT_EQ(client.usesImplicitTls(), c.implicit) << c.port << ' ' << c.flag;
    }
    EXPECT_EQ(ImapClient().port, 143);
}

// Whatever goes wrong at or after the login, the password stays out of the
// text, in any of the forms the client sent it in.
struct PasswordCase {
    const char* name;
    QByteArray password;
    QList<QByteArray> capabilities;
    ImapFault fault;
    std::function<void(ImapClient&)> after;
};

class ImapPasswordTest : public ImapClientTest, public testing::WithParamInterface<PasswordCase> {};

TEST_P(ImapPasswordTest, NeverInTheErrorText)
{
    const QByteArray password = GetParam().password;
    server.setCredentials("user", password);
    server.setCapabilities(GetParam().capabilities);
    client.password = QString::fromUtf8(password);
    client.timeouts.replyMs = 300;
    server.addFault(GetParam().fault);

    const auto error = netError([&] {
        client.connectAndSearch(false);
        GetParam().after(client);
    });
    ASSERT_TRUE(error);
    const std::string text = str(*error);
    const QByteArray token = ("\0user\0" + password).toBase64();
    for (const QByteArray& secret :
         {password, password.left(12), password.simplified(), password.trimmed(), password.toBase64(), token}) {
        if (!secret.isEmpty()) {
            EXPECT_THAT(text, Not(HasSubstr(secret.toStdString())));
        }
    }
}

const QByteArray kPw = "hunter2-hemmelig";
const QByteArray kQuotePw = "hemme\"lig\\pass";
const QByteArray kBlankEndsPw = " hemmelig  passord ";
const QList<QByteArray> kPlainCaps{"IMAP4rev1", "AUTH=PLAIN", "SASL-IR", "IDLE", "UIDPLUS"};
const QList<QByteArray> kLoginCaps{"IMAP4rev1", "IDLE", "UIDPLUS"};
const auto kLoginOnly = [](ImapClient&) {};

INSTANTIATE_TEST_SUITE_P(
    Faults, ImapPasswordTest,
    testing::Values(
        PasswordCase{"LoginRefusalEchoes", kPw, kLoginCaps, ImapFault::no("LOGIN", "bad password " + kPw), kLoginOnly},
        PasswordCase{"QuotedFormEchoes", kQuotePw, kLoginCaps,
                     ImapFault::no("LOGIN", "you sent \"hemme\\\"lig\\\\pass\""), kLoginOnly},
        PasswordCase{"TokenEchoes", kPw, kPlainCaps,
                     ImapFault::bad("AUTHENTICATE", "bad token " + ("\0user\0" + kPw).toBase64()), kLoginOnly},
        PasswordCase{"Base64Echoes", kPw, kPlainCaps, ImapFault::no("AUTHENTICATE", "what is " + kPw.toBase64()),
                     kLoginOnly},
        PasswordCase{"GarbageEchoes", kPw, kLoginCaps, ImapFault::reply("LOGIN", "LOGIN user " + kPw), kLoginOnly},
        PasswordCase{"ByeEchoes", kPw, kLoginCaps, ImapFault::bye("LOGIN", "no " + kPw), kLoginOnly},
        PasswordCase{"BlankEndsTrimmed", kBlankEndsPw, kLoginCaps, ImapFault::no("LOGIN", "bad " + kBlankEndsPw),
                     kLoginOnly},
        PasswordCase{"LaterRefusalEchoes", kPw, kPlainCaps, ImapFault::no("UID STORE", "you said " + kPw),
                     [](ImapClient& c) { c.deleteMessage(1); }}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace

// A connection that stood open between checks: EXAMINE (or SELECT, as it
// was opened) goes again with the search, so the search covers what came
// meanwhile; a refused reopening leaves no mailbox open.
TEST_F(ImapClientTest, ASearchThatReopensSeesWhatCameWhileTheConnectionStood)
{
    ASSERT_EQ(client.connectAndSearch(true), (Uids{1, 2, 3}));
    server.addMessage(message(4));
    server.clearReceived();
    EXPECT_EQ(client.searchUnseen(ImapClient::SearchSync::ReopenFirst), (Uids{1, 2, 3, 4}));
    EXPECT_EQ(server.received(), (QList<QByteArray>{"EXAMINE INBOX", "UID SEARCH UNSEEN UNDELETED"}));
    EXPECT_TRUE(client.mailbox().readOnly);
    EXPECT_EQ(client.mailbox().exists, 4u);

    client.selectInbox(false);
    server.clearReceived();
    EXPECT_EQ(client.searchUnseen(ImapClient::SearchSync::ReopenFirst), (Uids{1, 2, 3, 4}));
    EXPECT_EQ(server.received(), (QList<QByteArray>{"SELECT INBOX", "UID SEARCH UNSEEN UNDELETED"}));

    server.addFault(ImapFault::no("SELECT"));
    EXPECT_THROW(client.searchUnseen(ImapClient::SearchSync::ReopenFirst), net::NetError);
    EXPECT_FALSE(client.mailboxOpen());
    EXPECT_TRUE(client.connected()) << "the connection stays in step";
}

// News taken while the IDLE stands: no DONE, no new IDLE, until the wait
// ends; the renewal then ends it.
TEST_F(ImapIdleTest, KeepIdlingTakesNewsWithoutEndingTheIdle)
{
    later(100, [this] { server.addMessage(message(4)); });
    EXPECT_EQ(client.idle(60s, ImapClient::OnChange::KeepIdling), ImapClient::IdleEnd::Changed);
    EXPECT_TRUE(client.idling());
    EXPECT_EQ(client.takeChanges().exists, 4u);
    helper.join();
    later(100, [this] { server.setSeen(1, true); });
    EXPECT_EQ(client.idle(60s, ImapClient::OnChange::KeepIdling), ImapClient::IdleEnd::Changed);
    EXPECT_EQ(client.takeChanges().flagUpdates, 1);
    EXPECT_EQ(server.receivedVerbs().count("IDLE"), 1);
    EXPECT_FALSE(server.receivedVerbs().contains("DONE"));
    EXPECT_EQ(client.idle(100ms, ImapClient::OnChange::KeepIdling), ImapClient::IdleEnd::TimeUp);
    EXPECT_FALSE(client.idling());
    EXPECT_EQ(lastVerbs(1), QList<QByteArray>{"DONE"});
    EXPECT_EQ(client.searchUnseen(), (Uids{2, 3, 4}));
}
