// IMAP over TLS: STARTTLS and TLS from the first byte against the scripted
// server and a real Dovecot, refused certificates, a STARTTLS that fails,
// and when a password may go in clear text.
#include "cleartext.h"
#include "dovecotserver.h"
#include "imapclient.h"
#include "neterrortext.h"
#include "scriptedimapserver.h"
#include "testca.h"
#include "tls.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <optional>
#include <ostream>
#include <thread>

using net::ImapClient;
using net::NetError;
using testing::HasSubstr;
using testsupport::DovecotServer;
using testsupport::ImapFault;
using testsupport::ScriptedImapOptions;
using testsupport::ScriptedImapServer;
using testsupport::TestCa;
using testsupport::TestCertificate;

namespace {

using testsupport::netError;

using Uids = QList<std::uint32_t>;

const TestCa& testCa()
{
    static const TestCa ca;
    return ca;
}

QList<QByteArray> messages(int count)
{
    QList<QByteArray> out;
    for (int i = 1; i <= count; ++i)
        out.append("From: Kari <kari@example.no>\r\nSubject: Melding " + QByteArray::number(i) + "\r\n\r\nHei "
                   + QByteArray::number(i) + "\r\n");
    return out;
}

const QByteArray kPlainLogin = "AUTHENTICATE PLAIN " + QByteArray("\0user\0secret", 12).toBase64();
const QStringList kConnectedAndClosed{QStringLiteral("connected"), QStringLiteral("disconnected")};

// Found: TLS from the first byte on a port the client has no flag for.
enum class Mode { StartTls, Implicit, Found };

const char* modeName(Mode m)
{
    switch (m) {
    case Mode::StartTls: return "StartTls";
    case Mode::Implicit: return "Implicit";
    case Mode::Found: return "Found";
    }
    return "";
}

ScriptedImapOptions tlsOptions(const TestCertificate& cert, Mode mode)
{
    ScriptedImapOptions o;
    o.certificateFile = cert.certificateFile;
    o.keyFile = cert.keyFile;
    o.implicitTls = mode != Mode::StartTls;
    return o;
}

class ScriptedImapTls : public testing::Test {
protected:
    void SetUp() override { net::setExtraTrustedCaFile(testCa().caFile()); }
    void TearDown() override
    {
        net::setExtraTrustedCaFile({});
        net::clearClearTextConsents();
    }

    void start(const ScriptedImapOptions& options, const QList<QByteArray>& mail = messages(3))
    {
        server = std::make_unique<ScriptedImapServer>(options);
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
        EXPECT_FALSE(verbs.contains("LOGIN")) << verbs.join(' ').toStdString();
        EXPECT_FALSE(verbs.contains("AUTHENTICATE")) << verbs.join(' ').toStdString();
        for (const QByteArray& line : server->received()) {
            EXPECT_FALSE(line.contains("secret")) << line.toStdString();
            EXPECT_FALSE(line.contains(QByteArray("secret").toBase64())) << line.toStdString();
        }
    }

