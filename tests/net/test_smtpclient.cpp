// The SMTP client against the scripted server (the commands on the wire,
// refusals, broken and slow connections), STARTTLS and TLS from the first
// byte with their certificate checks, and the login.
#include "addresslist.h"
#include "laidoutmessage.h"
#include "neterrortext.h"
#include "scriptedsmtpserver.h"
#include "smtpclient.h"
#include "smtpserver.h"
#include "testca.h"
#include "tls.h"

#include <Poco/Net/DNS.h>
#include <Poco/Net/HostEntry.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSysInfo>
#include <QTemporaryDir>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>
#include <ostream>
#include <sstream>

using net::Mailbox;
using net::NetError;
using net::OutgoingMail;
using net::SmtpClient;
using testing::ElementsAre;
using testing::HasSubstr;
using testsupport::ScriptedSmtpOptions;
using testsupport::ScriptedSmtpServer;
using testsupport::SmtpFault;
using testsupport::TestCa;
using testsupport::TestCertificate;
using testsupport::decodeQp;
using testsupport::Parsed;
using testsupport::simpleMail;
using testsupport::split;
using testsupport::u8;

namespace {

using testsupport::netError;

// ---------------------------------------------------------------------------
// The client against the scripted server

class SmtpClientTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        client.host = server.host();
        client.port = server.port();
        client.heloName = QStringLiteral("klient.example.no");
    }

    ScriptedSmtpServer server;
    SmtpClient client;
};

TEST_F(SmtpClientTest, SendsAMessage)
{
    client.connect();
    EXPECT_TRUE(client.connected());
    EXPECT_EQ(client.capabilities(), QStringList({u8("SIZE 10485760"), u8("8BITMIME")}));
    EXPECT_TRUE(client.hasCapability(u8("size")));

    OutgoingMail m = simpleMail();
    m.bodyLines = {u8(".en prikk først"), u8("."), u8("..to")};
    client.send(m);
    client.disconnect();
    EXPECT_FALSE(client.connected());

    const QList<QByteArray> lines = server.received();
    ASSERT_EQ(lines.size(), 6);
    EXPECT_EQ(lines[0], "EHLO klient.example.no");
    EXPECT_TRUE(lines[1].startsWith("MAIL FROM:<kari@example.no> SIZE=")) << lines[1].toStdString();
    EXPECT_EQ(lines[2], "RCPT TO:<ola@example.no>");
    EXPECT_EQ(lines[3], "RCPT TO:<per@example.no>");
    EXPECT_EQ(lines[4], "DATA");
    EXPECT_EQ(lines[5], "QUIT");

    const QList<testsupport::SmtpDelivery> got = server.deliveries();
    ASSERT_EQ(got.size(), 1);
    const qsizetype size = lines[1].mid(lines[1].indexOf("SIZE=") + 5).toLongLong();
    EXPECT_EQ(size, got[0].data.size());
    const Parsed p = split(got[0].data);
    EXPECT_EQ(p.value("Subject"), "Hei");
    EXPECT_EQ(QString::fromUtf8(decodeQp(p.body)), u8(".en prikk først\r\n.\r\n..to\r\n"));
}

TEST_F(SmtpClientTest, ServerWithoutEhloGetsHelo)
{
    server.setEhlo(false);
    client.connect();
    EXPECT_TRUE(client.capabilities().isEmpty());
    client.send(simpleMail());
    client.disconnect();
    EXPECT_THAT(server.receivedVerbs(), ElementsAre("EHLO", "HELO", "MAIL", "RCPT", "RCPT", "DATA", "QUIT"));
    EXPECT_EQ(server.received().value(2), "MAIL FROM:<kari@example.no>");
    EXPECT_EQ(server.deliveries().size(), 1);
}

TEST_F(SmtpClientTest, RefusedHeloAfterRefusedEhlo)
{
    server.addFault(SmtpFault::reply("EHLO", "502 5.5.2 Ukjent"));
    server.addFault(SmtpFault::reply("HELO", "550 5.7.1 Nei"));
    const auto error = netError([&] { client.connect(); });
    ASSERT_TRUE(error);
    EXPECT_EQ(*error, QStringLiteral("Serveren avviste HELO: 550 5.7.1 Nei"));
    EXPECT_FALSE(client.connected());
    EXPECT_THAT(server.receivedVerbs(), ElementsAre("EHLO", "HELO"));
}

