// The watcher on its own against a scripted IMAP server: new settings that
// arrive while an open or a delete waits for the server (the window thread
// serves its events meanwhile) do not turn that operation to another
// message or another session.
#include "mailboxwatcher.h"
#include "scriptedimapserver.h"

#include <QTimer>

#include <gtest/gtest.h>

#include <functional>

using testsupport::ImapFault;
using testsupport::ScriptedImapServer;

namespace {

QByteArray message(int n)
{
    const QByteArray k = QByteArray::number(n);
    return "From: a" + k + "@test.example\r\nSubject: Melding " + k + "\r\nMessage-ID: <" + k
        + "@test.example>\r\n\r\nHei " + k + ".\r\n";
}

settings::MailboxSettings imapAccount(std::uint16_t port)
{
    settings::MailboxSettings s;
    s.protocol = settings::MailProtocol::Imap;
    s.host = QStringLiteral("127.0.0.1");
    s.port = port;
    s.user = QStringLiteral("ola");
    s.password = QStringLiteral("hemmelig");
    return s;
}

TEST(MailboxWatcherTest, AnOpenOrDeleteUnderWayStaysWithTheMailboxItStartedOn)
{
    struct Case {
        const char* name;
        std::function<void(settings::MailboxSettings&)> change;
        bool remove;
    };
    const auto otherHost = [](settings::MailboxSettings& s) { s.host = QStringLiteral("127.0.0.2"); };
    const auto pop3 = [](settings::MailboxSettings& s) {
        s.protocol = settings::MailProtocol::Pop3;
        s.port = 110;
    };
    const Case cases[] = {
        {"another IMAP account while opening", otherHost, false},
        {"another IMAP account while deleting", otherHost, true},
        {"POP3 while opening", pop3, false},
        {"POP3 while deleting", pop3, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedImapServer server;
        server.setCredentials("ola", "hemmelig");
        server.setMessages({message(1), message(2)});
        watch::MailboxWatcher watcher;
        const settings::MailboxSettings first = imapAccount(server.port());
        watcher.configure(first);
        ASSERT_EQ(watcher.check().count, 2);
        ASSERT_TRUE(watcher.lineIdentified(1));

        // The settings change while the message's header is awaited.
        server.addFault(ImapFault::stall("UID FETCH", 400));
        settings::MailboxSettings next = first;
        c.change(next);
        bool changed = false;
        QTimer::singleShot(100, [&] {
            watcher.configure(next);
            changed = true;
        });
        const std::uint32_t uid = server.uids().value(1);
        if (c.remove) {
            EXPECT_EQ(watcher.deleteMessage(1), watch::ActionOutcome::Done);
            EXPECT_FALSE(server.uids().contains(uid));
            EXPECT_TRUE(server.uids().contains(server.uids().value(0)));
        } else {
            const watch::RetrievedMessage r = watcher.retrieveMessage(1);
            EXPECT_EQ(r.outcome, watch::ActionOutcome::Done);
            EXPECT_EQ(r.message, message(2));
            // The mark names the mailbox the message came from, so it is
            // never set on the one configured now.
            ASSERT_TRUE(r.seenMark.has_value());
            EXPECT_EQ(r.seenMark->account, (watch::CacheOwner{first.host, first.port, first.user, true}));
            EXPECT_EQ(r.seenMark->uid, uid);
            EXPECT_TRUE(watcher.markSeen(*r.seenMark));
            EXPECT_FALSE(server.seen(uid));
        }
        EXPECT_TRUE(changed);
        // The lines of the old mailbox name nothing in the new one.
        EXPECT_FALSE(watcher.lineIdentified(0));
    }
}

} // namespace
