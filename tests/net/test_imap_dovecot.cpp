// ImapClient against a real Dovecot IMAP server on the loopback address.
#include "dovecotserver.h"
#include "imapclient.h"

#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <thread>
#include <vector>

using net::ImapClient;
using testsupport::DovecotServer;
using namespace std::chrono_literals;

namespace {

using Uids = QList<std::uint32_t>;

QByteArray makeMessage(int n, const QByteArray& from, const QByteArray& subject)
{
    return "Return-Path: <avsender@example.no>\r\n"
           "Subject: " + subject + "\r\n"
           "From: " + from + "\r\n"
           "To: Kari Nordmann <kari@example.no>\r\n"
           "Date: Mon, 4 Mar 2024 08:0" + QByteArray::number(n % 10) + ":00 +0100\r\n"
           "Message-ID: <melding-" + QByteArray::number(n) + "@example.no>\r\n"
           "MIME-Version: 1.0\r\n"
           "Content-Type: text/plain; charset=UTF-8\r\n"
           "\r\n"
           "Hei Kari,\r\nmelding " + QByteArray::number(n) + ".\r\n.\r\n";
}

QList<QByteArray> standardMessages()
{
    return {
        makeMessage(1, "Ola Hansen <ola@example.no>", "Lunsj i morgen?"),
        makeMessage(2, "=?UTF-8?Q?=C3=85se_Bj=C3=B8rnstad?= <ase@example.no>",
                    "=?UTF-8?Q?M=C3=B8tereferat?=\r\n =?UTF-8?Q?_fra_fredag?="),
        makeMessage(3, "Per Olsen <per@example.no>", "Faktura 2024-117"),
    };
}

// What BODY.PEEK[HEADER.FIELDS (FROM SUBJECT DATE MESSAGE-ID)] gives: those
// fields with their folded lines, in the message's order, then an empty line.
QByteArray fieldsOf(const QByteArray& message)
{
    QByteArray out;
    bool keep = false;
    for (const QByteArray& line : message.left(message.indexOf("\r\n\r\n")).split('\n')) {
        const QByteArray l = line.endsWith('\r') ? line.chopped(1) : line;
        if (!l.startsWith(' ') && !l.startsWith('\t')) {
            const QByteArray name = l.left(l.indexOf(':')).toUpper();
            keep = name == "FROM" || name == "SUBJECT" || name == "DATE" || name == "MESSAGE-ID";
        }
        if (keep)
            out += l + "\r\n";
    }
    return out + "\r\n";
}

class DovecotImap : public testing::Test {
protected:
    void SetUp() override
    {
        if (!DovecotServer::imapAvailable())
            GTEST_SKIP() << "Dovecot's IMAP service is not installed (Debian package dovecot-imapd)";
    }

    void TearDown() override
    {
        if (helper.joinable())
            helper.join();
        if (HasFailure() && server)
            std::cerr << "--- Dovecot log ---\n" << server->log().toStdString() << std::endl;
    }

    void start(const QList<QByteArray>& messages = standardMessages())
    {
        server = std::make_unique<DovecotServer>(messages);
    }

    std::unique_ptr<ImapClient> client(const QString& password = QString()) const
    {
        auto c = std::make_unique<ImapClient>();
        c->host = server->host();
        c->port = server->imapPort();
        c->user = server->user();
        c->password = password.isNull() ? server->password() : password;
        c->timeouts = {5000, 10000};
        return c;
    }

    // The unseen UIDs as a fresh session sees them.
    Uids unseenNow() const
    {
        auto c = client();
        Uids uids = c->connectAndSearch(true);
        c->disconnect();
        return uids;
    }

    void later(std::chrono::milliseconds wait, std::function<void()> f)
    {
        helper = std::thread([wait, f = std::move(f)] {
            std::this_thread::sleep_for(wait);
            f();
        });
    }