    std::unique_ptr<ScriptedImapServer> server;
    ImapClient client;
    QStringList events;
};

TEST_F(ScriptedImapTls, StartTlsBeforeTheLoginAndTheCapabilitiesAskedAgain)
{
    start(tlsOptions(testCa().good(), Mode::StartTls));
    EXPECT_EQ(client.connectAndSearch(true), (Uids{1, 2, 3}));
    EXPECT_TRUE(client.encrypted());
    EXPECT_EQ(server->receivedInClear(), (QList<QByteArray>{"CAPABILITY", "STARTTLS"}));
    EXPECT_EQ(server->received(), (QList<QByteArray>{"CAPABILITY", "STARTTLS", "CAPABILITY", kPlainLogin, "CAPABILITY",
                                                     "EXAMINE INBOX", "UID SEARCH UNSEEN UNDELETED"}));
    // The list from after the handshake, which offers no STARTTLS.
    EXPECT_FALSE(client.hasCapability(QStringLiteral("STARTTLS")));
    client.disconnect();
    EXPECT_FALSE(client.encrypted());
}

// Many headers and a message: answers span many TLS records, some already
// decrypted and waiting inside OpenSSL when the next line is wanted.
TEST_F(ScriptedImapTls, ImplicitTlsCarriesTheWholeSession)
{
    const QList<QByteArray> mail = messages(300);
    start(tlsOptions(testCa().good(), Mode::Implicit), mail);
    const Uids unseen = client.connectAndSearch(false);
    EXPECT_TRUE(client.encrypted());
    EXPECT_TRUE(server->receivedInClear().isEmpty());
    ASSERT_EQ(unseen.size(), mail.size());
    qsizetype n = 0;
    client.fetchHeaders(unseen, [&](std::uint32_t uid, const QByteArray& h) {
        ASSERT_LT(n, mail.size()) << "more headers than asked for";
        EXPECT_EQ(uid, unseen.at(n));
        EXPECT_EQ(h, mail.at(n).left(mail.at(n).indexOf("\r\n\r\n") + 4));
        ++n;
    });
    EXPECT_EQ(n, mail.size());
    QByteArray body;
    ASSERT_TRUE(client.fetchMessage(2, body));
    EXPECT_EQ(body, mail.at(1));
    // IDLE over TLS: the news arrives as a record the wait must notice.
    std::thread deliver([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        server->addMessage(messages(1).first());
    });
    EXPECT_EQ(client.idle(std::chrono::seconds(60)), ImapClient::IdleEnd::Changed);
    deliver.join();
    client.disconnect();
}

// A server that expects TLS from the first byte on a port the client knows
// nothing about: after a few seconds without a greeting the client tries
// TLS on a new connection and carries on there, and from then on starts TLS
// at once.
TEST_F(ScriptedImapTls, TlsFromTheFirstByteIsFoundOnAnyPort)
{
    start(tlsOptions(testCa().good(), Mode::Found));
    client.implicitTls = false;
    client.timeouts = {5000, 60000};
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(client.connectAndSearch(true), (Uids{1, 2, 3}));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30))
        << "waited out the reply time-out";
    EXPECT_TRUE(client.encrypted());
    EXPECT_TRUE(server->receivedInClear().isEmpty());
    // The silent connection and the TLS one; the events know of one.
    EXPECT_EQ(server->sessionCount(), 2);
    EXPECT_EQ(events, QStringList{QStringLiteral("connected")});
    client.disconnect();

    EXPECT_EQ(client.connectAndSearch(true), (Uids{1, 2, 3}));
    EXPECT_TRUE(client.encrypted());
    EXPECT_EQ(server->sessionCount(), 3);
    client.disconnect();
}

// A certificate refused on such a port is the certificate's question, for
// that port.
TEST_F(ScriptedImapTls, CertificateRefusedOnAFoundTlsPortCanBeTrusted)
{
    start(tlsOptions(testCa().selfSigned(), Mode::Found));
    client.implicitTls = false;
    try {
        client.connectAndSearch(true);
        ADD_FAILURE() << "connected";
    } catch (const net::CertificateError& e) {
        EXPECT_EQ(e.text(), QStringLiteral("Sertifikatet til 127.0.0.1 kan ikke godtas: utstederen er ukjent"));
        EXPECT_TRUE(e.trustable());
        EXPECT_EQ(e.port(), server->port());
    }
    EXPECT_FALSE(client.connected());
    EXPECT_EQ(events, kConnectedAndClosed);
    EXPECT_TRUE(server->received().isEmpty());
}

// A server merely slow to greet in clear text: the TLS try fails at its
// greeting, and a last plain connection waits the whole reply time-out.
TEST_F(ScriptedImapTls, ServerSlowToGreetInClearTextStillWorks)
{
    start({});
    server->addFault(ImapFault::stall("GREETING", 4000).onOccurrence(1));
    EXPECT_EQ(client.connectAndSearch(true), (Uids{1, 2, 3}));
    EXPECT_FALSE(client.encrypted());
    EXPECT_EQ(server->sessionCount(), 3);
    EXPECT_EQ(events, QStringList{QStringLiteral("connected")});
}

