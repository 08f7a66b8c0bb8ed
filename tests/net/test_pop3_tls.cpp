// POP3 over TLS: STLS and implicit TLS against the scripted server and a real
// Dovecot, the certificate checks and their texts, and what a server got to
// see when a check failed.
#include "dovecotserver.h"
#include "neterrortext.h"
#include "pop3client.h"
#include "scriptedpop3server.h"
#include "testca.h"
#include "tls.h"

#include <Poco/Delegate.h>
#include <Poco/Net/AcceptCertificateHandler.h>
#include <Poco/Net/SSLManager.h>
#include <Poco/Net/VerificationErrorArgs.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <thread>

using net::NetError;
using net::Pop3Client;
using testing::HasSubstr;
using testsupport::DovecotServer;
using testsupport::Pop3Fault;
using testsupport::ScriptedPop3Options;
using testsupport::ScriptedPop3Server;
using testsupport::TestCa;
using testsupport::TestCertificate;

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

// Made once per run; every test trusts its root in addition to the system's.
const TestCa& testCa()
{
    static const TestCa ca;
    return ca;
}

QList<QByteArray> messages(int count)
{
    QList<QByteArray> out;
    for (int i = 1; i <= count; ++i)
        out.append("From: Kari <kari@example.no>\r\nSubject: Melding " + QByteArray::number(i)
                   + "\r\n\r\n.punktum\r\nHei " + QByteArray::number(i) + "\r\n");
    return out;
}

QByteArray headerOf(const QByteArray& message)
{
    return message.left(message.indexOf("\r\n\r\n") + 4);
}

const QStringList kConnectedAndClosed{QStringLiteral("connected"), QStringLiteral("disconnected")};

// Found: TLS from the first byte on a port the client has no flag for.
enum class Mode { Stls, Implicit, Found };

const char* modeName(Mode m)
{
    switch (m) {
    case Mode::Stls: return "Stls";
    case Mode::Implicit: return "Implicit";
    case Mode::Found: return "Found";
    }
    return "";
}

// text with "{port}" replaced by port.
QString withPort(const char* text, std::uint16_t port)
{
    return QString::fromUtf8(text).replace(QStringLiteral("{port}"), QString::number(port));
}

void PrintTo(Mode m, std::ostream* os)
{
    *os << modeName(m);
}

ScriptedPop3Options tlsOptions(const TestCertificate& cert, Mode mode)
{
    ScriptedPop3Options o;
    o.certificateFile = cert.certificateFile;
    o.keyFile = cert.keyFile;
    o.implicitTls = mode != Mode::Stls;
    return o;
}

// A client for server, recording its events.
class ScriptedTls : public testing::Test {
protected:
    void SetUp() override { net::setExtraTrustedCaFile(testCa().caFile()); }
    void TearDown() override { net::setExtraTrustedCaFile({}); }

    void start(const ScriptedPop3Options& options, const QList<QByteArray>& mail = messages(3))
    {
        server = std::make_unique<ScriptedPop3Server>(options);
        server->setMessages(mail);
        client.host = server->host();
        client.port = server->port();
        client.implicitTls = options.implicitTls;
        client.user = QStringLiteral("user");
        client.password = QStringLiteral("secret");
        client.timeouts = {5000, 20000};
        client.onConnected = [this] { events.append(QStringLiteral("connected")); };
        client.onDisconnected = [this] { events.append(QStringLiteral("disconnected")); };
    }

    // Nothing of the login reached the server.
    void expectNoLoginSent() const
    {
        const QList<QByteArray> verbs = server->receivedVerbs();
        EXPECT_FALSE(verbs.contains("USER")) << verbs.join(' ').toStdString();
        EXPECT_FALSE(verbs.contains("PASS")) << verbs.join(' ').toStdString();
        for (const QByteArray& line : server->received())
            EXPECT_FALSE(line.contains("secret")) << line.toStdString();
    }

