// Certificates the user chose to trust: a pinned fingerprint lets exactly
// that certificate through at exactly that host and port, and only past an
// unknown issuer.
#include "certtrust.h"
#include "cleartext.h"
#include "errordisplay.h"
#include "fakeplatform.h"
#include "ftpclient.h"
#include "imapclient.h"
#include "inifile.h"
#include "log.h"
#include "pop3client.h"
#include "scriptedftpserver.h"
#include "scriptedimapserver.h"
#include "scriptedpop3server.h"
#include "startup.h"
#include "state.h"
#include "testca.h"
#include "tls.h"
#include "username.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <memory>

namespace {

using net::CertificateError;
using net::CertificatePins;
using testsupport::ScriptedPop3Options;
using testsupport::ScriptedPop3Server;
using testsupport::TestCa;
using testsupport::TestCertificate;

const TestCa& testCa()
{
    static const TestCa ca;
    return ca;
}

// SHA-256 of the first certificate in a PEM file, as the user is shown it.
QString fingerprintOf(const TestCertificate& c)
{
    QFile f(c.certificateFile);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QByteArray pem = f.readAll();
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.constData(), int(pem.size())), BIO_free);
    std::unique_ptr<X509, decltype(&X509_free)> x(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr), X509_free);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    X509_digest(x.get(), EVP_sha256(), digest, &n);
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(digest), int(n)).toHex());
}

class CertificateTrustTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { net::setExtraTrustedCaFile(testCa().caFile()); }
    void TearDown() override
    {
        CertificatePins::instance().clear();
        net::setExtraTrustedCaFile({});
    }
};