    std::unique_ptr<DovecotServer> server;
    std::thread helper;
};

TEST_F(DovecotImap, ListsTheUnseenOldestFirstWithTheirHeaders)
{
    start();
    server->setFlags(1, QStringLiteral("S")); // read in another program
    auto c = client();
    int connected = 0;
    c->onConnected = [&] { ++connected; };
    const Uids unseen = c->connectAndSearch(true);
    EXPECT_EQ(connected, 1);
    ASSERT_EQ(unseen.size(), 2);
    EXPECT_LT(unseen.at(0), unseen.at(1));
    EXPECT_NE(c->mailbox().uidValidity, 0u);
    EXPECT_EQ(c->mailbox().exists, 3u);
    EXPECT_TRUE(c->hasCapability(QStringLiteral("IDLE")));
    EXPECT_TRUE(c->hasCapability(QStringLiteral("UIDPLUS")));

    std::vector<std::pair<std::uint32_t, QByteArray>> got;
    c->fetchHeaders(unseen, [&](std::uint32_t uid, const QByteArray& h) { got.emplace_back(uid, h); });
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], std::make_pair(unseen.at(0), fieldsOf(server->messages().at(0))));
    EXPECT_EQ(got[1], std::make_pair(unseen.at(1), fieldsOf(server->messages().at(2))));
    c->disconnect();
    EXPECT_FALSE(c->connected());
    // Listing marked nothing seen.
    EXPECT_EQ(unseenNow(), unseen);
}

// Opening marks nothing, in EXAMINE or SELECT; markSeen() marks it.
TEST_F(DovecotImap, OpeningGivesTheWholeMessageAndMarkSeenMarksIt)
{
    start();
    auto c = client();
    const Uids unseen = c->connectAndSearch(true);
    ASSERT_EQ(unseen.size(), 3);
    QByteArray body;
    ASSERT_TRUE(c->fetchMessage(unseen.at(1), body));
    EXPECT_EQ(body, server->messages().at(1));
    EXPECT_EQ(unseenNow(), unseen);

    c->selectInbox(false);
    body.clear();
    ASSERT_TRUE(c->fetchMessage(unseen.at(1), body));
    EXPECT_EQ(body, server->messages().at(1));
    EXPECT_EQ(c->searchUnseen(), unseen);
    c->markSeen(unseen.at(1));
    EXPECT_EQ(c->searchUnseen(), (Uids{unseen.at(0), unseen.at(2)}));
    c->disconnect();
    EXPECT_EQ(unseenNow(), (Uids{unseen.at(0), unseen.at(2)}));
    EXPECT_EQ(server->flags(1), QStringLiteral("S"));

    // A UID that is not there is no message.
    c = client();
    c->connectAndSearch(false);
    QString refusal;
    EXPECT_FALSE(c->fetchMessage(unseen.at(2) + 100, body, &refusal));
    EXPECT_EQ(refusal, QStringLiteral("Meldingen med UID %1 finnes ikke lenger på 127.0.0.1").arg(unseen.at(2) + 100));
    c->disconnect();
}

TEST_F(DovecotImap, DeleteExpungesOnlyThatMessage)
{
    start();
    // Marked for deletion by another program: it must stay.
    server->setFlags(0, QStringLiteral("T"));
    auto c = client();
    const Uids unseen = c->connectAndSearch(false);
    ASSERT_EQ(unseen.size(), 2);
    EXPECT_EQ(c->deleteMessage(unseen.at(0)), ImapClient::Deletion::Expunged);
    EXPECT_EQ(c->mailbox().exists, 2u);
    EXPECT_EQ(c->searchUnseen(), (Uids{unseen.at(1)}));
    c->disconnect();
    EXPECT_EQ(server->remainingIndexes(), (QList<int>{0, 2}));
    EXPECT_EQ(server->flags(0), QStringLiteral("T"));
}

// Push: a message delivered while the client waits in IDLE ends the wait
// well inside the second after its delivery.
TEST_F(DovecotImap, IdleSeesADeliveredMessageWithinASecond)
{
    start();
    auto c = client();
    const Uids before = c->connectAndSearch(true);
    const QByteArray fourth = makeMessage(4, "Nils <nils@example.no>", "Ny melding");
    later(300ms, [&] { server->deliver(fourth); });
    EXPECT_EQ(c->idle(1300ms), ImapClient::IdleEnd::Changed);
    EXPECT_EQ(c->takeChanges().exists, 4u);
    const Uids after = c->searchUnseen();
    ASSERT_EQ(after.size(), 4);
    EXPECT_EQ(after.mid(0, 3), before);
    EXPECT_GT(after.last(), before.last());
    std::vector<QByteArray> got;
    c->fetchHeaders({after.last()}, [&](std::uint32_t, const QByteArray& h) { got.push_back(h); });
    EXPECT_EQ(got, std::vector<QByteArray>{fieldsOf(fourth)});
    c->disconnect();
}