    std::unique_ptr<ScriptedPop3Server> server;
    Pop3Client client;
    QStringList events;
};

TEST_F(ScriptedTls, StlsTurnsTheSessionToTlsBeforeTheLoginAndAsksCapaAgain)
{
    start(tlsOptions(testCa().good(), Mode::Stls));
    client.connect();
    EXPECT_TRUE(client.encrypted());
    EXPECT_EQ(server->receivedInClear(), (QList<QByteArray>{"CAPA", "STLS"}));
    EXPECT_EQ(server->received(), (QList<QByteArray>{"CAPA", "STLS", "CAPA", "USER user", "PASS secret"}));
    // The list from after the handshake, which does not offer STLS again.
    EXPECT_EQ(client.capabilities(), (QStringList{QStringLiteral("USER"), QStringLiteral("UIDL"), QStringLiteral("TOP"),
                                                  QStringLiteral("PIPELINING")}));
    EXPECT_EQ(client.messageCount(), 3);
    client.disconnect();
    EXPECT_FALSE(client.encrypted());
}

// Many pipelined headers: replies span many TLS records, some already
// decrypted and waiting inside OpenSSL when the next line is wanted.
TEST_F(ScriptedTls, ImplicitTlsOnAnyPortCarriesTheWholeSession)
{
    const QList<QByteArray> mail = messages(150);
    start(tlsOptions(testCa().good(), Mode::Implicit), mail);
    client.connect();
    EXPECT_TRUE(client.encrypted());
    EXPECT_TRUE(server->receivedInClear().isEmpty());
    EXPECT_FALSE(server->receivedVerbs().contains("STLS"));

    std::map<int, QByteArray> got;
    client.retrieveHeaders(1, int(mail.size()), [&](int i, const QByteArray& h) { got[i] = h; });
    ASSERT_EQ(got.size(), std::size_t(mail.size()));
    for (int i = 1; i <= mail.size(); ++i)
        EXPECT_EQ(got[i], headerOf(mail.at(i - 1))) << "message " << i;
    QByteArray raw;
    ASSERT_TRUE(client.retrieveRaw(2, raw));
    EXPECT_EQ(raw, mail.at(1));
    client.disconnect();
    ASSERT_FALSE(server->receivedVerbs().isEmpty());
    EXPECT_EQ(server->receivedVerbs().last(), "QUIT");
}

// A POP3S server on a port the client has no flag for drops the connection
// at the CAPA sent in clear text; the client tries TLS at once on a new
// connection, carries on there, and from then on starts TLS at once.
TEST_F(ScriptedTls, TlsFromTheFirstByteIsFoundOnAnyPort)
{
    start(tlsOptions(testCa().good(), Mode::Found));
    client.implicitTls = false;
    client.timeouts = {5000, 60000};
    const auto started = std::chrono::steady_clock::now();
    client.connect();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30))
        << "waited out the reply time-out";
    EXPECT_TRUE(client.encrypted());
    EXPECT_EQ(server->received(), (QList<QByteArray>{"CAPA", "USER user", "PASS secret"}));
    EXPECT_TRUE(server->receivedInClear().isEmpty());
    EXPECT_EQ(server->sessionCount(), 2);
    EXPECT_EQ(events, QStringList{QStringLiteral("connected")});
    EXPECT_EQ(client.messageCount(), 3);
    client.disconnect();

    client.connect();
    EXPECT_TRUE(client.encrypted());
    EXPECT_EQ(server->sessionCount(), 3);
    EXPECT_EQ(client.messageCount(), 3);
    client.disconnect();
}

// A server merely slow to greet in clear text: the TLS try fails at its
// greeting, and a last plain connection, with CAPA sent again, waits the
// whole reply time-out.
TEST_F(ScriptedTls, ServerSlowToGreetInClearTextStillWorks)
{
    start({});
    server->addFault(Pop3Fault::stall("GREETING", 4000).onOccurrence(1));
    client.connect();
    EXPECT_FALSE(client.encrypted());
    EXPECT_EQ(server->sessionCount(), 3);
    EXPECT_EQ(server->receivedVerbs().mid(server->receivedVerbs().size() - 3),
              (QList<QByteArray>{"CAPA", "USER", "PASS"}));
    EXPECT_EQ(client.messageCount(), 3);
    EXPECT_EQ(events, QStringList{QStringLiteral("connected")});
}

