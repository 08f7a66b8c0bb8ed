// Checks that read only the headers of messages not listed before, with the
// lines kept under the server's unique ids in memory and in a cache file.
// The list must always show what a check reading every header shows.
#include "dovecotserver.h"
#include "listcache.h"
#include "safefile.h"
#include "watcherfixture.h"

#include <QFile>
#include <functional>

using namespace testsupport;

namespace {

class IncrementalCheckTest : public WatcherFixture {
protected:
    // The argument of every TOP received since the last clearReceived().
    QList<int> topNumbers() const
    {
        QList<int> out;
        for (const QByteArray& line : server->received()) {
            if (line.toUpper().startsWith("TOP "))
                out.append(line.split(' ').value(1).toInt());
        }
        return out;
    }

    QString cacheFile() const
    {
        return watch::ListCache::fileName(rt::tavlundpath(QStringLiteral("tmp")),
                                          {QStringLiteral("127.0.0.1"), server->port(), QStringLiteral("ola")});
    }

    void recheck()
    {
        server->clearReceived();
        form->checkNowAction->trigger();
    }

    // The lines a check reading every header shows for the server's mailbox
    // now: a server without UIDL holding the same messages.
    QStringList fullCheckLines()
    {
        ScriptedPop3Server reference;
        reference.setCredentials("ola", "hemmelig");
        reference.setUidl(false);
        reference.setMessages(server->messages());
        watch::MailboxWatcher w;
        watch::MailboxSettings s;
        s.host = reference.host();
        s.port = reference.port();
        s.user = QStringLiteral("ola");
        s.password = QStringLiteral("hemmelig");
        s.startupCheck = true;
        w.configure(s);
        QStringList shown;
        QObject::connect(&w, &watch::MailboxWatcher::linesRead, [&](const QStringList& l) { shown = l; });
        w.check();
        return shown;
    }
};

QByteArray message(int n)
{
    return mailMessage("Avsender " + QByteArray::number(n) + " <a" + QByteArray::number(n) + "@test.example>",
                       "Melding " + QByteArray::number(n));
}

} // namespace