TEST_F(ScriptedImapTls, LoginDisabledUntilTheSessionIsEncrypted)
{
    ScriptedImapOptions options = tlsOptions(testCa().good(), Mode::StartTls);
    start(options);
    server->setCapabilities({"IMAP4rev1", "LOGINDISABLED", "IDLE"});
    EXPECT_EQ(client.connectAndSearch(true), (Uids{1, 2, 3}));
    EXPECT_EQ(server->receivedInClear(), (QList<QByteArray>{"CAPABILITY", "STARTTLS"}));
    EXPECT_TRUE(server->received().contains("LOGIN \"user\" \"secret\""));
}

struct CertificateCase {
    const char* name;
    const TestCertificate& (TestCa::*certificate)() const;
    const char* expectedText;
    bool trustable;
};

std::ostream& operator<<(std::ostream& os, const CertificateCase& c)
{
    return os << c.name;
}

class ScriptedImapCertificate : public ScriptedImapTls,
                                public testing::WithParamInterface<std::tuple<CertificateCase, Mode>> {};

TEST_P(ScriptedImapCertificate, RefusedWithItsReasonAndNoLoginSent)
{
    const auto& [c, mode] = GetParam();
    start(tlsOptions((testCa().*c.certificate)(), mode));
    try {
        client.connectAndSearch(true);
        ADD_FAILURE() << "connected";
    } catch (const net::CertificateError& e) {
        EXPECT_EQ(e.text(), QString::fromUtf8(c.expectedText));
        EXPECT_EQ(e.trustable(), c.trustable);
        EXPECT_EQ(e.port(), server->port());
    }
    EXPECT_FALSE(client.connected());
    EXPECT_EQ(events, kConnectedAndClosed);
    expectNoLoginSent();
    if (mode == Mode::StartTls)
        EXPECT_EQ(server->received(), (QList<QByteArray>{"CAPABILITY", "STARTTLS"}));
    else
        EXPECT_TRUE(server->received().isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ScriptedImapCertificate,
    testing::Combine(testing::Values(CertificateCase{"Expired", &TestCa::expired,
                                                     "Sertifikatet til 127.0.0.1 kan ikke godtas: det er utløpt", false},
                                     CertificateCase{"WrongName", &TestCa::wrongName,
                                                     "Sertifikatet til 127.0.0.1 kan ikke godtas: det gjelder ikke for "
                                                     "dette navnet",
                                                     false},
                                     CertificateCase{"SelfSigned", &TestCa::selfSigned,
                                                     "Sertifikatet til 127.0.0.1 kan ikke godtas: utstederen er ukjent",
                                                     true}),
                     testing::Values(Mode::StartTls, Mode::Implicit)),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + modeName(std::get<1>(info.param));
    });

