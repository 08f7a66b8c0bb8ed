// The FTP client against the scripted server (commands on the wire, replies,
// refusals, broken transfers) and against a real pyftpdlib server (passive
// and active data connections, binary integrity, explicit FTPS with
// certificates from the test CA).
#include "ftpclient.h"
#include "ftpserver.h"
#include "neterrortext.h"
#include "scriptedftpserver.h"
#include "testca.h"
#include "termination.h"
#include "tls.h"

#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>

#include <QBuffer>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <thread>
#include <ostream>

using net::FtpClient;
using net::NetError;
using testing::HasSubstr;
using testing::Not;
using testsupport::FtpServer;
using testsupport::FtpServerOptions;
using testsupport::ScriptedFtpServer;
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
using testsupport::str;

template <class T>
auto operator<<(std::ostream& os, const T& c) -> decltype(c.name, os)
{
    return os << c.name;
}

// Every byte value, line ends of every kind and a "." at a line start: what
// an ASCII transfer or a careless client would change.
QByteArray binaryContent(int size)
{
    QByteArray b;
    b.reserve(size);
    for (int i = 0; b.size() < size; ++i) {
        b.append(char(i % 256));
        if (i % 97 == 0)
            b.append("\r\n.\n\r");
    }
    b.truncate(size);
    return b;
}

QByteArray fetch(FtpClient& client, const QString& path, qint64* count = nullptr)
{
    QBuffer sink;
    sink.open(QIODevice::WriteOnly);
    const qint64 n = client.retrieve(path, sink);
    if (count)
        *count = n;
    return sink.data();
}

void send(FtpClient& client, const QByteArray& content, const QString& path)
{
    QByteArray copy = content;
    QBuffer source(&copy);
    source.open(QIODevice::ReadOnly);
    EXPECT_EQ(client.store(source, path), content.size());
}

class FtpClientTest : public testing::Test {
protected:
    FtpClientTest()
    {
        client.host = QStringLiteral("127.0.0.1");
        client.port = server.port();
        client.user = QStringLiteral("ola");
        client.password = QStringLiteral("hemmelig");
        client.timeouts = {5000, 20000};
        client.onConnected = [this] { events.append(QStringLiteral("connected")); };
        client.onDisconnected = [this] { events.append(QStringLiteral("disconnected")); };
        client.onWork = [this](qint64 n) { work.append(n); };
    }

    QString hostPort() const { return QStringLiteral("127.0.0.1:%1").arg(server.port()); }

    ScriptedFtpServer server;
    FtpClient client;
    QStringList events;
    QList<qint64> work;
};

const QStringList kConnected{QStringLiteral("connected")};
const QStringList kConnectedAndClosed{QStringLiteral("connected"), QStringLiteral("disconnected")};

TEST_F(FtpClientTest, DownloadSessionSendsTheCommandsInOrderAndReportsRunningTotals)
{
    const QByteArray content = binaryContent(200000);
    server.setFile("inn/priser.bin", content);

    client.connect();
    EXPECT_EQ(events, kConnected);
    EXPECT_EQ(client.size(QStringLiteral("inn/priser.bin")), content.size());
    qint64 count = 0;
    EXPECT_EQ(fetch(client, QStringLiteral("inn/priser.bin"), &count), content);
    EXPECT_EQ(count, content.size());
    EXPECT_TRUE(client.lastTransferPassive());
    client.disconnect();

    EXPECT_EQ(server.received(), (QList<QByteArray>{"USER ola", "PASS ***", "TYPE I", "SIZE inn/priser.bin", "EPSV",
                                                    "RETR inn/priser.bin", "QUIT"}));
    EXPECT_EQ(events, kConnectedAndClosed);
    ASSERT_FALSE(work.isEmpty());
    EXPECT_EQ(work.last(), content.size());
    EXPECT_TRUE(std::is_sorted(work.begin(), work.end()));
    EXPECT_GT(work.first(), 0);
}