TEST_F(SmtpClientTest, SeveralMessagesOnOneConnection)
{
    client.connect();
    client.send(simpleMail());
    client.send(simpleMail());
    client.disconnect();
    EXPECT_EQ(server.deliveries().size(), 2);
    EXPECT_EQ(server.sessionCount(), 1);
}

struct RefusalCase {
    const char* name;
    SmtpFault fault;
    const char* what; // what the error text says was refused
    bool duringConnect;
};

std::ostream& operator<<(std::ostream& os, const RefusalCase& c)
{
    return os << c.name;
}

class SmtpRefusal : public SmtpClientTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(SmtpRefusal, ThrowsWithTheServersReply)
{
    const RefusalCase& c = GetParam();
    server.addFault(c.fault);
    const auto error = netError([&] {
        client.connect();
        client.send(simpleMail());
    });
    ASSERT_TRUE(error);
    // A Norwegian lead, then the server's own words.
    EXPECT_EQ(*error, u8("Serveren avviste %1: %2").arg(u8(c.what), QString::fromUtf8(c.fault.text)));
    EXPECT_TRUE(server.deliveries().isEmpty());
    if (c.duringConnect) {
        EXPECT_FALSE(client.connected());
        return;
    }
    // The transaction is reset; the connection serves the next message.
    EXPECT_TRUE(client.connected());
    ASSERT_FALSE(server.receivedVerbs().isEmpty());
    EXPECT_EQ(server.receivedVerbs().last(), "RSET");
    server.clearFaults();
    client.send(simpleMail());
    client.disconnect();
    EXPECT_EQ(server.deliveries().size(), 1);
    ASSERT_FALSE(server.receivedVerbs().isEmpty());
    EXPECT_EQ(server.receivedVerbs().last(), "QUIT");
}

INSTANTIATE_TEST_SUITE_P(
    Steps, SmtpRefusal,
    ::testing::Values(
        RefusalCase{"greeting", SmtpFault::reply("GREETING", "554 5.7.1 Ingen adgang"), "forbindelsen", true},
        RefusalCase{"ehlo", SmtpFault::reply("EHLO", "421 4.3.2 Stenger").onOccurrence(1), "EHLO", true},
        RefusalCase{"sender", SmtpFault::reply("MAIL", "553 5.1.8 Sender address rejected").onOccurrence(1),
                    "avsenderen <kari@example.no>", false},
        RefusalCase{"second recipient",
                    SmtpFault::reply("RCPT", "550 5.1.1 No such user").onArgument("per@").onOccurrence(1),
                    "mottakeren <per@example.no>", false},
        RefusalCase{"data", SmtpFault::reply("DATA", "554 5.5.1 No valid recipients").onOccurrence(1), "DATA", false},
        RefusalCase{"message", SmtpFault::reply("DOT", "552 5.3.4 Message too big").onOccurrence(1), "meldingen",
                    false}));

class SmtpBrokenConnection : public SmtpClientTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(SmtpBrokenConnection, DroppedConnectionIsReportedAndClosed)
{
    server.addFault(SmtpFault::drop(GetParam()));
    const auto error = netError([&] {
        client.connect();
        client.send(simpleMail());
    });
    ASSERT_TRUE(error);
    EXPECT_EQ(*error, QStringLiteral("Forbindelsen til %1 ble brutt").arg(server.hostPort()));
    EXPECT_FALSE(client.connected());
    client.disconnect(); // quiet
}

INSTANTIATE_TEST_SUITE_P(Steps, SmtpBrokenConnection,
                         ::testing::Values("GREETING", "EHLO", "MAIL", "RCPT", "DATA", "DOT"));

TEST_F(SmtpClientTest, SilentServerTimesOut)
{
    client.timeouts.replyMs = 300;
    for (const char* verb : {"GREETING", "DOT"}) {
        server.clearFaults();
        server.addFault(SmtpFault::stall(verb));
        const auto error = netError([&] {
            client.connect();
            client.send(simpleMail());
        });
        ASSERT_TRUE(error) << verb;
        EXPECT_EQ(*error, QStringLiteral("Tidsavbrudd: ingen svar fra %1 innen 300 millisekunder").arg(server.hostPort()))
            << verb;
        EXPECT_FALSE(client.connected()) << verb;
    }
}