// STARTTLS offered but not carried out: never a fall-back to a clear login.
TEST_F(ScriptedImapTls, FailedStartTlsClosesWithoutTheLogin)
{
    const struct {
        const char* name;
        ImapFault fault;
        const char* expectedText;
    } cases[] = {
        {"refused", ImapFault::no("STARTTLS", "[UNAVAILABLE] ikke nå"),
         "127.0.0.1 kunne ikke starte kryptering (STARTTLS): [UNAVAILABLE] ikke nå"},
        {"refused without text", ImapFault::reply("STARTTLS", "{tag} BAD"),
         "127.0.0.1 kunne ikke starte kryptering (STARTTLS): avvist"},
        // Text after the answer in clear text could come from anyone on the way.
        {"data after the answer", ImapFault::reply("STARTTLS", "{tag} OK go ahead\r\n* OK [CAPABILITY IMAP4rev1] lurt"),
         "Ugyldig svar fra 127.0.0.1: mer data etter svaret på STARTTLS"},
        {"dropped", ImapFault::drop("STARTTLS"), "Forbindelsen til 127.0.0.1 ble brutt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        events.clear();
        start(tlsOptions(testCa().good(), Mode::StartTls));
        server->addFault(c.fault);
        client.timeouts.replyMs = 300;
        EXPECT_EQ(netError([&] { client.connectAndSearch(true); }), QString::fromUtf8(c.expectedText));
        EXPECT_FALSE(client.connected());
        EXPECT_EQ(events, kConnectedAndClosed);
        expectNoLoginSent();
    }
}

// A server that is not on this machine (by its name) and offers no
// STARTTLS gets no password without the user's consent, and one that takes
// no login in clear text gets no question either.
TEST_F(ScriptedImapTls, ClearTextNeedsConsentForAServerElsewhere)
{
    start({});
    client.host = QStringLiteral("::ffff:127.0.0.1");
    try {
        client.connectAndSearch(true);
        ADD_FAILURE() << "logged in without consent";
    } catch (const net::ClearTextError& e) {
        EXPECT_EQ(e.text(), QStringLiteral("Vil ikke sende passordet til ::ffff:127.0.0.1 ukryptert: serveren "
                                           "tilbyr ikke STARTTLS"));
        EXPECT_EQ(e.port(), server->port());
    }
    EXPECT_EQ(server->received(), (QList<QByteArray>{"CAPABILITY"}));
    EXPECT_EQ(events, kConnectedAndClosed);

    server->setCapabilities({"IMAP4rev1", "LOGINDISABLED"});
    EXPECT_EQ(netError([&] { client.connectAndSearch(true); }),
              QStringLiteral("::ffff:127.0.0.1 tillater ikke innlogging uten kryptering (LOGINDISABLED) og tilbyr "
                             "ikke STARTTLS"));
    expectNoLoginSent();
}

// Against Dovecot: STARTTLS on its IMAP port, TLS from the first byte on
// its IMAPS port.
class DovecotImapTls : public testing::TestWithParam<Mode> {
protected:
    void SetUp() override
    {
        if (!DovecotServer::imapAvailable())
            GTEST_SKIP() << "Dovecot's IMAP service is not installed (Debian package dovecot-imapd)";
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

    std::unique_ptr<ImapClient> client() const
    {
        auto c = std::make_unique<ImapClient>();
        c->host = server->host();
        c->implicitTls = GetParam() == Mode::Implicit;
        c->port = GetParam() == Mode::StartTls ? server->imapPort() : server->imapsPort();
        c->user = server->user();
        c->password = server->password();
        c->timeouts = {5000, 10000};
        return c;
    }

    std::unique_ptr<DovecotServer> server;
};

TEST_P(DovecotImapTls, GoodCertificateLogsInOverTls)
{
    start(testCa().good());
    auto c = client();
    EXPECT_EQ(c->connectAndSearch(true).size(), 3);
    EXPECT_TRUE(c->encrypted());
    EXPECT_FALSE(c->hasCapability(QStringLiteral("STARTTLS")));
    c->disconnect();
    const QList<QByteArray> logins = server->logLines({"imap-login: Info: Login: user=<kari>"}, 1);
    ASSERT_EQ(logins.size(), 1);
    EXPECT_TRUE(logins.first().contains(", TLS")) << logins.first().toStdString();
}

TEST_P(DovecotImapTls, RefusedCertificateStopsBeforeTheLogin)
{
    start(testCa().expired());
    auto c = client();
    EXPECT_EQ(netError([&] { c->connectAndSearch(true); }),
              QStringLiteral("Sertifikatet til 127.0.0.1 kan ikke godtas: det er utløpt"));
    EXPECT_FALSE(c->connected());
    EXPECT_EQ(server->logLines({"imap-login", "no auth attempts", "TLS handshaking"}, 1).size(), 1);
    EXPECT_FALSE(server->log().contains("user=<kari>"));
}

INSTANTIATE_TEST_SUITE_P(Modes, DovecotImapTls, testing::Values(Mode::StartTls, Mode::Implicit),
                         [](const auto& info) { return std::string(modeName(info.param)); });

// Dovecot's IMAPS port without the flag: found out, and the session goes
// over TLS.
class DovecotImapTlsFound : public DovecotImapTls {};

TEST_P(DovecotImapTlsFound, LogsInOverTls)
{
    start(testCa().good());
    auto c = client();
    EXPECT_EQ(c->connectAndSearch(true).size(), 3);
    EXPECT_TRUE(c->encrypted());
    c->disconnect();
    const QList<QByteArray> logins = server->logLines({"imap-login: Info: Login: user=<kari>"}, 1);
    ASSERT_EQ(logins.size(), 1);
    EXPECT_TRUE(logins.first().contains(", TLS")) << logins.first().toStdString();
}

INSTANTIATE_TEST_SUITE_P(Modes, DovecotImapTlsFound, testing::Values(Mode::Found),
                         [](const auto& info) { return std::string(modeName(info.param)); });

} // namespace
