// Pop3Client against a real Dovecot POP3 server on the loopback address.
#include "dovecotserver.h"
#include "pop3client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <map>
#include <memory>
#include <thread>
#include <utility>

using testsupport::DovecotServer;

namespace {

QByteArray makeMessage(int n, const QByteArray& from, const QByteArray& subject, const QByteArray& body)
{
    return "Return-Path: <" + from + ">\r\n"
           "Date: Mon, 4 Mar 2024 08:0" + QByteArray::number(n % 10) + ":00 +0100\r\n"
           "Message-ID: <melding-" + QByteArray::number(n) + "@example.no>\r\n"
           "From: " + from + "\r\n"
           "To: Kari Nordmann <kari@example.no>\r\n"
           "Subject: " + subject + "\r\n"
           "MIME-Version: 1.0\r\n"
           "Content-Type: text/plain; charset=UTF-8\r\n"
           "Content-Transfer-Encoding: 8bit\r\n"
           "\r\n" + body;
}

// Three messages; the second one has body lines the server must dot-stuff
// (a lone ".", lines starting with dots) and a folded header line.
QList<QByteArray> standardMessages()
{
    return {
        makeMessage(1, "Ola Hansen <ola@example.no>", "Lunsj i morgen?", "Hei Kari,\r\nblir du med?\r\n"),
        makeMessage(2, "=?UTF-8?Q?=C3=85se_Bj=C3=B8rnstad?= <ase@example.no>",
                    "=?UTF-8?Q?M=C3=B8tereferat?=\r\n =?UTF-8?Q?_fra_fredag?=",
                    "Punkter:\r\n.\r\n..to prikker\r\n.en prikk\r\nHilsen \xC3\x85se\r\n"),
        makeMessage(3, "Per Olsen <per@example.no>", "Faktura 2024-117", "Vedlagt.\r\n"),
    };
}

// The part TOP n 0 returns: the header lines and the empty line after them.
QByteArray headerOf(const QByteArray& message)
{
    const qsizetype end = message.indexOf("\r\n\r\n");
    return end < 0 ? message : message.left(end + 4);
}

class DovecotPop3 : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!DovecotServer::available())
            GTEST_SKIP() << DovecotServer::binaryPath().toStdString()
                         << " is not installed (Debian package dovecot-pop3d)";
    }

    void TearDown() override
    {
        if (HasFailure() && server)
            std::cerr << "--- Dovecot log ---\n" << server->log().toStdString() << std::endl;
    }

    void start(const QList<QByteArray>& messages = standardMessages())
    {
        server = std::make_unique<DovecotServer>(messages);
    }

    std::unique_ptr<net::Pop3Client> client(const QString& password = QString())
    {
        auto c = std::make_unique<net::Pop3Client>();
        c->host = server->host();
        c->port = server->port();
        c->user = server->user();
        c->password = password.isNull() ? server->password() : password;
        c->timeouts.connectMs = 5000;
        c->timeouts.replyMs = 10000;
        return c;
    }

    // The server finishes a session (and its expunge) after the client has
    // gone; its log shows when.
    bool waitForClosedSessions(int count)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (;;) {
            int closed = 0;
            for (const QByteArray& line : server->log().split('\n')) {
                if (line.contains(" pop3(") && line.contains("Info: Disconnected"))
                    ++closed;
            }
            if (closed >= count)
                return true;
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    std::unique_ptr<DovecotServer> server;
};

TEST_F(DovecotPop3, LoginCountsMessagesAndReadsEachHeaderInOrder)
{
    start();
    auto c = client();
    int connectedEvents = 0;
    c->onConnected = [&] { ++connectedEvents; };
    c->connect();
    EXPECT_TRUE(c->connected());
    EXPECT_EQ(connectedEvents, 1);
    EXPECT_TRUE(c->capabilities().contains(QStringLiteral("TOP")));
    EXPECT_TRUE(c->capabilities().contains(QStringLiteral("UIDL")));

    const QList<QByteArray> messages = server->messages();
    ASSERT_EQ(c->messageCount(), messages.size());
    for (int i = 1; i <= messages.size(); ++i) {
        const QByteArray header = c->retrieveHeader(i);
        EXPECT_EQ(header, headerOf(messages.at(i - 1))) << "message " << i;
    }
    c->disconnect();
    EXPECT_FALSE(c->connected());
}