// Port 995 alone turns on TLS from the first byte; the handshake itself is
// covered on a high port with the flag (Mode::Implicit), so no test needs
// the privileged port.
TEST(Pop3ImplicitTls, Port995OrTheFlag)
{
    struct Case {
        std::uint16_t port;
        bool flag;
        bool implicit;
    };
    for (const Case c : {Case{995, false, true}, Case{110, false, false}, Case{110, true, true},
                         Case{9950, false, false}}) {
        net::Pop3Client client;
        client.port = c.port;
        client.implicitTls = c.flag;
        EXPECT_EQ(client.usesImplicitTls(), c.implicit) << c.port << ' ' << c.flag;
    }
}

TEST_F(ScriptedTls, ServerWithoutTlsStillGetsThePlainLogin)
{
    start({});
    client.connect();
    EXPECT_FALSE(client.encrypted());
    EXPECT_EQ(server->receivedInClear(), (QList<QByteArray>{"CAPA", "USER user", "PASS secret"}));
    EXPECT_EQ(client.messageCount(), 3);
    client.disconnect();
}

struct CertificateCase {
    const char* name;
    const TestCertificate& (TestCa::*certificate)() const;
    const char* host;
    const char* expectedText;
};

std::ostream& operator<<(std::ostream& os, const CertificateCase& c)
{
    return os << c.name;
}

class ScriptedTlsCertificate : public ScriptedTls,
                               public testing::WithParamInterface<std::tuple<CertificateCase, Mode>> {};

TEST_P(ScriptedTlsCertificate, RefusedWithItsReasonAndNoLoginSent)
{
    const auto& [c, mode] = GetParam();
    ScriptedPop3Options options = tlsOptions((testCa().*c.certificate)(), mode);
    options.ipv6 = QByteArray(c.host) == "::1";
    try {
        start(options);
    } catch (const std::runtime_error& e) {
        GTEST_SKIP() << "no IPv6 loopback here: " << e.what();
    }
    client.host = QString::fromLatin1(c.host);

    const auto error = netError([&] { client.connect(); });
    ASSERT_TRUE(error);
    EXPECT_EQ(*error, QString::fromUtf8(c.expectedText));
    EXPECT_FALSE(client.connected());
    EXPECT_EQ(events, kConnectedAndClosed);
    expectNoLoginSent();
    if (mode == Mode::Stls)
        EXPECT_EQ(server->received(), (QList<QByteArray>{"CAPA", "STLS"}));
    else
        EXPECT_TRUE(server->received().isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ScriptedTlsCertificate,
    testing::Combine(
        testing::Values(
            CertificateCase{"Expired", &TestCa::expired, "127.0.0.1",
                            "Sertifikatet til 127.0.0.1 kan ikke godtas: det er utløpt"},
            CertificateCase{"WrongAddress", &TestCa::wrongName, "127.0.0.1",
                            "Sertifikatet til 127.0.0.1 kan ikke godtas: det gjelder ikke for dette navnet"},
            CertificateCase{"WrongName", &TestCa::wrongName, "localhost",
                            "Sertifikatet til localhost kan ikke godtas: det gjelder ikke for dette navnet"},
            CertificateCase{"WrongIpv6Address", &TestCa::wrongName, "::1",
                            "Sertifikatet til ::1 kan ikke godtas: det gjelder ikke for dette navnet"},
            CertificateCase{"UnknownIssuer", &TestCa::unknownIssuer, "127.0.0.1",
                            "Sertifikatet til 127.0.0.1 kan ikke godtas: utstederen er ukjent"},
            CertificateCase{"UnknownIssuerSentAlong", &TestCa::unknownIssuerWithRoot, "localhost",
                            "Sertifikatet til localhost kan ikke godtas: utstederen er ukjent"},
            CertificateCase{"SelfSigned", &TestCa::selfSigned, "127.0.0.1",
                            "Sertifikatet til 127.0.0.1 kan ikke godtas: utstederen er ukjent"}),
        testing::Values(Mode::Stls, Mode::Implicit)),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + modeName(std::get<1>(info.param));
    });