TEST_F(DovecotImap, ReadOrDeletedElsewhereEndsIdleAndLeavesTheList)
{
    start();
    auto c = client();
    const Uids unseen = c->connectAndSearch(true);
    ASSERT_EQ(unseen.size(), 3);

    later(300ms, [&] { server->setFlags(0, QStringLiteral("S")); });
    EXPECT_EQ(c->idle(5s), ImapClient::IdleEnd::Changed);
    helper.join();
    EXPECT_GE(c->takeChanges().flagUpdates, 1);
    EXPECT_EQ(c->searchUnseen(), (Uids{unseen.at(1), unseen.at(2)}));

    later(300ms, [&] { server->expunge(2); });
    EXPECT_EQ(c->idle(5s), ImapClient::IdleEnd::Changed);
    EXPECT_EQ(c->takeChanges().expunged, 1);
    EXPECT_EQ(c->mailbox().exists, 2u);
    EXPECT_EQ(c->searchUnseen(), (Uids{unseen.at(1)}));
    c->disconnect();
}

TEST_F(DovecotImap, QuietIdleEndsWithDoneAndInterruptEndsItAtOnce)
{
    start();
    auto c = client();
    c->connectAndSearch(true);
    EXPECT_EQ(c->idle(300ms), ImapClient::IdleEnd::TimeUp);
    c->noop();

    later(100ms, [&] { c->interrupt(); });
    EXPECT_EQ(c->idle(10min), ImapClient::IdleEnd::Interrupted);
    c->logoutWithoutWaiting();
    EXPECT_FALSE(c->connected());
}

TEST_F(DovecotImap, UidValidityStaysUntilTheMailboxIsRebuilt)
{
    start();
    auto c = client();
    c->connectAndSearch(true);
    const std::uint32_t first = c->mailbox().uidValidity;
    const Uids uids = c->searchUnseen();
    c->disconnect();
    c->connectAndSearch(true);
    EXPECT_EQ(c->mailbox().uidValidity, first);
    EXPECT_EQ(c->searchUnseen(), uids);
    c->disconnect();

    // The server's UID list and indexes lost (a restore from backup, say):
    // the UIDs start again under a new UIDVALIDITY.
    server->forgetUids();
    c->connectAndSearch(true);
    EXPECT_NE(c->mailbox().uidValidity, first);
    EXPECT_EQ(c->searchUnseen().size(), 3);
    c->disconnect();
}

TEST_F(DovecotImap, RejectedLoginShowsDovecotsWordsWithoutThePassword)
{
    start();
    auto c = client(QStringLiteral("feil-passord"));
    int closed = 0;
    c->onDisconnected = [&] { ++closed; };
    try {
        c->connectAndSearch(true);
        ADD_FAILURE() << "login accepted";
    } catch (const net::NetError& e) {
        EXPECT_TRUE(e.text().startsWith(QStringLiteral("Serveren avviste innloggingen: [AUTHENTICATIONFAILED]")))
            << e.text().toStdString();
        EXPECT_FALSE(e.text().contains(QStringLiteral("feil-passord")));
    }
    EXPECT_FALSE(c->connected());
    EXPECT_EQ(closed, 1);
    EXPECT_EQ(unseenNow().size(), 3);
}

// Enough messages that the headers span many TCP segments: one command.
TEST_F(DovecotImap, ManyHeadersArriveInOrder)
{
    QList<QByteArray> messages;
    for (int i = 1; i <= 400; ++i)
        messages.append(makeMessage(i, "Avsender " + QByteArray::number(i) + " <a@example.no>",
                                    "Melding nr. " + QByteArray::number(i)));
    start(messages);
    auto c = client();
    const Uids unseen = c->connectAndSearch(true);
    ASSERT_EQ(unseen.size(), messages.size());
    std::vector<std::pair<std::uint32_t, QByteArray>> got;
    c->fetchHeaders(unseen, [&](std::uint32_t uid, const QByteArray& h) { got.emplace_back(uid, h); });
    ASSERT_EQ(got.size(), std::size_t(messages.size()));
    for (qsizetype i = 0; i < messages.size(); ++i)
        EXPECT_EQ(got[std::size_t(i)], std::make_pair(unseen.at(i), fieldsOf(messages.at(i)))) << i;
    c->noop();
    c->disconnect();
}

} // namespace