// A greeting or EHLO reply that goes on and on, in lines each within the
// line limit, stops at the reply cap instead of filling memory.
TEST_F(SmtpClientTest, EndlessRepliesStopAtTheirCap)
{
    const QByteArray line = "-" + QByteArray(995, 'y') + "\r\n";
    for (const char* verb : {"GREETING", "EHLO"}) {
        SCOPED_TRACE(verb);
        const QByteArray code = verb == QByteArray("GREETING") ? "220" : "250";
        server.clearFaults();
        server.addFault(SmtpFault::reply(verb, (code + line).repeated(1100) + code + " slutt"));
        const auto error = netError([&] { client.connect(); });
        ASSERT_TRUE(error);
        EXPECT_EQ(*error, QStringLiteral("Ugyldig svar fra %1: svaret er større enn 1 MiB").arg(server.hostPort()));
        EXPECT_FALSE(client.connected());
    }
}

TEST_F(SmtpClientTest, MalformedReplyIsReported)
{
    server.addFault(SmtpFault::reply("EHLO", "hallo?"));
    const auto error = netError([&] { client.connect(); });
    ASSERT_TRUE(error);
    EXPECT_EQ(*error, QStringLiteral("Ugyldig svar fra %1: «hallo?»").arg(server.hostPort()));
    EXPECT_FALSE(client.connected());
}

TEST_F(SmtpClientTest, NothingIsSentForAMessageThatCannotGo)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QFile big(dir.filePath(QStringLiteral("stor.bin")));
    ASSERT_TRUE(big.open(QIODevice::WriteOnly));
    big.write(QByteArray(1000, 'x'));
    big.close();
    server.setExtensions({"SIZE 800"});

    struct Case {
        const char* what;
        OutgoingMail mail;
        const char* text;
    };
    OutgoingMail noRecipients = simpleMail();
    noRecipients.recipients.clear();
    OutgoingMail noAddress = simpleMail();
    noAddress.recipients = net::parseAddressList(u8("Ola Nordmann, per@example.no"));
    OutgoingMail missingFile = simpleMail();
    missingFile.attachmentPath = dir.filePath(QStringLiteral("borte.bin"));
    OutgoingMail tooBig = simpleMail();
    tooBig.attachmentPath = big.fileName();
    OutgoingMail utf8Local = simpleMail();
    utf8Local.recipients = {{QString(), u8("åse@example.no")}};
    OutgoingMail injected = simpleMail();
    injected.sender.address = u8("kari@example.no>\r\nRCPT TO:<x@example.no");
    const Case cases[] = {
        {"no recipients", noRecipients, "ingen mottaker"},
        {"recipient without address", noAddress, "«Ola Nordmann» har ingen adresse"},
        {"attachment missing", missingFile, "Finner ikke vedlegget"},
        {"bigger than the server takes", tooBig, "grensen er 800 byte"},
        {"non-ASCII local part without SMTPUTF8", utf8Local, "godtar bare ASCII-tegn"},
        {"line break in the sender", injected, "Ugyldig adresse"},
    };
    client.connect();
    for (const Case& c : cases) {
        const auto error = netError([&] { client.send(c.mail); });
        ASSERT_TRUE(error) << c.what;
        EXPECT_THAT(error->toStdString(), HasSubstr(c.text)) << c.what;
        EXPECT_TRUE(client.connected()) << c.what;
    }
    client.disconnect();
    EXPECT_THAT(server.receivedVerbs(), ElementsAre("EHLO", "QUIT"));
}

TEST_F(SmtpClientTest, Utf8AddressesWhereTheServerTakesThem)
{
    server.setExtensions({"SMTPUTF8"});
    OutgoingMail m = simpleMail();
    m.recipients = {{QString(), u8("åse@blåbær.no")}};
    client.connect();
    client.send(m);
    client.disconnect();
    const QList<QByteArray> lines = server.received();
    EXPECT_EQ(lines.value(1), "MAIL FROM:<kari@example.no> SMTPUTF8");
    EXPECT_EQ(lines.value(2), u8("RCPT TO:<åse@xn--blbr-roah.no>").toUtf8());
}

TEST(SmtpClientConnect, ReportsWhatStopsTheConnection)
{
    // A port nothing listens on: bound, then closed again.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len), 0);
    ::close(fd);
    const std::uint16_t closedPort = ntohs(a.sin_port);

    struct Case {
        const char* what;
        QString host;
        std::uint16_t port;
        QString expected;
    };
    const Case cases[] = {
        {"no host", QString(), 25, u8("Ingen SMTP-server er angitt")},
        {"blank host", u8("  "), 25, u8("Ingen SMTP-server er angitt")},
        {"refused", u8("127.0.0.1"), closedPort, u8("Kan ikke koble til 127.0.0.1:%1: tilkoblingen ble avvist").arg(closedPort)},
        {"unknown name", u8("finnes-ikke.invalid"), 25, u8("Kan ikke koble til finnes-ikke.invalid:25: fant ikke serveren")},
    };
    for (const Case& c : cases) {
        SmtpClient client;
        client.host = c.host;
        client.port = c.port;
        const auto error = netError([&] { client.connect(); });
        ASSERT_TRUE(error) << c.what;
        EXPECT_TRUE(error->startsWith(c.expected)) << c.what << ": " << error->toStdString();
        EXPECT_FALSE(client.connected()) << c.what;
    }
}