// The good certificate under each name it carries.
TEST_F(ScriptedTls, GoodCertificateIsAcceptedUnderEachOfItsNames)
{
    for (const char* host : {"127.0.0.1", "localhost", "::1"}) {
        SCOPED_TRACE(host);
        ScriptedPop3Options options = tlsOptions(testCa().good(), Mode::Stls);
        options.ipv6 = QByteArray(host) == "::1";
        try {
            start(options);
        } catch (const std::runtime_error& e) {
            std::cerr << "skipped " << host << ": " << e.what() << std::endl;
            continue;
        }
        client.host = QString::fromLatin1(host);
        client.connect();
        EXPECT_TRUE(client.encrypted());
        client.disconnect();
    }
}

// Out of the box only the system's roots count.
TEST_F(ScriptedTls, WithoutTheTestRootTheCertificateIsUnknown)
{
    net::setExtraTrustedCaFile({});
    start(tlsOptions(testCa().good(), Mode::Implicit));
    EXPECT_EQ(netError([&] { client.connect(); }),
              QStringLiteral("Sertifikatet til 127.0.0.1 kan ikke godtas: utstederen er ukjent"));
}

// Another part of the program may register a handler that lets every
// certificate through; a refused certificate stays refused.
TEST_F(ScriptedTls, LenientHandlerElsewhereDoesNotLetARefusedCertificateThrough)
{
    net::initializeTls();
    using Handler = Poco::Net::InvalidCertificateHandler;
    Poco::Net::AcceptCertificateHandler lenient(false);
    const Poco::Delegate<Handler, Poco::Net::VerificationErrorArgs> delegate(&lenient, &Handler::onInvalidCertificate);
    struct Registration {
        const Poco::Delegate<Handler, Poco::Net::VerificationErrorArgs>& d;
        Registration(const Poco::Delegate<Handler, Poco::Net::VerificationErrorArgs>& d)
            : d(d)
        {
            Poco::Net::SSLManager::instance().ClientVerificationError += d;
        }
        ~Registration() { Poco::Net::SSLManager::instance().ClientVerificationError -= d; }
    } registration(delegate);

    start(tlsOptions(testCa().expired(), Mode::Stls));
    EXPECT_EQ(netError([&] { client.connect(); }),
              QStringLiteral("Sertifikatet til 127.0.0.1 kan ikke godtas: det er utløpt"));
    expectNoLoginSent();
}

// STLS offered but not carried out: never a fall-back to the clear login.
struct StlsFailure {
    const char* name;
    Pop3Fault fault;
    const char* expectedText;
};

std::ostream& operator<<(std::ostream& os, const StlsFailure& c)
{
    return os << c.name;
}

class ScriptedStlsFailure : public ScriptedTls, public testing::WithParamInterface<StlsFailure> {};