TEST_F(DovecotPop3, RetrieveGivesTheStoredMessageByteForByte)
{
    start();
    auto c = client();
    c->connect();
    const QList<QByteArray> messages = server->messages();
    for (int i = 1; i <= messages.size(); ++i) {
        QByteArray got;
        ASSERT_TRUE(c->retrieveRaw(i, got)) << "message " << i;
        EXPECT_EQ(got, messages.at(i - 1)) << "message " << i;
    }
    // A number past the end is refused without spoiling the session.
    QByteArray none;
    EXPECT_FALSE(c->retrieveRaw(messages.size() + 1, none));
    EXPECT_EQ(c->messageCount(), messages.size());
    c->disconnect();
}

TEST_F(DovecotPop3, UniqueIdsAreDistinctAndAgreeWithSingleLookups)
{
    start();
    auto c = client();
    c->connect();
    const auto ids = c->uniqueIds();
    ASSERT_TRUE(ids.has_value());
    ASSERT_EQ(ids->size(), 3u);
    for (const auto& [n, id] : *ids) {
        EXPECT_FALSE(id.isEmpty());
        EXPECT_EQ(c->uniqueId(n), id) << "message " << n;
    }
    EXPECT_NE(ids->at(1), ids->at(2));
    EXPECT_NE(ids->at(2), ids->at(3));
    EXPECT_NE(ids->at(1), ids->at(3));
    c->disconnect();
}

TEST_F(DovecotPop3, DeleteAndQuitRemovesTheMessage)
{
    start();
    std::map<int, QByteArray> idsBefore;
    {
        auto c = client();
        c->connect();
        ASSERT_EQ(c->messageCount(), 3);
        idsBefore = c->uniqueIds().value();
        c->deleteMessage(2);
        c->disconnect();
    }
    // The server answers QUIT once the message is gone.
    EXPECT_EQ(server->remainingIndexes(), (QList<int>{0, 2}));

    auto c = client();
    c->connect();
    ASSERT_EQ(c->messageCount(), 2);
    EXPECT_EQ(c->retrieveHeader(1), headerOf(server->messages().at(0)));
    EXPECT_EQ(c->retrieveHeader(2), headerOf(server->messages().at(2)));
    // The others keep their unique ids; the new numbering moved them.
    const auto ids = c->uniqueIds();
    ASSERT_TRUE(ids.has_value());
    EXPECT_EQ(*ids, (std::map<int, QByteArray>{{1, idsBefore.at(1)}, {2, idsBefore.at(3)}}));
    c->disconnect();
}

TEST_F(DovecotPop3, DeleteWithoutQuitKeepsTheMessage)
{
    start();
    {
        auto c = client();
        c->connect();
        c->deleteMessage(1);
        // Destroyed without disconnect(): the socket closes without QUIT, so
        // the server must not leave its transaction state.
    }
    ASSERT_TRUE(waitForClosedSessions(1)) << "the server did not end the session";
    EXPECT_EQ(server->remainingIndexes(), (QList<int>{0, 1, 2}));

    auto c = client();
    c->connect();
    EXPECT_EQ(c->messageCount(), 3);
    c->disconnect();
}

TEST_F(DovecotPop3, RejectedLoginThrowsAndReportsTheDisconnect)
{
    start();
    struct Case {
        const char* what;
        QString user;
        QString password;
    };
    const Case cases[] = {
        {"wrong password", server->user(), QStringLiteral("feil-passord")},
        {"unknown user", QStringLiteral("ukjent"), server->password()},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        auto c = client(k.password);
        c->user = k.user;
        int connectedEvents = 0;
        int disconnectedEvents = 0;
        c->onConnected = [&] { ++connectedEvents; };
        c->onDisconnected = [&] { ++disconnectedEvents; };
        try {
            c->connect();
            ADD_FAILURE() << "login accepted";
        } catch (const net::NetError& e) {
            // Dovecot's own reply text reaches the user.
            EXPECT_TRUE(e.text().contains(QStringLiteral("Authentication failed"))) << e.text().toStdString();
            EXPECT_FALSE(e.text().contains(k.password)) << e.text().toStdString();
        }
        EXPECT_FALSE(c->connected());
        EXPECT_EQ(connectedEvents, 1);
        EXPECT_EQ(disconnectedEvents, 1);
    }

    // The server still serves the right account afterwards.
    auto c = client();
    c->connect();
    EXPECT_EQ(c->messageCount(), 3);
    c->disconnect();
}