TEST_P(CertificateTrustTest, OnlyThePinnedCertificatePassesAnUnknownIssuer)
{
    const bool implicitTls = GetParam();
    const TestCa& ca = testCa();
    struct Case {
        const char* name;
        const TestCertificate& served;
        const TestCertificate* pinned; // nullptr: nothing pinned
        bool connects;
        bool trustable;
        bool changed;
        const char* text;
    } cases[] = {
        {"self-signed, not pinned", ca.selfSigned(), nullptr, false, true, false,
         "Sertifikatet til 127.0.0.1 kan ikke godtas: utstederen er ukjent"},
        {"self-signed, pinned", ca.selfSigned(), &ca.selfSigned(), true, false, false, ""},
        {"unknown root sent along, pinned", ca.unknownIssuerWithRoot(), &ca.unknownIssuerWithRoot(), true, false,
         false, ""},
        {"another certificate than the pinned one", ca.unknownIssuer(), &ca.selfSigned(), false, true, true,
         "Sertifikatet til 127.0.0.1 kan ikke godtas: det er et annet enn det du godtok"},
        {"expired: no trust offered", ca.expired(), nullptr, false, false, false,
         "Sertifikatet til 127.0.0.1 kan ikke godtas: det er utløpt"},
        {"other name: pinning does not help", ca.wrongName(), &ca.wrongName(), false, false, false,
         "Sertifikatet til 127.0.0.1 kan ikke godtas: det gjelder ikke for dette navnet"},
        {"a good certificate needs no pin", ca.good(), nullptr, true, false, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CertificatePins::instance().clear();
        ScriptedPop3Options options;
        options.certificateFile = c.served.certificateFile;
        options.keyFile = c.served.keyFile;
        options.implicitTls = implicitTls;
        ScriptedPop3Server server(options);
        server.setMessages({"Subject: x\r\n\r\nHei\r\n"});
        if (c.pinned)
            CertificatePins::instance().pin(server.host(), server.port(), fingerprintOf(*c.pinned));
        // A pin for the same host on another port changes nothing.
        CertificatePins::instance().pin(server.host(), std::uint16_t(server.port() + 1), fingerprintOf(c.served));

        net::Pop3Client client;
        client.host = server.host();
        client.port = server.port();
        client.implicitTls = implicitTls;
        client.user = QStringLiteral("user");
        client.password = QStringLiteral("secret");
        client.timeouts = {5000, 20000};
        try {
            client.connect();
            EXPECT_TRUE(c.connects);
            EXPECT_EQ(client.messageCount(), 1);
            client.disconnect();
        } catch (const CertificateError& e) {
            EXPECT_FALSE(c.connects) << e.text().toStdString();
            EXPECT_EQ(e.text(), QString::fromUtf8(c.text));
            EXPECT_EQ(e.trustable(), c.trustable);
            EXPECT_EQ(e.changed(), c.changed);
            EXPECT_EQ(e.host(), server.host());
            EXPECT_EQ(e.port(), server.port());
            EXPECT_EQ(e.fingerprint(), fingerprintOf(c.served));
            EXPECT_FALSE(server.receivedVerbs().contains("PASS"));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(StlsAndImplicit, CertificateTrustTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Implicit" : "Stls"; });

TEST(CertificatePinsTest, KeysAndDisplay)
{
    CertificatePins& pins = CertificatePins::instance();
    pins.clear();
    pins.pin(QStringLiteral("Pop.Example.no"), 995, QStringLiteral("AB01"));
    EXPECT_EQ(pins.pinned(QStringLiteral("pop.example.no"), 995), QStringLiteral("ab01"));
    EXPECT_TRUE(pins.pinned(QStringLiteral("pop.example.no"), 110).isEmpty());
    EXPECT_EQ(CertificatePins::key(QStringLiteral("::1"), 995), QStringLiteral("::1/995"));
    EXPECT_EQ(net::displayFingerprint(QStringLiteral("ab01ff")), QStringLiteral("AB:01:FF"));
    pins.clear();
}

// The whole way a user takes: refused, asked, trusted, stored, and trusted
// again after a restart without a question.
class TrustOnRequestTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        QDir::setCurrent(guard.fake.root.path());
        rt::startLog();
        rt::locateSettingsFile();
        net::setExtraTrustedCaFile(testCa().caFile());
        CertificatePins::instance().clear();
    }
    void TearDown() override
    {
        CertificatePins::instance().clear();
        net::setExtraTrustedCaFile({});
    }
    std::unique_ptr<ScriptedPop3Server> serve(const TestCertificate& c)
    {
        ScriptedPop3Options options;
        options.certificateFile = c.certificateFile;
        options.keyFile = c.keyFile;
        auto server = std::make_unique<ScriptedPop3Server>(options);
        server->setMessages({"Subject: x\r\n\r\nHei\r\n"});
        return server;
    }
    // One check as the strip makes it, under the trust question.
    int check(const ScriptedPop3Server& server)
    {
        int count = -1;
        net::withCertificateTrust([&] {
            net::Pop3Client client;
            client.host = server.host();
            client.port = server.port();
            client.user = QStringLiteral("user");
            client.password = QStringLiteral("secret");
            client.timeouts = {5000, 20000};
            client.connect();
            count = client.messageCount();
            client.disconnect();
        });
        return count;
    }
    QString stored(const ScriptedPop3Server& server) const
    {
        return rt::IniFile(rt::state().etcFolder + rt::userName() + QStringLiteral(".INI"))
            .readString(net::kTrustSection, CertificatePins::key(server.host(), server.port()));
    }
    testsupport::RuntimeFixtureGuard guard;
};

TEST_F(TrustOnRequestTest, NoHoldsForTheRunYesStoresAndConnects)
{
    const auto server = serve(testCa().selfSigned());
    const QString fingerprint = fingerprintOf(testCa().selfSigned());

    guard.fake.answers = {false};
    EXPECT_THROW(check(*server), CertificateError);
    ASSERT_EQ(guard.fake.questions.size(), 1);
    const QString question = guard.fake.questions.first().text;
    EXPECT_TRUE(question.startsWith(QStringLiteral("Sertifikatet til 127.0.0.1 kan ikke godtas: utstederen er ukjent.")))
        << question.toStdString();
    EXPECT_TRUE(question.contains(QStringLiteral("127.0.0.1:%1").arg(server->port())));
    EXPECT_TRUE(question.contains(net::displayFingerprint(fingerprint)));
    EXPECT_EQ(guard.fake.questions.first().caption, rt::applicationTitle()) << "titled as the failure box";
    EXPECT_TRUE(stored(*server).isEmpty());

    // The no holds for the rest of the run: the next try fails at once.
    guard.fake.answers = {true};
    EXPECT_THROW(check(*server), CertificateError);
    EXPECT_EQ(guard.fake.questions.size(), 1);

    // Once the user has been to the settings, the question comes again.
    net::forgetServerRefusals();
    EXPECT_EQ(check(*server), 1);
    EXPECT_EQ(guard.fake.questions.size(), 2);
    EXPECT_EQ(stored(*server), fingerprint);

    // After a restart the stored answer holds: no question.
    CertificatePins::instance().clear();
    net::loadTrustedCertificates();
    EXPECT_EQ(check(*server), 1);
    EXPECT_EQ(guard.fake.questions.size(), 2);
}

TEST_F(TrustOnRequestTest, AnotherCertificateAsksAgainAndAnExpiredOneNever)
{
    auto server = serve(testCa().selfSigned());
    guard.fake.answers = {true};
    EXPECT_EQ(check(*server), 1);
    const std::uint16_t port = server->port();

    // Another certificate at the same host and port: refused with its own
    // text, and the question comes again.
    server.reset();
    ScriptedPop3Options options;
    options.certificateFile = testCa().unknownIssuer().certificateFile;
    options.keyFile = testCa().unknownIssuer().keyFile;
    options.port = port;
    server = std::make_unique<ScriptedPop3Server>(options);
    server->setMessages({"Subject: x\r\n\r\nHei\r\n"});
    guard.fake.answers = {false};
    EXPECT_THROW(check(*server), CertificateError);
    ASSERT_EQ(guard.fake.questions.size(), 2);
    EXPECT_TRUE(guard.fake.questions.last().text.contains(QStringLiteral("et annet enn det du godtok")));
    EXPECT_EQ(stored(*server), fingerprintOf(testCa().selfSigned()));

    const auto expired = serve(testCa().expired());
    guard.fake.answers = {true};
    try {
        check(*expired);
        FAIL() << "an expired certificate was accepted";
    } catch (const CertificateError& e) {
        EXPECT_EQ(e.text(), QStringLiteral("Sertifikatet til 127.0.0.1 kan ikke godtas: det er utløpt"));
    }
    EXPECT_EQ(guard.fake.questions.size(), 2) << "no trust offered for an expired certificate";
}


// A log-in in clear text to a server that is not on this machine: refused
// until the user agrees for that server, then stored and kept after a
// restart. "::ffff:127.0.0.1" reaches the test server over the loopback but
// is not a loopback name by its text, which is all the client can judge.
enum class Protocol { Pop3, Imap, Ftp };

struct ClearTextCase {
    const char* name;
    Protocol protocol;
    QString why;
    QByteArray loginVerb; // the command that carries the password
};

class ClearTextOnRequestTest : public TrustOnRequestTest, public testing::WithParamInterface<ClearTextCase> {
protected:
    void TearDown() override
    {
        net::clearClearTextConsents();
        TrustOnRequestTest::TearDown();
    }

    // Connects to the test server of the case's protocol and logs in.
    void login()
    {
        const auto setUp = [](auto& client, std::uint16_t port) {
            client.host = QStringLiteral("::ffff:127.0.0.1");
            client.port = port;
            client.user = QStringLiteral("user");
            client.password = QStringLiteral("secret");
            client.timeouts = {5000, 20000};
        };
        switch (GetParam().protocol) {
        case Protocol::Ftp: {
            net::FtpClient client;
            setUp(client, ftpServer.port());
            client.connect();
            client.disconnect();
            break;
        }
        case Protocol::Pop3: {
            net::Pop3Client client;
            setUp(client, pop3Server.port());
            client.connect();
            EXPECT_EQ(client.messageCount(), 0);
            client.disconnect();
            break;
        }
        case Protocol::Imap: {
            net::ImapClient client;
            setUp(client, imapServer.port());
            EXPECT_TRUE(client.connectAndSearch(true).isEmpty());
            client.disconnect();
            break;
        }
        }
    }
    QList<QByteArray> verbs() const
    {
        switch (GetParam().protocol) {
        case Protocol::Ftp:
            return ftpServer.receivedVerbs();
        case Protocol::Pop3:
            return pop3Server.receivedVerbs();
        case Protocol::Imap:
            return imapServer.receivedVerbs();
        }
        return {};
    }

    ScriptedPop3Server pop3Server;
    testsupport::ScriptedImapServer imapServer;
    testsupport::ScriptedFtpServer ftpServer;
};

TEST_P(ClearTextOnRequestTest, NoKeepsThePasswordForTheRunYesStoresAndLogsIn)
{
    ftpServer.setCredentials("user", "secret");
    guard.fake.answers = {false};
    try {
        net::withClearTextConsent([&] { login(); });
        ADD_FAILURE() << "logged in without consent";
    } catch (const net::ClearTextError& e) {
        EXPECT_EQ(e.text(), QStringLiteral("Vil ikke sende passordet til ::ffff:127.0.0.1 ukryptert: %1")
                                .arg(GetParam().why));
    }
    EXPECT_FALSE(verbs().contains(GetParam().loginVerb));
    EXPECT_FALSE(verbs().contains("USER"));
    ASSERT_EQ(guard.fake.questions.size(), 1);
    EXPECT_TRUE(guard.fake.questions.first().text.contains(QStringLiteral("ukryptert over nettet")));
    EXPECT_EQ(guard.fake.questions.first().caption, rt::applicationTitle()) << "titled as the failure box";
    const rt::IniFile userIni(rt::state().etcFolder + rt::userName() + QStringLiteral(".INI"));
    EXPECT_TRUE(userIni.keys(net::kClearTextSection).isEmpty());

    // The no holds for the rest of the run: the next log-in fails at once
    // with the same refusal, and the password stays here.
    guard.fake.answers = {true};
    EXPECT_THROW(net::withClearTextConsent([&] { login(); }), net::ClearTextError);
    EXPECT_EQ(guard.fake.questions.size(), 1);
    EXPECT_FALSE(verbs().contains("PASS"));

    // Once the user has been to the settings, the question comes again.
    net::forgetServerRefusals();
    net::withClearTextConsent([&] { login(); });
    EXPECT_TRUE(verbs().contains(GetParam().loginVerb));
    EXPECT_EQ(guard.fake.questions.size(), 2);

    // After a restart the stored answer holds: no question.
    net::clearClearTextConsents();
    net::loadTrustedCertificates();
    login();
    EXPECT_EQ(guard.fake.questions.size(), 2);
}

INSTANTIATE_TEST_SUITE_P(Protocols, ClearTextOnRequestTest,
                         testing::Values(ClearTextCase{"Pop3", Protocol::Pop3, QStringLiteral("serveren tilbyr ikke STLS"),
                                                       "PASS"},
                                         ClearTextCase{"Imap", Protocol::Imap,
                                                       QStringLiteral("serveren tilbyr ikke STARTTLS"), "AUTHENTICATE"},
                                         ClearTextCase{"Ftp", Protocol::Ftp,
                                                       QStringLiteral("kryptering (FTPS) er ikke slått på"), "PASS"}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