TEST_P(ScriptedStlsFailure, ClosesWithoutTheLogin)
{
    start(tlsOptions(testCa().good(), Mode::Stls));
    server->addFault(GetParam().fault);
    client.timeouts.replyMs = 300;

    const auto error = netError([&] { client.connect(); });
    ASSERT_TRUE(error);
    EXPECT_THAT(error->toStdString(), HasSubstr(GetParam().expectedText));
    EXPECT_FALSE(client.connected());
    EXPECT_EQ(events, kConnectedAndClosed);
    expectNoLoginSent();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ScriptedStlsFailure,
    testing::Values(
        StlsFailure{"Refused", Pop3Fault::error("STLS", "[SYS/TEMP] ikke nå"),
                    "127.0.0.1 kunne ikke starte kryptering (STLS): [SYS/TEMP] ikke nå"},
        StlsFailure{"RefusedWithoutText", Pop3Fault::reply("STLS", "-ERR"),
                    "127.0.0.1 kunne ikke starte kryptering (STLS): avvist"},
        // Text after the "+OK" in clear text could come from anyone on the way.
        StlsFailure{"DataAfterTheAnswer", Pop3Fault::reply("STLS", "+OK\r\n+OK lurt"),
                    "Ugyldig svar fra 127.0.0.1: mer data etter svaret på STLS"},
        StlsFailure{"DroppedAfterStls", Pop3Fault::drop("STLS"), "Forbindelsen til 127.0.0.1 ble brutt"}),
    [](const auto& info) { return std::string(info.param.name); });

// Implicit TLS against something that does not speak it.
TEST_F(ScriptedTls, ImplicitTlsAgainstAServerWithoutTlsFails)
{
    struct Case {
        const char* name;
        std::optional<Pop3Fault> fault;
        const char* expectedText;
    };
    const Case cases[] = {
        // Its clear-text greeting is no TLS record.
        {"greets in clear", std::nullopt, "TLS-forhandlingen med 127.0.0.1 mislyktes: "},
        {"never answers", Pop3Fault::stall("GREETING"), "Tidsavbrudd under TLS-forhandlingen med 127.0.0.1:{port}"},
        // A handshake record of 100 bytes, 40 ms a byte: each wait is short,
        // but the handshake as a whole runs out of time before the record
        // is complete (and would fail on it afterwards).
        {"trickles", Pop3Fault::trickle("GREETING", 40, QByteArray("\x16\x03\x03\x00\x64", 5) + QByteArray(100, 'x')),
         "Tidsavbrudd under TLS-forhandlingen med 127.0.0.1:{port}"},
        {"hangs up", Pop3Fault::drop("GREETING"), "Forbindelsen til 127.0.0.1 ble brutt under TLS-forhandlingen"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        events.clear();
        start({});
        if (c.fault)
            server->addFault(*c.fault);
        client.implicitTls = true;
        client.timeouts = {1000, 300};
        const auto error = netError([&] { client.connect(); });
        ASSERT_TRUE(error);
        EXPECT_THAT(error->toStdString(), HasSubstr(withPort(c.expectedText, server->port()).toStdString()));
        EXPECT_FALSE(client.connected());
        EXPECT_EQ(events, kConnectedAndClosed);
        expectNoLoginSent();
    }
}

// A TLS session that breaks or stalls later: thrown, closed, and the program
// lives on (a write to the reset connection raises SIGPIPE unless blocked).
struct TlsBreak {
    const char* name;
    Pop3Fault fault;
    const char* expectedText;
};

std::ostream& operator<<(std::ostream& os, const TlsBreak& c)
{
    return os << c.name;
}

// SIGPIPE deliverable on this thread for the test's length. Poco blocks it
// in the thread that loads it; an application thread may well not have it
// blocked.
class SigpipeUnblocked {
public:
    SigpipeUnblocked()
    {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_UNBLOCK, &pipe, &m_previous);
    }
    ~SigpipeUnblocked() { pthread_sigmask(SIG_SETMASK, &m_previous, nullptr); }
    SigpipeUnblocked(const SigpipeUnblocked&) = delete;
    SigpipeUnblocked& operator=(const SigpipeUnblocked&) = delete;

private:
    sigset_t m_previous;
};

class ScriptedTlsBreak : public ScriptedTls, public testing::WithParamInterface<TlsBreak> {};