// Dovecot lists SASL PLAIN: the log-in is AUTH PLAIN, in one write with
// STAT and UIDL where pipelining is allowed, alone where not. A wrong
// password is refused with Dovecot's words and shows in no form. The
// session ends without waiting for QUIT's answer, and Dovecot still takes
// the QUIT ("Logged out", not a dropped connection).
TEST_F(DovecotPop3, CountedLogInWithAndWithoutPipelining)
{
    for (const bool pipelining : {true, false}) {
        SCOPED_TRACE(pipelining ? "pipelined" : "one command at a time");
        start();

        auto c = client();
        c->allowPipelining = pipelining;
        c->connect(net::Pop3Client::AfterLogin::Count);
        ASSERT_TRUE(c->capabilities().contains(QStringLiteral("PIPELINING")));
        ASSERT_TRUE(c->capabilities().contains(QStringLiteral("SASL")));
        const QList<QByteArray> messages = server->messages();
        ASSERT_EQ(c->messageCount(), messages.size());
        const auto ids = c->uniqueIds();
        ASSERT_TRUE(ids);
        ASSERT_EQ(ids->size(), 3u);
        // The session is in step after the answers read with the log-in.
        EXPECT_EQ(c->uniqueId(2), ids->at(2));
        QList<QByteArray> got;
        c->retrieveHeaders(1, 3, [&](int, const QByteArray& h) { got.append(h); });
        EXPECT_EQ(got, (QList<QByteArray>{headerOf(messages.at(0)), headerOf(messages.at(1)),
                                          headerOf(messages.at(2))}));
        c->quitWithoutWaiting();
        EXPECT_FALSE(c->connected());
        ASSERT_TRUE(waitForClosedSessions(1));
        EXPECT_TRUE(server->log().contains("Disconnected: Logged out")) << "QUIT did not reach the server";

        const QString wrong = QStringLiteral("feil-passord");
        auto refused = client(wrong);
        refused->allowPipelining = pipelining;
        try {
            refused->connect(net::Pop3Client::AfterLogin::Count);
            ADD_FAILURE() << "login accepted";
        } catch (const net::NetError& e) {
            const std::string text = e.text().toStdString();
            EXPECT_TRUE(e.text().startsWith(QStringLiteral("Serveren avviste innloggingen: "))) << text;
            EXPECT_TRUE(e.text().contains(QStringLiteral("Authentication failed"))) << text;
            EXPECT_FALSE(e.text().contains(wrong)) << text;
            const QByteArray token = ("\0" + server->user().toUtf8() + '\0' + wrong.toUtf8()).toBase64();
            EXPECT_FALSE(e.text().contains(QString::fromLatin1(token))) << text;
        }
        EXPECT_FALSE(refused->connected());
    }
}

// Enough messages for more than one pipelined batch of TOP commands.
TEST_F(DovecotPop3, HeadersInBulkArriveInOrderWithAndWithoutPipelining)
{
    QList<QByteArray> messages;
    for (int i = 1; i <= 150; ++i)
        messages.append(makeMessage(i, "Avsender " + QByteArray::number(i) + " <a" + QByteArray::number(i) + "@example.no>",
                                    "Melding nr. " + QByteArray::number(i), ".\r\nkropp\r\n"));
    start(messages);

    for (const bool pipelining : {true, false}) {
        SCOPED_TRACE(pipelining ? "pipelined" : "one command at a time");
        auto c = client();
        c->allowPipelining = pipelining;
        c->connect();
        ASSERT_TRUE(c->capabilities().contains(QStringLiteral("PIPELINING")));
        ASSERT_EQ(c->messageCount(), messages.size());

        QList<std::pair<int, QByteArray>> got;
        c->retrieveHeaders(1, int(messages.size()), [&](int i, const QByteArray& h) { got.append({i, h}); });
        ASSERT_EQ(got.size(), messages.size());
        for (int k = 0; k < got.size(); ++k) {
            EXPECT_EQ(got.at(k).first, k + 1);
            EXPECT_EQ(got.at(k).second, headerOf(messages.at(k))) << "message " << k + 1;
        }
        // The session is still in step after the batch.
        EXPECT_EQ(c->messageCount(), messages.size());
        c->disconnect();
    }
}

} // namespace