TEST(SmtpClientConnect, Ipv6Loopback)
{
    std::unique_ptr<ScriptedSmtpServer> server;
    try {
        server = std::make_unique<ScriptedSmtpServer>(true);
    } catch (const std::exception& e) {
        GTEST_SKIP() << "no IPv6 loopback here: " << e.what();
    }
    SmtpClient client;
    client.host = QStringLiteral("[::1]");
    client.port = server->port();
    client.connect();
    client.send(simpleMail());
    client.disconnect();
    EXPECT_EQ(server->deliveries().size(), 1);
    // Without a name of its own the client greets with the machine's domain
    // name or, lacking one, its address.
    const QString ehlo = QString::fromUtf8(server->received().value(0));
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^EHLO (\\[IPv6:[0-9a-f:]+\\]|[A-Za-z0-9-]+(\\.[A-Za-z0-9-]+)+)$"))
                    .match(ehlo)
                    .hasMatch())
        << ehlo.toStdString();
}

// ---------------------------------------------------------------------------
// TLS and the login

TEST(IsLoopbackHost, OnlyNamesThatAreTheMachineByTheirText)
{
    struct Case {
        const char* host;
        bool loopback;
    };
    const Case cases[] = {
        {"localhost", true},
        {"LocalHost", true},
        {"localhost.", true},
        {" 127.0.0.1 ", true},
        {"127.0.0.1", true},
        {"127.255.3.4", true},
        {"::1", true},
        {"[::1]", true},
        {"", false},
        {"128.0.0.1", false},
        {"10.0.0.1", false},
        {"0.0.0.0", false},
        {"::", false},
        {"[2001:db8::1]", false},
        {"mail.example.no", false},
        {"localhost.example.no", false},
        {"minlocalhost", false},
        {"127.0.0.1.example.no", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(net::isLoopbackHost(u8(c.host)), c.loopback) << '"' << c.host << '"';
}

// Made once per run; the TLS tests trust its root in addition to the system's.
const TestCa& testCa()
{
    static const TestCa ca;
    return ca;
}

QByteArray wholeSession(const ScriptedSmtpServer& server)
{
    return server.received().join('\n');
}

class SmtpTlsTest : public ::testing::Test {
protected:
    void SetUp() override { net::setExtraTrustedCaFile(testCa().caFile()); }
    void TearDown() override { net::setExtraTrustedCaFile({}); }

    // A server with the certificate, speaking TLS from the first byte or
    // after STARTTLS, offering AUTH PLAIN, and a client for it that logs in.
    void start(const TestCertificate& cert, bool implicitTls)
    {
        ScriptedSmtpOptions options;
        options.certificateFile = cert.certificateFile;
        options.keyFile = cert.keyFile;
        options.implicitTls = implicitTls;
        server = std::make_unique<ScriptedSmtpServer>(options);
        server->setAuthMechanisms({"PLAIN"});
        server->setCredentials("kari", "hemmelig");
        client.host = server->host();
        client.port = server->port();
        client.implicitTls = implicitTls;
        client.heloName = QStringLiteral("klient.example.no");
        client.authenticate = true;
        client.user = QStringLiteral("kari");
        client.password = QStringLiteral("hemmelig");
    }

    std::unique_ptr<ScriptedSmtpServer> server;
    SmtpClient client;
};

TEST_F(SmtpTlsTest, ImplicitTlsIsTheDefaultOnlyOnPort465)
{
    for (const std::uint16_t port : {25, 587, 465, 2525}) {
        SmtpClient c;
        c.port = port;
        EXPECT_EQ(c.usesImplicitTls(), port == 465) << port;
        c.implicitTls = true;
        EXPECT_TRUE(c.usesImplicitTls()) << port;
    }
}

TEST_F(SmtpTlsTest, StartTlsThenLoginThenTheMessage)
{
    start(testCa().good(), false);
    client.connect();
    EXPECT_TRUE(client.encrypted());
    // The EHLO after STARTTLS replaces the first one's list.
    EXPECT_EQ(client.capabilities(), QStringList({u8("SIZE 10485760"), u8("8BITMIME"), u8("AUTH PLAIN")}));
    client.send(simpleMail());
    client.disconnect();

    EXPECT_THAT(server->receivedVerbs(),
                ElementsAre("EHLO", "STARTTLS", "EHLO", "AUTH", "MAIL", "RCPT", "RCPT", "DATA", "QUIT"));
    EXPECT_THAT(server->receivedInClear(), ElementsAre("EHLO klient.example.no", "STARTTLS"));
    ASSERT_EQ(server->logins().size(), 1);
    const testsupport::SmtpLogin login = server->logins().at(0);
    EXPECT_EQ(login.mechanism, "PLAIN");
    EXPECT_EQ(login.user, "kari");
    EXPECT_EQ(login.password, "hemmelig");
    EXPECT_TRUE(login.overTls);
    EXPECT_TRUE(login.accepted);
    EXPECT_EQ(server->deliveries().size(), 1);
}

TEST_F(SmtpTlsTest, TlsFromTheFirstByte)
{
    start(testCa().good(), true);
    client.connect();
    EXPECT_TRUE(client.encrypted());
    EXPECT_FALSE(client.hasCapability(u8("STARTTLS")));
    client.send(simpleMail());
    client.disconnect();

    EXPECT_TRUE(server->receivedInClear().isEmpty());
    EXPECT_THAT(server->receivedVerbs(), ElementsAre("EHLO", "AUTH", "MAIL", "RCPT", "RCPT", "DATA", "QUIT"));
    ASSERT_EQ(server->logins().size(), 1);
    EXPECT_TRUE(server->logins().at(0).accepted);
    EXPECT_TRUE(server->logins().at(0).overTls);
    EXPECT_EQ(server->deliveries().size(), 1);
}

// A certificate that fails the check stops the session before anything is
// sent, except after STARTTLS without a login: nothing secret goes then, and
// an encryption the certificate cannot vouch for beats clear text.
TEST_F(SmtpTlsTest, CertificateThatFailsTheCheck)
{
    struct Case {
        const char* what;
        const TestCertificate& cert;
        const char* expected; // the refusal, or the warning when tolerated
    };
    const Case cases[] = {
        {"unknown issuer", testCa().unknownIssuer(), "Sertifikatet til 127.0.0.1 kan ikke godtas: utstederen er ukjent"},
        {"self-signed", testCa().selfSigned(), "Sertifikatet til 127.0.0.1 kan ikke godtas: utstederen er ukjent"},
        {"expired", testCa().expired(), "Sertifikatet til 127.0.0.1 kan ikke godtas: det er utløpt"},
        {"wrong name", testCa().wrongName(),
         "Sertifikatet til 127.0.0.1 kan ikke godtas: det gjelder ikke for dette navnet"},
        {"good", testCa().good(), ""},
    };
    struct Mode {
        const char* what;
        bool implicitTls;
        bool login;
        bool tolerated;
    };
    const Mode modes[] = {
        {"STARTTLS with login", false, true, false},
        {"implicit TLS with login", true, true, false},
        {"implicit TLS without login", true, false, false},
        {"STARTTLS without login", false, false, true},
    };
    for (const Case& c : cases) {
        for (const Mode& m : modes) {
            SCOPED_TRACE(std::string(c.what) + ", " + m.what);
            start(c.cert, m.implicitTls);
            client.authenticate = m.login;
            const bool passes = m.tolerated || *c.expected == '\0';
            const auto error = netError([&] {
                client.connect();
                EXPECT_TRUE(client.encrypted());
                EXPECT_EQ(client.certificateWarning(), m.tolerated ? u8(c.expected) : QString());
                client.send(simpleMail());
                client.disconnect();
            });
            server->stop(); // the session has ended: what it got is complete
            if (passes) {
                EXPECT_FALSE(error) << error->toStdString();
                EXPECT_EQ(server->deliveries().size(), 1);
                EXPECT_EQ(server->receivedInClear(), (QList<QByteArray>{"EHLO klient.example.no", "STARTTLS"})
                                                         .mid(0, m.implicitTls ? 0 : 2))
                    << "the message went encrypted";
                continue;
            }
            ASSERT_TRUE(error);
            EXPECT_EQ(*error, u8(c.expected));
            EXPECT_FALSE(client.connected());
            EXPECT_EQ(server->receivedVerbs(),
                      m.implicitTls ? QList<QByteArray>() : QList<QByteArray>({"EHLO", "STARTTLS"}));
            EXPECT_TRUE(server->logins().isEmpty());
            EXPECT_TRUE(server->deliveries().isEmpty());
            EXPECT_FALSE(wholeSession(*server).contains("AGthcmkAaGVtbWVsaWc="));
        }
    }
}

TEST_F(SmtpTlsTest, RefusedStartTlsDoesNotFallBackToClearText)
{
    start(testCa().good(), false);
    server->addFault(SmtpFault::reply("STARTTLS", "454 4.7.0 TLS not available due to temporary reason"));
    const auto error = netError([&] { client.connect(); });
    ASSERT_TRUE(error);
    EXPECT_EQ(*error, u8("Serveren kunne ikke starte kryptering (STARTTLS): 454 4.7.0 TLS not available "
                                               "due to temporary reason"));
    EXPECT_FALSE(client.connected());
    server->stop();
    EXPECT_THAT(server->receivedVerbs(), ElementsAre("EHLO", "STARTTLS"));
    EXPECT_TRUE(server->logins().isEmpty());
}

TEST_F(SmtpTlsTest, NoLoginWithoutAuthenticate)
{
    start(testCa().good(), false);
    client.authenticate = false;
    client.connect();
    client.send(simpleMail());
    client.disconnect();
    EXPECT_THAT(server->receivedVerbs(), ElementsAre("EHLO", "STARTTLS", "EHLO", "MAIL", "RCPT", "RCPT", "DATA", "QUIT"));
    EXPECT_FALSE(wholeSession(*server).contains("hemmelig"));
    EXPECT_EQ(server->deliveries().size(), 1);
}

// A client that logs in as "kari" with the password "hemmelig".
void logInAsKari(SmtpClient& client, const QString& host, std::uint16_t port)
{
    client.host = host;
    client.port = port;
    client.authenticate = true;
    client.user = QStringLiteral("kari");
    client.password = QStringLiteral("hemmelig");
}

// The login in clear text to 127.0.0.1, which isLoopbackHost() allows.
TEST(SmtpLogin, MechanismAndWhatGoesOnTheWire)
{
    struct Case {
        const char* what;
        QList<QByteArray> offered;
        QList<QByteArray> authLines; // the lines of the exchange
        const char* error; // nullptr: logged in; else the text after "host:port "
    };
    const Case cases[] = {
        {"PLAIN preferred", {"LOGIN", "PLAIN"}, {"AUTH PLAIN AGthcmkAaGVtbWVsaWc="}, nullptr},
        {"PLAIN only", {"PLAIN"}, {"AUTH PLAIN AGthcmkAaGVtbWVsaWc="}, nullptr},
        {"LOGIN when no PLAIN", {"CRAM-MD5", "LOGIN"}, {"AUTH LOGIN", "a2FyaQ==", "aGVtbWVsaWc="}, nullptr},
        {"neither", {"CRAM-MD5", "XOAUTH2"}, {}, "tilbyr verken AUTH PLAIN eller AUTH LOGIN (bare CRAM-MD5 XOAUTH2)"},
        {"no AUTH at all", {}, {}, "tilbyr ingen pålogging (AUTH)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedSmtpServer server;
        server.setAuthMechanisms(c.offered);
        server.setCredentials("kari", "hemmelig");
        SmtpClient client;
        logInAsKari(client, server.host(), server.port());
        const auto error = netError([&] {
            client.connect();
            client.send(simpleMail());
            client.disconnect();
        });
        server.stop();
        QList<QByteArray> authLines = server.received();
        authLines.removeFirst(); // EHLO
        authLines.erase(std::remove_if(authLines.begin(), authLines.end(),
                                       [](const QByteArray& l) {
                                           return l.startsWith("MAIL") || l.startsWith("RCPT") || l == "DATA"
                                               || l == "QUIT";
                                       }),
                        authLines.end());
        EXPECT_EQ(authLines, c.authLines);
        if (c.error) {
            ASSERT_TRUE(error);
            EXPECT_EQ(*error, server.hostPort() + u' ' + u8(c.error));
            EXPECT_FALSE(client.connected());
            EXPECT_TRUE(server.deliveries().isEmpty());
        } else {
            EXPECT_FALSE(error) << error->toStdString();
            ASSERT_EQ(server.logins().size(), 1);
            EXPECT_TRUE(server.logins().at(0).accepted);
            EXPECT_FALSE(server.logins().at(0).overTls);
            EXPECT_EQ(server.deliveries().size(), 1);
        }
    }
}

TEST(SmtpLogin, UnicodeCredentialsGoAsUtf8)
{
    for (const QByteArray& mechanism : {QByteArray("PLAIN"), QByteArray("LOGIN")}) {
        SCOPED_TRACE(mechanism.toStdString());
        ScriptedSmtpServer server;
        server.setAuthMechanisms({mechanism});
        server.setCredentials(u8("åse").toUtf8(), u8("blåbær på tur").toUtf8());
        SmtpClient client;
        client.host = server.host();
        client.port = server.port();
        client.authenticate = true;
        client.user = u8("åse");
        client.password = u8("blåbær på tur");
        client.connect();
        client.disconnect();
        ASSERT_EQ(server.logins().size(), 1);
        EXPECT_EQ(server.logins().at(0).mechanism, mechanism);
        EXPECT_TRUE(server.logins().at(0).accepted);
    }
}

TEST(SmtpLogin, RefusalGivesTheServersWordsWithoutThePassword)
{
    struct Case {
        const char* what;
        QByteArray mechanism;
        QByteArray serverPassword;
        std::optional<SmtpFault> fault;
        const char* expected; // after "Serveren avviste påloggingen: "
        const char* clientPassword = "hemmelig";
    };
    const Case cases[] = {
        {"PLAIN, wrong password", "PLAIN", "annet", std::nullopt, "535 5.7.8 Authentication credentials invalid"},
        {"LOGIN, wrong password", "LOGIN", "annet", std::nullopt, "535 5.7.8 Authentication credentials invalid"},
        {"echoes the password", "PLAIN", "hemmelig", SmtpFault::reply("AUTH", "535 5.7.8 hemmelig er feil for kari"),
         "535 5.7.8 *** er feil for kari"},
        {"echoes the PLAIN response", "PLAIN", "hemmelig",
         SmtpFault::reply("AUTH", "535 5.7.8 AGthcmkAaGVtbWVsaWc= er avvist"), "535 5.7.8 *** er avvist"},
        {"echoes the LOGIN password", "LOGIN", "annet",
         SmtpFault::reply("AUTH", "535 5.7.8 aGVtbWVsaWc= er avvist"), "535 5.7.8 *** er avvist"},
        {"LOGIN refused at once", "LOGIN", "hemmelig", SmtpFault::reply("AUTH", "504 5.5.4 Nei"), "504 5.5.4 Nei"},
        // Each line of the reply is trimmed, and the password's end blanks with it.
        {"echoes a password with blanks at its ends", "PLAIN", "annet",
         SmtpFault::reply("AUTH", "535 5.7.8 nei til  hemmelig "), "535 5.7.8 nei til  ***", " hemmelig "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedSmtpServer server;
        server.setAuthMechanisms({c.mechanism});
        server.setCredentials("kari", c.serverPassword);
        if (c.fault)
            server.addFault(*c.fault);
        SmtpClient client;
        logInAsKari(client, server.host(), server.port());
        client.password = u8(c.clientPassword);
        const auto error = netError([&] {
            client.connect();
            client.send(simpleMail());
        });
        ASSERT_TRUE(error);
        EXPECT_EQ(*error, u8("Serveren avviste påloggingen: ") + u8(c.expected));
        EXPECT_FALSE(error->contains(u8("hemmelig")));
        EXPECT_FALSE(error->contains(u8("aGVtbWVsaWc")));
        EXPECT_FALSE(client.connected());
        server.stop();
        EXPECT_TRUE(server.deliveries().isEmpty());
        EXPECT_FALSE(server.receivedVerbs().contains("MAIL"));
    }
}

// A garbled reply that echoes the log-in token far into a long line: the
// shown text is cut at 120 characters, and no piece of the token survives.
TEST(SmtpLogin, NoPieceOfTheTokenInACutReply)
{
    ScriptedSmtpServer server;
    server.setAuthMechanisms({"PLAIN"});
    server.setCredentials("kari", "hemmelig");
    server.addFault(SmtpFault::reply("AUTH", QByteArray(100, 'x') + " AGthcmkAaGVtbWVsaWc="));
    SmtpClient client;
    logInAsKari(client, server.host(), server.port());
    const auto error = netError([&] { client.connect(); });
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->startsWith(u8("Ugyldig svar fra ") + server.hostPort())) << error->toStdString();
    EXPECT_FALSE(error->contains(u8("AGthcmkA"))) << error->toStdString();
}

TEST(SmtpLogin, ControlCharactersInTheCredentialsAreRefused)
{
    for (const QString& password : {u8("a\r\nMAIL FROM:<x@y>"), QString(QChar(0)) + u8("x")}) {
        ScriptedSmtpServer server;
        server.setAuthMechanisms({"PLAIN"});
        SmtpClient client;
        logInAsKari(client, server.host(), server.port());
        client.password = password;
        const auto error = netError([&] { client.connect(); });
        ASSERT_TRUE(error);
        EXPECT_EQ(*error, u8("Brukernavnet eller passordet inneholder ugyldige tegn"));
        server.stop();
        EXPECT_FALSE(server.receivedVerbs().contains("AUTH"));
    }
}

TEST(SmtpLogin, LocalhostByNameMayGetThePasswordInClear)
{
    ScriptedSmtpServer server;
    server.setAuthMechanisms({"PLAIN"});
    server.setCredentials("kari", "hemmelig");
    SmtpClient client;
    logInAsKari(client, QStringLiteral("localhost"), server.port());
    client.connect();
    client.disconnect();
    ASSERT_EQ(server.logins().size(), 1);
    EXPECT_TRUE(server.logins().at(0).accepted);
}

// A name that reaches 127.0.0.1 but is not a loopback name by its text (an
// IPv4-mapped IPv6 address): the connection itself stays on the loopback,
// yet the client cannot know that from the name, so it keeps the password
// to itself.
TEST(SmtpLogin, NoPasswordInClearToANameThatIsNotLoopbackByItsText)
{
    const QString name = QStringLiteral("::ffff:127.0.0.1");
    ASSERT_FALSE(net::isLoopbackHost(name));

    ScriptedSmtpServer server;
    server.setAuthMechanisms({"PLAIN", "LOGIN"});
    server.setCredentials("kari", "hemmelig");
    SmtpClient client;
    logInAsKari(client, name, server.port());
    const auto error = netError([&] {
        client.connect();
        client.send(simpleMail());
    });
    ASSERT_TRUE(error);
    EXPECT_EQ(*error, u8("Vil ikke sende passordet til %1 ukryptert: serveren tilbyr ikke STARTTLS").arg(name));
    EXPECT_FALSE(client.connected());
    server.stop();
    EXPECT_THAT(server.receivedVerbs(), ElementsAre("EHLO"));
    EXPECT_TRUE(server.logins().isEmpty());
    EXPECT_TRUE(server.deliveries().isEmpty());

    // The same without a login goes ahead.
    ScriptedSmtpServer open;
    client.port = open.port();
    client.authenticate = false;
    client.connect();
    client.send(simpleMail());
    client.disconnect();
    EXPECT_EQ(open.deliveries().size(), 1);
}

// A real server: aiosmtpd requiring STARTTLS with the test CA's certificate
// and a login.
TEST(SmtpAiosmtpd, StartTlsAndLoginAgainstARealServer)
{
    if (!testsupport::AiosmtpdServer::available())
        GTEST_SKIP() << "python3-aiosmtpd is not installed for /usr/bin/python3";
    net::setExtraTrustedCaFile(testCa().caFile());
    struct ResetCa {
        ~ResetCa() { net::setExtraTrustedCaFile({}); }
    } resetCa;
    testsupport::AiosmtpdOptions options;
    options.certificateFile = testCa().good().certificateFile;
    options.keyFile = testCa().good().keyFile;
    options.user = QStringLiteral("kari");
    options.password = u8("hemmelig ord");
    testsupport::AiosmtpdServer server(options);

    struct Case {
        const char* what;
        QString password;
        bool accepted;
    };
    const Case cases[] = {
        {"right password", u8("hemmelig ord"), true},
        {"wrong password", u8("gjettet"), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SmtpClient client;
        logInAsKari(client, server.host(), server.port());
        client.password = c.password;
        const auto error = netError([&] {
            client.connect();
            EXPECT_TRUE(client.encrypted());
            client.send(simpleMail());
            client.disconnect();
        });
        if (c.accepted) {
            EXPECT_FALSE(error) << error->toStdString() << "\n" << server.log().toStdString();
        } else {
            ASSERT_TRUE(error);
            EXPECT_TRUE(error->startsWith(u8("Serveren avviste påloggingen: 535"))) << error->toStdString();
            EXPECT_FALSE(error->contains(c.password));
        }
    }
    const QList<testsupport::SinkMessage> got = server.messages();
    ASSERT_EQ(got.size(), 1);
    EXPECT_TRUE(got[0].info.value(QStringLiteral("tls")).toBool());
    EXPECT_EQ(got[0].info.value(QStringLiteral("auth_user")).toString(), QStringLiteral("kari"));
    EXPECT_EQ(got[0].header(QStringLiteral("Subject")), u8("Hei"));
}

} // namespace