TEST_P(ScriptedTlsBreak, ThrowsClosesAndTheNextSessionWorks)
{
    const SigpipeUnblocked deliverable;
    start(tlsOptions(testCa().good(), Mode::Stls));
    server->addFault(GetParam().fault.onOccurrence(1));
    client.timeouts.replyMs = 300;
    client.connect();

    const auto error = netError([&] { client.messageCount(); });
    ASSERT_TRUE(error);
    EXPECT_EQ(*error, withPort(GetParam().expectedText, server->port()));
    EXPECT_FALSE(client.connected());
    EXPECT_EQ(events, kConnectedAndClosed);

    client.timeouts.replyMs = 20000;
    client.connect();
    EXPECT_TRUE(client.encrypted());
    EXPECT_EQ(client.messageCount(), 3);
    client.disconnect();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ScriptedTlsBreak,
    testing::Values(
        TlsBreak{"Reset", Pop3Fault::reset("STAT"), "Forbindelsen til 127.0.0.1 ble brutt"},
        TlsBreak{"Drop", Pop3Fault::drop("STAT"), "Forbindelsen til 127.0.0.1 ble brutt"},
        TlsBreak{"Stall", Pop3Fault::stall("STAT"),
                 "Tidsavbrudd: ingen svar fra 127.0.0.1:{port} innen 300 millisekunder"}),
    [](const auto& info) { return std::string(info.param.name); });

// The TLS module on its own, as the FTPS client will use it.
class TlsModule : public ScriptedTls {};

TEST_F(TlsModule, SecondConnectionResumesTheSessionOfTheFirst)
{
    start(tlsOptions(testCa().good(), Mode::Implicit));
    const Poco::Net::SocketAddress address("127.0.0.1", server->port());
    const net::Timeouts timeouts{5000, 5000};
    auto readLine = [](Poco::Net::StreamSocket& s) {
        QByteArray line;
        char c = 0;
        while (!line.endsWith('\n') && s.receiveBytes(&c, 1) == 1)
            line += c;
        return line;
    };

    Poco::Net::SecureStreamSocket first = net::connectTls(address, QStringLiteral("127.0.0.1"), timeouts);
    EXPECT_FALSE(first.sessionWasReused());
    // Reading the greeting takes in the session tickets the server sent.
    EXPECT_EQ(readLine(first), "+OK POP3 server ready\r\n");
    // The scripted server serves one session at a time; QUIT ends this one
    // on its side while the client keeps its TLS state.
    first.sendBytes("QUIT\r\n", 6);
    EXPECT_EQ(readLine(first), "+OK bye\r\n");

    Poco::Net::StreamSocket plain(address);
    plain.setReceiveTimeout(Poco::Timespan(5, 0));
    Poco::Net::SecureStreamSocket second = net::startTls(plain, QStringLiteral("127.0.0.1"), &first);
    EXPECT_TRUE(second.sessionWasReused());
    EXPECT_EQ(readLine(second), "+OK POP3 server ready\r\n");
    second.sendBytes("QUIT\r\n", 6);
    EXPECT_EQ(readLine(second), "+OK bye\r\n");
}

TEST_F(TlsModule, ConnectTlsNamesHostAndPortWhenNothingListens)
{
    start({});
    const std::uint16_t port = server->port();
    server->stop();
    const auto error = netError([&] {
        net::connectTls(Poco::Net::SocketAddress("127.0.0.1", port), QStringLiteral("127.0.0.1"), {5000, 5000});
    });
    ASSERT_TRUE(error);
    EXPECT_THAT(error->toStdString(), HasSubstr("Kan ikke koble til 127.0.0.1:" + std::to_string(port) + ": "));
}

// Against Dovecot: STLS on its POP3 port, TLS from the first byte on its
// POP3S port.
class DovecotPop3Tls : public testing::TestWithParam<Mode> {
protected:
    void SetUp() override
    {
        if (!DovecotServer::available())
            GTEST_SKIP() << DovecotServer::binaryPath().toStdString()
                         << " is not installed (Debian package dovecot-pop3d)";
        net::setExtraTrustedCaFile(testCa().caFile());
    }