TEST_F(IncrementalCheckTest, OnlyNewMessagesAreReadAndTheListMatchesAFullCheck)
{
    struct Case {
        const char* name;
        std::function<void(ScriptedPop3Server&)> change;
        QList<int> expectedTops; // numbers on the changed mailbox
    };
    const QList<Case> cases = {
        {"nothing changed", [](ScriptedPop3Server&) {}, {}},
        {"two added", [](ScriptedPop3Server& s) { s.addMessage(message(6)); s.addMessage(message(7)); }, {6, 7}},
        {"first and middle deleted", [](ScriptedPop3Server& s) { s.removeMessage(2); s.removeMessage(0); }, {}},
        {"one deleted, one added", [](ScriptedPop3Server& s) { s.removeMessage(1); s.addMessage(message(6)); }, {5}},
        {"all deleted", [](ScriptedPop3Server& s) { s.setMessages({}); }, {}},
        {"all replaced under new ids", [](ScriptedPop3Server& s) {
             s.setMessages({});
             for (int n = 11; n <= 15; ++n)
                 s.addMessage(message(n));
         }, {1, 2, 3, 4, 5}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QList<QByteArray> mailbox;
        for (int n = 1; n <= 5; ++n)
            mailbox.append(message(n));
        freshStripWith(mailbox);
        ASSERT_EQ(lines().size(), 5);
        c.change(*server);
        recheck();
        EXPECT_TRUE(errorTexts().isEmpty()) << errorTexts().join(QLatin1Char('|')).toStdString();
        EXPECT_EQ(topNumbers(), c.expectedTops);
        EXPECT_EQ(lines(), fullCheckLines());
        EXPECT_EQ(form->statusLabel->text(), QStringLiteral("INNBOKS: %1").arg(server->messages().size()));
    }
}

TEST_F(IncrementalCheckTest, ARestartReadsTheListFromTheCacheFile)
{
    freshStripWith(numberedMessages(4));
    const QStringList first = lines();
    QFile file(cacheFile());
    ASSERT_TRUE(file.exists());
    EXPECT_EQ(file.permissions() & (QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther),
              QFile::Permissions());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_FALSE(file.readAll().contains("hemmelig")) << "the password is never stored";

    server->addMessage(message(5));
    server->clearReceived();
    makeForm().showForm(); // a new window and watcher, as after a restart
    EXPECT_EQ(topNumbers(), QList<int>{5});
    EXPECT_EQ(lines(), fullCheckLines());
    EXPECT_EQ(lines().mid(0, 4), first);
}

TEST_F(IncrementalCheckTest, AnUnfitCacheFileGivesAFullCheck)
{
    // Each file holds lines that would be wrong for this mailbox; none of
    // them may reach the list.
    struct Case {
        const char* name;
        std::function<QByteArray(const watch::ListCache&)> file;
    };
    const auto poisoned = [](const QList<QByteArray>& uids, const watch::CacheOwner& owner) {
        watch::ListCache cache;
        cache.reset(owner);
        QHash<QByteArray, watch::CachedLine> wrong;
        for (const QByteArray& uid : uids)
            wrong.insert(uid, {QStringLiteral("Feil linje ") + QString::fromLatin1(uid), {}, {}});
        cache.replace(wrong);
        return cache;
    };
    const QList<Case> cases = {
        {"truncated", [](const watch::ListCache& c) { const QByteArray b = c.serialize(); return b.left(b.size() / 2); }},
        {"one byte changed", [](const watch::ListCache& c) {
             QByteArray b = c.serialize();
             b[b.size() / 2] = char(b[b.size() / 2] ^ 0x20);
             return b;
         }},
        {"empty", [](const watch::ListCache&) { return QByteArray(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        freshStripWith(numberedMessages(3));
        const QStringList expected = lines();
        const watch::ListCache bad =
            poisoned(server->uniqueIds(), {QStringLiteral("127.0.0.1"), server->port(), QStringLiteral("ola")});
        ASSERT_TRUE(rt::saveFileSafely(cacheFile(), c.file(bad)).isEmpty());
        server->clearReceived();
        makeForm().showForm();
        EXPECT_EQ(topNumbers(), (QList<int>{1, 2, 3}));
        EXPECT_EQ(lines(), expected);
    }
}

TEST_F(IncrementalCheckTest, ACacheOfAnotherServerOrAccountIsNotUsed)
{
    freshStripWith(numberedMessages(3));
    const QList<QByteArray> uids = server->uniqueIds();
    const watch::CacheOwner here{QStringLiteral("127.0.0.1"), server->port(), QStringLiteral("ola")};
    for (const watch::CacheOwner& other : {watch::CacheOwner{QStringLiteral("127.0.0.2"), here.port, here.user},
                                           watch::CacheOwner{here.host, quint16(here.port + 1), here.user},
                                           watch::CacheOwner{here.host, here.port, QStringLiteral("per")}}) {
        watch::ListCache cache;
        cache.reset(other);
        QHash<QByteArray, watch::CachedLine> wrong;
        for (const QByteArray& uid : uids)
            wrong.insert(uid, {QStringLiteral("Feil linje"), {}, {}});
        cache.replace(wrong);
        // Even under this mailbox's file name it does not count.
        EXPECT_FALSE(watch::ListCache::deserialize(cache.serialize(), here).has_value());
        ASSERT_TRUE(cache.save(cacheFile()).isEmpty());
        server->clearReceived();
        makeForm().showForm();
        EXPECT_EQ(topNumbers(), (QList<int>{1, 2, 3}));
        EXPECT_FALSE(lines().contains(QStringLiteral("Feil linje")));
    }
}

TEST_F(IncrementalCheckTest, AnUnusableUidlListGivesAFullCheck)
{
    struct Case {
        const char* name;
        QByteArray uidlReply; // the whole answer to UIDL
    };
    const QList<Case> cases = {
        {"refused", "-ERR not now"},
        {"a number missing", "+OK\r\n1 u1\r\n3 u3\r\n."},
        {"one id for two numbers", "+OK\r\n1 u1\r\n2 u1\r\n3 u3\r\n."},
        {"a number beyond the count", "+OK\r\n1 u1\r\n2 u2\r\n4 u4\r\n."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        freshStripWith(numberedMessages(3));
        const QStringList expected = lines();
        // A cache that knows ids u1 … u3 with wrong lines.
        watch::ListCache cache;
        cache.reset({QStringLiteral("127.0.0.1"), server->port(), QStringLiteral("ola")});
        cache.replace({{"u1", {QStringLiteral("Feil 1"), {}, {}}},
                       {"u2", {QStringLiteral("Feil 2"), {}, {}}},
                       {"u3", {QStringLiteral("Feil 3"), {}, {}}}});
        ASSERT_TRUE(cache.save(cacheFile()).isEmpty());
        server->addFault(Pop3Fault::reply("UIDL", c.uidlReply));
        server->clearReceived();
        makeForm().showForm();
        EXPECT_EQ(topNumbers(), (QList<int>{1, 2, 3}));
        EXPECT_EQ(lines(), expected);
    }
}

TEST_F(IncrementalCheckTest, WithoutUidlEveryCheckReadsEveryHeader)
{
    freshStripWith(numberedMessages(3), false);
    server->addMessage(message(4));
    recheck();
    EXPECT_EQ(topNumbers(), (QList<int>{1, 2, 3, 4}));
    EXPECT_EQ(lines(), fullCheckLines());
}

TEST_F(IncrementalCheckTest, AFailingTopLeavesTheLinesBeforeItAndTheCacheAsItWas)
{
    freshStripWith(numberedMessages(3));
    server->addMessage(message(4));
    server->addMessage(message(5));
    server->addFault(Pop3Fault::error("TOP", "borte").onArgument("5"));
    recheck();
    EXPECT_EQ(lines(), fullCheckLines().mid(0, 4));
    EXPECT_FALSE(errorTexts().isEmpty());

    server->clearFaults();
    recheck();
    EXPECT_EQ(topNumbers(), (QList<int>{4, 5})) << "nothing of the failed check was kept";
    EXPECT_EQ(lines(), fullCheckLines());
}

TEST_F(IncrementalCheckTest, OneNewMessageAmongTenThousandCostsOneTop)
{
    freshStripWith(numberedMessages(10000));
    ASSERT_EQ(lines().size(), 10000);
    server->addMessage(message(10001));
    recheck();
    EXPECT_EQ(topNumbers(), QList<int>{10001});
    ASSERT_EQ(lines().size(), 10001);
    EXPECT_EQ(lines().last(), QStringLiteral("Avsender 10001 <a10001@test.example>   Melding 10001"));
}

TEST(NumbersToReadTest, OnlyAWholeUniqueUidlListIsUsed)
{
    watch::ListCache cache;
    cache.reset({QStringLiteral("h"), 110, QStringLiteral("u")});
    cache.replace({{"a", {}}, {"c", {}}});
    using Uids = std::optional<std::map<int, QByteArray>>;
    struct Case {
        const char* name;
        int count;
        Uids uids;
        std::optional<QList<int>> expected;
    };
    const QList<Case> cases = {
        {"no UIDL", 2, std::nullopt, std::nullopt},
        {"known and new", 3, Uids{{{1, "a"}, {2, "b"}, {3, "c"}}}, QList<int>{2}},
        {"all known", 2, Uids{{{1, "c"}, {2, "a"}}}, QList<int>{}},
        {"shorter than the count", 3, Uids{{{1, "a"}, {2, "b"}}}, std::nullopt},
        {"longer than the count", 1, Uids{{{1, "a"}, {2, "b"}}}, std::nullopt},
        {"a gap", 2, Uids{{{1, "a"}, {3, "b"}}}, std::nullopt},
        {"a shared id", 2, Uids{{{1, "a"}, {2, "a"}}}, std::nullopt},
        {"an empty id", 2, Uids{{{1, "a"}, {2, ""}}}, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(watch::numbersToRead(c.count, c.uids, cache), c.expected);
    }
}