TEST_F(FtpClientTest, UploadStoresEveryByteAndCountsUpToTheSize)
{
    const QByteArray content = binaryContent(150000);
    client.connect();
    send(client, content, QStringLiteral("ut/data.bin"));
    send(client, QByteArray(), QStringLiteral("tom.txt"));
    client.disconnect();

    EXPECT_EQ(server.file("ut/data.bin"), content);
    EXPECT_EQ(server.file("tom.txt"), QByteArray());
    ASSERT_FALSE(work.isEmpty());
    EXPECT_EQ(work.last(), content.size()); // nothing reported for the empty file
    EXPECT_EQ(server.receivedVerbs(),
              (QList<QByteArray>{"USER", "PASS", "TYPE", "EPSV", "STOR", "EPSV", "STOR", "QUIT"}));
}

TEST_F(FtpClientTest, MultiLineRepliesAreReadToTheirEnd)
{
    server.setReply("GREETING", "220-Velkommen til\r\n   tjeneren for priser\r\n220 Klar.");
    server.setReply("TYPE", "200-Type I\r\n200 OK.");
    server.setFile("a.txt", "abc");
    client.connect();
    EXPECT_EQ(client.size(QStringLiteral("a.txt")), 3);
}

TEST_F(FtpClientTest, PasvIsUsedWhenEpsvIsRefused)
{
    server.setReply("EPSV", "500 EPSV ukjent.");
    server.setFile("a.txt", "abc");
    client.connect();
    EXPECT_EQ(fetch(client, QStringLiteral("a.txt")), QByteArray("abc"));
    EXPECT_TRUE(client.lastTransferPassive());
    EXPECT_THAT(server.receivedVerbs(), testing::ElementsAre("USER", "PASS", "TYPE", "EPSV", "PASV", "RETR"));
}

// A PASV reply may name any address: a server behind NAT names one of its
// own network, a hostile one a third party. The data connection goes to the
// address the control connection reached, at the port the reply names.
TEST_F(FtpClientTest, PassiveReplyNamingAnotherAddressIsFollowedOnlyForItsPort)
{
    server.setReply("EPSV", "500 EPSV ukjent.");
    server.setFile("a.txt", "abc");
    client.dataMode = FtpClient::DataMode::Passive;
    client.connect();
    for (const char* named : {"192,0,2,1", "10,1,2,3", "127,0,0,2"}) {
        SCOPED_TRACE(named);
        server.setPassiveHost(named);
        EXPECT_EQ(fetch(client, QStringLiteral("a.txt")), QByteArray("abc"));
        EXPECT_TRUE(client.lastTransferPassive());
    }
    EXPECT_EQ(server.receivedVerbs().count("PASV"), 3);
}

// A multi-line reply whose every line comes well within the reply time-out
// (ten bytes at most, 15 ms a byte), but whose whole takes twice as long,
// ends at the time-out: it counts for the reply, not for each line.
TEST_F(FtpClientTest, ATricklingMultiLineReplyEndsAtTheReplyTimeOut)
{
    const struct {
        const char* verb;
        QByteArray reply;
        std::function<void()> act;
    } cases[] = {
        {"GREETING", "220-Hei\r\n220-og\r\n220-vel\r\n220-kom\r\n220 Klar", [this] { client.connect(); }},
        {"SIZE", "213-Fil\r\n213-en\r\n213-er\r\n213-kort\r\n213 3",
         [this] {
             client.connect();
             client.size(QStringLiteral("a.txt"));
         }},
    };
    client.timeouts = {5000, 300};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.verb);
        server.setReply(c.verb, c.reply);
        server.trickleReply(c.verb, 15);
        const auto error = netError(c.act);
        EXPECT_EQ(str(error.value_or(QStringLiteral("ingen feil"))),
                  str(QStringLiteral("Tidsavbrudd: ingen svar fra %1 innen 300 millisekunder").arg(hostPort())));
        EXPECT_FALSE(client.connected());
        server.trickleReply(c.verb, 0);
    }
}

struct SizeCase {
    const char* name;
    QByteArray reply; // empty: the server's own answer for a 5-byte file
    qint64 expected;
};

class FtpSizeTest : public FtpClientTest, public testing::WithParamInterface<SizeCase> {};