    void TearDown() override
    {
        net::setExtraTrustedCaFile({});
        if (HasFailure() && server)
            std::cerr << "--- Dovecot log ---\n" << server->log().toStdString() << std::endl;
    }

    void start(const TestCertificate& cert)
    {
        server = std::make_unique<DovecotServer>(messages(3),
                                                 testsupport::DovecotTls{cert.certificateFile, cert.keyFile});
    }

    std::unique_ptr<Pop3Client> client() const
    {
        auto c = std::make_unique<Pop3Client>();
        c->host = server->host();
        c->implicitTls = GetParam() == Mode::Implicit;
        c->port = GetParam() == Mode::Stls ? server->port() : server->tlsPort();
        c->user = server->user();
        c->password = server->password();
        c->timeouts = {5000, 10000};
        return c;
    }

    std::unique_ptr<DovecotServer> server;
};

TEST_P(DovecotPop3Tls, GoodCertificateLogsInOverTls)
{
    start(testCa().good());
    auto c = client();
    c->connect();
    EXPECT_TRUE(c->encrypted());
    EXPECT_FALSE(c->capabilities().contains(QStringLiteral("STLS")));
    EXPECT_TRUE(c->capabilities().contains(QStringLiteral("UIDL")));
    ASSERT_EQ(c->messageCount(), 3);
    EXPECT_EQ(c->retrieveHeader(3), headerOf(messages(3).at(2)));
    c->disconnect();
    // Dovecot marks a login made over TLS.
    const QList<QByteArray> logins = server->logLines({"pop3-login: Info: Login: user=<kari>"}, 1);
    ASSERT_EQ(logins.size(), 1);
    EXPECT_TRUE(logins.first().contains(", TLS")) << logins.first().toStdString();
}

TEST_P(DovecotPop3Tls, RefusedCertificatesStopBeforeTheLogin)
{
    struct Case {
        const TestCertificate& cert;
        const char* expectedText;
    };
    const Case cases[] = {
        {testCa().expired(), "Sertifikatet til 127.0.0.1 kan ikke godtas: det er utløpt"},
        {testCa().unknownIssuer(), "Sertifikatet til 127.0.0.1 kan ikke godtas: utstederen er ukjent"},
        {testCa().wrongName(), "Sertifikatet til 127.0.0.1 kan ikke godtas: det gjelder ikke for dette navnet"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.expectedText);
        start(k.cert);
        auto c = client();
        EXPECT_EQ(netError([&] { c->connect(); }), QString::fromUtf8(k.expectedText));
        EXPECT_FALSE(c->connected());
        // The server saw the handshake fail and no login attempt of any kind.
        EXPECT_EQ(server->logLines({"no auth attempts", "TLS handshaking"}, 1).size(), 1);
        const QByteArray log = server->log();
        EXPECT_FALSE(log.contains("user=<kari>")) << log.toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, DovecotPop3Tls, testing::Values(Mode::Stls, Mode::Implicit),
                         [](const auto& info) { return std::string(modeName(info.param)); });

// Dovecot's POP3S port without the flag: found out, and the session goes
// over TLS.
class DovecotPop3TlsFound : public DovecotPop3Tls {};

TEST_P(DovecotPop3TlsFound, LogsInOverTls)
{
    start(testCa().good());
    auto c = client();
    c->connect();
    EXPECT_TRUE(c->encrypted());
    ASSERT_EQ(c->messageCount(), 3);
    c->disconnect();
    const QList<QByteArray> logins = server->logLines({"pop3-login: Info: Login: user=<kari>"}, 1);
    ASSERT_EQ(logins.size(), 1);
    EXPECT_TRUE(logins.first().contains(", TLS")) << logins.first().toStdString();
}

INSTANTIATE_TEST_SUITE_P(Modes, DovecotPop3TlsFound, testing::Values(Mode::Found),
                         [](const auto& info) { return std::string(modeName(info.param)); });

} // namespace