TEST_P(FtpSizeTest, OnlyA213GivesASize)
{
    server.setFile("fil.txt", "12345");
    if (!GetParam().reply.isEmpty())
        server.setReply("SIZE", GetParam().reply);
    client.connect();
    EXPECT_EQ(client.size(QStringLiteral("fil.txt")), GetParam().expected);
    EXPECT_TRUE(client.connected());
}

INSTANTIATE_TEST_SUITE_P(Cases, FtpSizeTest,
                         testing::Values(SizeCase{"Plain", {}, 5},
                                         SizeCase{"ThreeGiB", "213 3221225472", 3221225472LL},
                                         SizeCase{"AboveFourGiB", "213 5000000000", 5000000000LL},
                                         SizeCase{"NotFound", "550 Finnes ikke.", -1},
                                         SizeCase{"NotImplemented", "502 Ukjent kommando.", -1},
                                         SizeCase{"OtherPositive", "200 5", -1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FtpClientTest, A213WithoutANumberClosesTheConnection)
{
    server.setReply("SIZE", "213 mange");
    client.connect();
    const auto error = netError([&] { client.size(QStringLiteral("fil.txt")); });
    ASSERT_TRUE(error);
    EXPECT_EQ(*error, QStringLiteral("Ugyldig svar på SIZE fra %1: «213 mange»").arg(hostPort()));
    EXPECT_FALSE(client.connected());
    EXPECT_EQ(events, kConnectedAndClosed);
}

struct LoginCase {
    const char* name;
    QByteArray verb;
    QByteArray reply;
    const char* reason;
};

class FtpLoginTest : public FtpClientTest, public testing::WithParamInterface<LoginCase> {};

TEST_P(FtpLoginTest, ARefusalClosesTheConnectionAndNamesHostAndReason)
{
    const LoginCase& c = GetParam();
    server.setReply(c.verb, c.reply);
    const auto error = netError([&] { client.connect(); });
    ASSERT_TRUE(error);
    EXPECT_THAT(str(*error), HasSubstr(str(hostPort())));
    EXPECT_THAT(str(*error), HasSubstr(c.reason));
    EXPECT_THAT(str(*error), Not(HasSubstr("hemmelig")));
    EXPECT_FALSE(client.connected());
    EXPECT_EQ(events, kConnectedAndClosed);
    EXPECT_FALSE(server.receivedVerbs().contains("QUIT"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FtpLoginTest,
    testing::Values(LoginCase{"Greeting", "GREETING", "421 For mange brukere.", "421 For mange brukere."},
                    LoginCase{"User", "USER", "530 Ukjent bruker.", "530 Ukjent bruker."},
                    // A server that echoes the password does not get it into the text.
                    LoginCase{"Pass", "PASS", "530 Feil passord hemmelig.", "530 Feil passord ***."},
                    LoginCase{"Account", "PASS", "332 Trenger konto.", "konto (ACCT)"},
                    LoginCase{"BinaryType", "TYPE", "504 Bare ASCII.", "504 Bare ASCII."},
                    LoginCase{"Garbage", "GREETING", "SSH-2.0-OpenSSH_9.2", "Ugyldig svar"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FtpClientTest, ConnectionRefusedNamesHostAndPort)
{
    const std::uint16_t deadPort = server.port();
    server.stop();
    const auto error = netError([&] { client.connect(); });
    ASSERT_TRUE(error);
    EXPECT_THAT(str(*error), HasSubstr(str(QStringLiteral("Kan ikke koble til 127.0.0.1:%1").arg(deadPort))));
    EXPECT_FALSE(client.connected());
    EXPECT_TRUE(events.isEmpty());
}

// A transfer that is cut off: with the server's final answer the control
// connection stays usable, without it the client is disconnected.
struct CutCase {
    const char* name;
    bool upload;
    QByteArray finalReply;
    bool staysConnected;
};

class FtpCutTest : public FtpClientTest, public testing::WithParamInterface<CutCase> {};

TEST_P(FtpCutTest, ThrowsAndKeepsTheConnectionOnlyWhenTheServerAnswered)
{
    const CutCase& c = GetParam();
    const QByteArray content = binaryContent(300000);
    server.setFile("stor.bin", content);
    server.cutTransfersAfter(100000, c.finalReply);
    client.connect();
    const auto error = netError([&] {
        if (c.upload)
            send(client, content, QStringLiteral("stor.bin"));
        else
            fetch(client, QStringLiteral("stor.bin"));
    });
    ASSERT_TRUE(error);
    EXPECT_THAT(str(*error), HasSubstr(str(hostPort())));
    EXPECT_THAT(str(*error), HasSubstr("stor.bin"));
    EXPECT_EQ(client.connected(), c.staysConnected);
    if (c.staysConnected) {
        server.cutTransfersAfter(-1, {});
        server.setFile("liten.txt", "ok");
        EXPECT_EQ(fetch(client, QStringLiteral("liten.txt")), QByteArray("ok")) << "the connection is in step";
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, FtpCutTest,
                         testing::Values(CutCase{"DownloadWith426", false, "426 Overføringen ble avbrutt.", true},
                                         CutCase{"DownloadDropped", false, {}, false},
                                         CutCase{"UploadWith426", true, "426 Overføringen ble avbrutt.", true},
                                         CutCase{"UploadDropped", true, {}, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FtpClientTest, RefusedRetrieveLeavesTheConnectionUsable)
{
    client.connect();
    const auto error = netError([&] { fetch(client, QStringLiteral("mangler.txt")); });
    ASSERT_TRUE(error);
    EXPECT_EQ(*error, QStringLiteral("%1 avviste nedlasting av mangler.txt: 550 Finnes ikke.").arg(hostPort()));
    EXPECT_TRUE(client.connected());
    EXPECT_EQ(client.size(QStringLiteral("mangler.txt")), -1);
}

// A server that sends more than the size it announced is cut off there:
// nothing past that size reaches the file, and the session stays in step.
TEST_F(FtpClientTest, DownloadStopsAtTheAnnouncedSize)
{
    server.setFile("stor.bin", binaryContent(3 * 1024 * 1024));
    server.setReply("SIZE", "213 10");
    client.connect();
    ASSERT_EQ(client.size(QStringLiteral("stor.bin")), 10);
    QBuffer sink;
    sink.open(QIODevice::WriteOnly);
    const auto error = netError([&] { client.retrieve(QStringLiteral("stor.bin"), sink); });
    ASSERT_TRUE(error);
    EXPECT_EQ(*error, QStringLiteral("%1 sendte mer enn de 10 bytene den oppga for stor.bin").arg(hostPort()));
    EXPECT_LE(sink.data().size(), 10);
    EXPECT_TRUE(client.connected());
}

// Failures of the control and data connections and of a refused upload,
// each with the text the user sees.
struct FtpFailureCase {
    const char* name;
    std::function<void(ScriptedFtpServer&)> arrange;
    std::function<void(FtpClient&)> act;
    const char* textPart;
    bool staysConnected;
};

class FtpFailureTest : public FtpClientTest, public testing::WithParamInterface<FtpFailureCase> {};

TEST_P(FtpFailureTest, ReportsWhatWentWrong)
{
    server.setFile("fil.bin", binaryContent(200000));
    client.timeouts = {5000, 300};
    client.connect();
    GetParam().arrange(server);
    const auto error = netError([&] { GetParam().act(client); });
    ASSERT_TRUE(error);
    EXPECT_THAT(str(*error), HasSubstr(GetParam().textPart));
    EXPECT_EQ(client.connected(), GetParam().staysConnected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FtpFailureTest,
    testing::Values(
        FtpFailureCase{"ControlReplyTooSlow", [](ScriptedFtpServer& s) { s.delayReply("SIZE", 3000); },
                       [](FtpClient& c) { c.size(QStringLiteral("fil.bin")); },
                       "Tidsavbrudd: ingen svar fra 127.0.0.1", false},
        FtpFailureCase{"DataStalls", [](ScriptedFtpServer& s) { s.pauseTransfersAfter(1000, 3000); },
                       [](FtpClient& c) { fetch(c, QStringLiteral("fil.bin")); }, "Tidsavbrudd: ingen data fra", false},
        FtpFailureCase{"StorRefused", [](ScriptedFtpServer& s) { s.setReply("STOR", "553 Ikke tillatt."); },
                       [](FtpClient& c) { send(c, "x", QStringLiteral("ny.bin")); },
                       "avviste opplasting av ny.bin: 553 Ikke tillatt.", true}),
    [](const auto& info) { return std::string(info.param.name); });

// Shutdown while a download stands still: the wait on the data connection
// ends at once, and the session with it, long before the server goes on.
TEST_F(FtpClientTest, ShutdownEndsAStalledDownload)
{
    server.setFile("fil.bin", binaryContent(200000));
    client.timeouts = {5000, 30000};
    client.connect();
    server.pauseTransfersAfter(1000, 3000);
    std::thread shutdown([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        rt::requestCancel();
    });
    const auto error = netError([&] { fetch(client, QStringLiteral("fil.bin")); });
    shutdown.join();
    rt::clearCancel();
    ASSERT_TRUE(error);
    EXPECT_EQ(str(*error), "Avbrutt fordi programmet avsluttes");
    EXPECT_FALSE(client.connected());
}

// Active mode: a third party on another local address connects to the
// announced port first; only the server's own connection carries the file.
TEST(FtpActiveMode, OnlyTheServerMayOpenTheDataConnection)
{
    Poco::Net::ServerSocket listener(Poco::Net::SocketAddress("127.0.0.1", 0));
    std::thread server([&listener] {
        Poco::Net::StreamSocket control = listener.acceptConnection();
        const auto line = [&] {
            char c = 0;
            std::string out;
            while (control.receiveBytes(&c, 1) == 1 && c != '\n')
                out += c;
            return out;
        };
        const auto say = [&](const std::string& text) { control.sendBytes((text + "\r\n").data(), int(text.size() + 2)); };
        say("220 klar");
        Poco::Net::SocketAddress client;
        for (std::string cmd = line(); !cmd.empty(); cmd = line()) {
            if (cmd.rfind("USER", 0) == 0) {
                say("331 passord");
            } else if (cmd.rfind("PORT ", 0) == 0) {
                int h1, h2, h3, h4, p1, p2;
                std::sscanf(cmd.c_str() + 5, "%d,%d,%d,%d,%d,%d", &h1, &h2, &h3, &h4, &p1, &p2);
                client = Poco::Net::SocketAddress("127.0.0.1", std::uint16_t(p1 * 256 + p2));
                say("200 ok");
            } else if (cmd.rfind("RETR", 0) == 0) {
                say("150 sender");
                // The third party, from 127.0.0.2, is first.
                Poco::Net::StreamSocket intruder(Poco::Net::SocketAddress::IPv4);
                intruder.impl()->bind(Poco::Net::SocketAddress("127.0.0.2", 0), false);
                intruder.connect(client);
                intruder.sendBytes("FALSK", 5);
                Poco::Net::StreamSocket data;
                data.connect(client);
                data.sendBytes("EKTE", 4);
                data.close();
                intruder.close();
                say("226 ferdig");
            } else if (cmd.rfind("QUIT", 0) == 0) {
                say("221 ha det");
                return;
            } else {
                say(cmd.rfind("PASS", 0) == 0 ? "230 inne" : "200 ok");
            }
        }
    });
    FtpClient client;
    client.host = QStringLiteral("127.0.0.1");
    client.port = listener.address().port();
    client.user = QStringLiteral("ola");
    client.password = QStringLiteral("hemmelig");
    client.timeouts = {5000, 20000};
    client.dataMode = FtpClient::DataMode::Active;
    client.connect();
    EXPECT_EQ(fetch(client, QStringLiteral("fil.txt")), QByteArray("EKTE"));
    client.disconnect();
    server.join();
}

TEST_F(FtpClientTest, LineBreaksInANameAreRefusedBeforeAnythingIsSent)
{
    client.connect();
    const auto error = netError([&] { client.size(QStringLiteral("a.txt\r\nDELE b.txt")); });
    ASSERT_TRUE(error);
    EXPECT_THAT(str(*error), HasSubstr("Ugyldig filnavn"));
    EXPECT_EQ(server.receivedVerbs(), (QList<QByteArray>{"USER", "PASS", "TYPE"}));

    client.disconnect();
    client.user = QStringLiteral("ola\r\nDELE x");
    EXPECT_TRUE(netError([&] { client.connect(); }));
    EXPECT_EQ(server.sessionCount(), 1);
}

TEST_F(FtpClientTest, AFailingWorkHandlerAbandonsTheConnection)
{
    server.setFile("a.bin", binaryContent(100000));
    client.onWork = [](qint64) { throw std::runtime_error("stopp"); };
    client.connect();
    EXPECT_THROW(fetch(client, QStringLiteral("a.bin")), std::runtime_error);
    EXPECT_FALSE(client.connected());
    EXPECT_EQ(events, kConnectedAndClosed);
}

// Against pyftpdlib: the real thing for data connections.
class FtpRealServerTest : public testing::Test {
protected:
    void SetUp() override
    {
        if (!FtpServer::available())
            GTEST_SKIP() << "/usr/bin/python3 with pyftpdlib (python3-pyftpdlib) is not installed";
    }

    void configure(FtpClient& client, const FtpServer& server)
    {
        client.host = server.host();
        client.port = server.port();
        client.user = server.user();
        client.password = server.password();
        client.timeouts = {5000, 20000};
    }
};

struct ModeCase {
    const char* name;
    bool brokenPassive;
    FtpClient::DataMode mode;
    bool expectPassive;
};

class FtpDataModeTest : public FtpRealServerTest, public testing::WithParamInterface<ModeCase> {};

TEST_P(FtpDataModeTest, RoundTripIsByteForByte)
{
    const ModeCase& c = GetParam();
    FtpServerOptions options;
    options.brokenPassive = c.brokenPassive;
    FtpServer server(options);
    FtpClient client;
    configure(client, server);
    client.dataMode = c.mode;

    const QByteArray content = binaryContent(300000);
    client.connect();
    send(client, content, QStringLiteral("rundtur.bin"));
    EXPECT_EQ(client.lastTransferPassive(), c.expectPassive);
    EXPECT_EQ(server.readFile(QStringLiteral("rundtur.bin")), content) << server.log().toStdString();
    EXPECT_EQ(client.size(QStringLiteral("rundtur.bin")), content.size());
    EXPECT_EQ(fetch(client, QStringLiteral("rundtur.bin")), content);
    EXPECT_EQ(client.lastTransferPassive(), c.expectPassive);
    client.disconnect();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FtpDataModeTest,
    testing::Values(ModeCase{"Passive", false, FtpClient::DataMode::PassiveFirst, true},
                    ModeCase{"ActiveFallbackWhenPassiveIsBroken", true, FtpClient::DataMode::PassiveFirst, false},
                    ModeCase{"ActiveOnly", false, FtpClient::DataMode::Active, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FtpRealServerTest, PassiveOnlyFailsWhenPassiveIsBroken)
{
    FtpServerOptions options;
    options.brokenPassive = true;
    FtpServer server(options);
    server.writeFile(QStringLiteral("a.txt"), "abc");
    FtpClient client;
    configure(client, server);
    client.dataMode = FtpClient::DataMode::Passive;
    client.connect();
    const auto error = netError([&] { fetch(client, QStringLiteral("a.txt")); });
    ASSERT_TRUE(error);
    EXPECT_THAT(str(*error), HasSubstr("Kan ikke åpne dataforbindelse"));
    EXPECT_TRUE(client.connected());
}

TEST_F(FtpRealServerTest, WrongPasswordIsRefused)
{
    FtpServer server;
    FtpClient client;
    configure(client, server);
    client.password = QStringLiteral("feil-passord");
    const auto error = netError([&] { client.connect(); });
    ASSERT_TRUE(error);
    EXPECT_THAT(str(*error), HasSubstr("Innlogging på 127.0.0.1"));
    EXPECT_THAT(str(*error), HasSubstr("530"));
    EXPECT_THAT(str(*error), Not(HasSubstr("feil-passord")));
}

// ---- Explicit FTPS ----

// The server's reply to AUTH TLS decides: anything but 234 ends the session
// before USER, so nothing of the login goes out in clear text.
struct AuthRefusedCase {
    const char* name;
    QByteArray reply;
    const char* reason;
};

class FtpAuthRefusedTest : public FtpClientTest, public testing::WithParamInterface<AuthRefusedCase> {};

TEST_P(FtpAuthRefusedTest, EndsTheSessionBeforeTheLogin)
{
    const AuthRefusedCase& c = GetParam();
    if (!c.reply.isEmpty())
        server.setReply("AUTH", c.reply);
    client.explicitTls = true;
    const auto error = netError([&] { client.connect(); });
    ASSERT_TRUE(error);
    EXPECT_THAT(str(*error), HasSubstr(str(hostPort())));
    EXPECT_THAT(str(*error), HasSubstr(c.reason));
    EXPECT_FALSE(client.connected());
    EXPECT_EQ(events, kConnectedAndClosed);
    EXPECT_EQ(server.receivedVerbs(), QList<QByteArray>{"AUTH"});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FtpAuthRefusedTest,
    testing::Values(AuthRefusedCase{"NotBeforeLogin", {},
                                    "avviste kryptert forbindelse (AUTH TLS): 530 Ikke logget inn."},
                    AuthRefusedCase{"NotAvailable", "431 TLS er ikke satt opp.",
                                    "AUTH TLS): 431 TLS er ikke satt opp."},
                    AuthRefusedCase{"OtherPositive", "200 Greit.", "AUTH TLS): 200 Greit."},
                    // Bytes after the 234 would be read as if the TLS
                    // connection had carried them.
                    AuthRefusedCase{"DataAfterTheReply", "234 Klar for TLS.\r\n230 Innlogget.",
                                    "data etter svaret på AUTH TLS"}),
    [](const auto& info) { return std::string(info.param.name); });

const TestCa& testCa()
{
    static const TestCa ca;
    return ca;
}

class FtpsTest : public FtpRealServerTest {
protected:
    void SetUp() override
    {
        FtpRealServerTest::SetUp();
        if (IsSkipped())
            return;
        net::setExtraTrustedCaFile(testCa().caFile());
    }
    void TearDown() override { net::setExtraTrustedCaFile({}); }

    static FtpServerOptions tls(const TestCertificate& certificate, bool brokenPassive = false)
    {
        FtpServerOptions options;
        options.tlsCertificateFile = certificate.certificateFile;
        options.tlsKeyFile = certificate.keyFile;
        options.brokenPassive = brokenPassive;
        return options;
    }
};

class FtpsDataModeTest : public FtpsTest, public testing::WithParamInterface<ModeCase> {};

TEST_P(FtpsDataModeTest, LoginAndDataGoOverTlsByteForByte)
{
    const ModeCase& c = GetParam();
    FtpServer server(tls(testCa().good(), c.brokenPassive));
    FtpClient client;
    configure(client, server);
    client.explicitTls = true;
    client.dataMode = c.mode;

    const QByteArray content = binaryContent(300000);
    server.writeFile(QStringLiteral("inn/priser.bin"), binaryContent(70001));
    client.connect();
    // The server requires TLS for both: a transfer at all shows the data
    // connection was protected.
    send(client, content, QStringLiteral("rundtur.bin"));
    EXPECT_EQ(client.lastTransferPassive(), c.expectPassive);
    EXPECT_EQ(server.readFile(QStringLiteral("rundtur.bin")), content) << server.log().toStdString();
    EXPECT_EQ(fetch(client, QStringLiteral("rundtur.bin")), content);
    EXPECT_EQ(fetch(client, QStringLiteral("inn/priser.bin")), binaryContent(70001));
    EXPECT_EQ(client.lastTransferPassive(), c.expectPassive);
    client.disconnect();
    const QList<QByteArray> commands = server.commands();
    EXPECT_EQ(commands.mid(0, 6), (QList<QByteArray>{"AUTH", "USER", "PASS", "PBSZ", "PROT", "TYPE"}));
    ASSERT_FALSE(commands.isEmpty());
    EXPECT_EQ(commands.last(), QByteArray("QUIT"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FtpsDataModeTest,
    testing::Values(ModeCase{"Passive", false, FtpClient::DataMode::PassiveFirst, true},
                    ModeCase{"ActiveFallbackWhenPassiveIsBroken", true, FtpClient::DataMode::PassiveFirst, false},
                    ModeCase{"ActiveOnly", false, FtpClient::DataMode::Active, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FtpsTest, DataConnectionsResumeTheControlSession)
{
    // Refusing any data connection without session reuse, over TLS 1.2.
    FtpServerOptions options = tls(testCa().good());
    options.tlsSessionReuseRequired = true;
    options.tls12Only = true;
    FtpServer server(options);
    FtpClient client;
    configure(client, server);
    client.explicitTls = true;
    client.connect();
    send(client, "Eple;12\r\n", QStringLiteral("priser.txt"));
    EXPECT_EQ(fetch(client, QStringLiteral("priser.txt")), QByteArray("Eple;12\r\n"));
    client.dataMode = FtpClient::DataMode::Active;
    EXPECT_EQ(fetch(client, QStringLiteral("priser.txt")), QByteArray("Eple;12\r\n"));
    client.disconnect();
}

struct CertificateCase {
    const char* name;
    const TestCertificate& (TestCa::*certificate)() const;
    const char* text;
};

class FtpsCertificateTest : public FtpsTest, public testing::WithParamInterface<CertificateCase> {};

TEST_P(FtpsCertificateTest, ARefusedCertificateEndsTheSessionBeforeTheLogin)
{
    const CertificateCase& c = GetParam();
    FtpServer server(tls((testCa().*c.certificate)()));
    FtpClient client;
    configure(client, server);
    client.explicitTls = true;
    int closed = 0;
    client.onDisconnected = [&] { ++closed; };
    const auto error = netError([&] { client.connect(); });
    ASSERT_TRUE(error);
    EXPECT_EQ(*error, QString::fromUtf8(c.text));
    EXPECT_FALSE(client.connected());
    EXPECT_EQ(closed, 1);
    EXPECT_EQ(server.commands(), QList<QByteArray>{"AUTH"}) << "nothing after AUTH TLS, least of all PASS";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FtpsCertificateTest,
    testing::Values(
        CertificateCase{"UnknownIssuer", &TestCa::unknownIssuer,
                        "Sertifikatet til 127.0.0.1 kan ikke godtas: utstederen er ukjent"},
        CertificateCase{"Expired", &TestCa::expired, "Sertifikatet til 127.0.0.1 kan ikke godtas: det er utløpt"},
        CertificateCase{"WrongName", &TestCa::wrongName,
                        "Sertifikatet til 127.0.0.1 kan ikke godtas: det gjelder ikke for dette navnet"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FtpsTest, PlainServerRefusingAuthTlsGetsNoLogin)
{
    FtpServer server;
    FtpClient client;
    configure(client, server);
    client.explicitTls = true;
    const auto error = netError([&] { client.connect(); });
    ASSERT_TRUE(error);
    EXPECT_THAT(str(*error), HasSubstr("avviste kryptert forbindelse (AUTH TLS): 500"));
    EXPECT_EQ(server.commands(), QList<QByteArray>{"AUTH"});
}

TEST_F(FtpsTest, PlainClientIsRefusedByAServerRequiringTls)
{
    // The harness's requirement holds, so the tests above show the client
    // protected its login.
    FtpServer server(tls(testCa().good()));
    FtpClient client;
    configure(client, server);
    const auto error = netError([&] { client.connect(); });
    ASSERT_TRUE(error);
    EXPECT_THAT(str(*error), HasSubstr("550"));
}

} // namespace
