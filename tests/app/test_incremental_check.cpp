// Checks that read only the headers of messages not listed before, with the
// lines kept under the server's unique ids in memory and in a cache file.
// The list must always show what a check reading every header shows.
#include "dovecotserver.h"
#include "folders.h"
#include "listcache.h"
#include "messagelist.h"
#include "safefile.h"
#include "watcherfixture.h"

#include <QCryptographicHash>
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
        return watch::ListCache::fileName(rt::namedFolder(QStringLiteral("tmp")), owner());
    }

    watch::CacheOwner owner() const { return {QStringLiteral("127.0.0.1"), server->port(), QStringLiteral("ola")}; }

    // The user's key for the cache file, as the first reading of the
    // settings made it.
    QByteArray cacheKey() const
    {
        const rt::IniFile ini(rt::state().etcFolder + QStringLiteral("OLA.INI"));
        return QByteArray::fromHex(ini.readString(QStringLiteral("Pop3"), QStringLiteral("ListCacheKey")).toLatin1());
    }

    void recheck()
    {
        server->clearReceived();
        stripWindow->checkNowAction->trigger();
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
        settings::MailboxSettings s;
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
        EXPECT_EQ(stripWindow->statusLabel->text(), QStringLiteral("INNBOKS: %1").arg(server->messages().size()));
        // The file keeps the lines of the messages there now, none of those deleted.
        const watch::ListCache kept = watch::ListCache::load(cacheFile(), owner(), cacheKey());
        EXPECT_EQ(kept.size(), server->messages().size());
        for (const QByteArray& uid : server->uniqueIds())
            EXPECT_NE(kept.find(uid), nullptr) << uid.toStdString();
    }
}

// A re-check shows the lines the cache kept from the check before: the
// very strings, not copies, so the list, the watcher and the cache hold
// each line once.
TEST_F(IncrementalCheckTest, ARecheckShowsTheCachedStringsThemselves)
{
    QList<QByteArray> mailbox;
    for (int n = 1; n <= 5; ++n)
        mailbox.append(message(n));
    app::StripWindow& f = freshStripWith(mailbox);
    QList<QStringList> shown;
    QObject::connect(&f.watcher(), &watch::MailboxWatcher::linesRead, [&](const QStringList& l) { shown.append(l); });
    recheck();
    server->addMessage(message(6));
    recheck();
    ASSERT_EQ(shown.size(), 2);
    ASSERT_EQ(shown.at(0).size(), 5);
    ASSERT_EQ(shown.at(1).size(), 6);
    ASSERT_EQ(f.listModel->lines().size(), 6);
    EXPECT_EQ(topNumbers(), QList<int>{6});
    for (int i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        const QString& line = shown.at(1).at(i);
        if (i < 5) {
            EXPECT_EQ(line.constData(), shown.at(0).at(i).constData()) << "the cached line was copied";
        }
        EXPECT_EQ(line.constData(), f.listModel->lines().at(i).constData()) << "the list copied the line";
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
    makeStrip().showStrip(); // a new window and watcher, as after a restart
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
            wrong.insert(uid, {QStringLiteral("Feil linje ") + QString::fromLatin1(uid), {}, {}, {}});
        cache.replace(wrong);
        return cache;
    };
    const QList<Case> cases = {
        {"truncated", [this](const watch::ListCache& c) {
             const QByteArray b = c.serialize(cacheKey());
             return b.left(b.size() / 2);
         }},
        {"one byte changed", [this](const watch::ListCache& c) {
             QByteArray b = c.serialize(cacheKey());
             b[b.size() / 2] = char(b[b.size() / 2] ^ 0x20);
             return b;
         }},
        // The seal itself damaged, the rest as sealed: every byte of it counts.
        {"the seal's first byte changed", [this](const watch::ListCache& c) {
             QByteArray b = c.serialize(cacheKey());
             b[b.size() - 32] = char(b[b.size() - 32] ^ 0x01);
             return b;
         }},
        {"the seal's last byte changed", [this](const watch::ListCache& c) {
             QByteArray b = c.serialize(cacheKey());
             b[b.size() - 1] = char(b[b.size() - 1] ^ 0x01);
             return b;
         }},
        {"empty", [](const watch::ListCache&) { return QByteArray(); }},
        // Whoever does not know the user's key cannot seal a file: neither
        // with a key of their own nor with a plain SHA-256 at its end.
        {"sealed with another key", [](const watch::ListCache& c) { return c.serialize("en annen nøkkel"); }},
        {"ending in a plain SHA-256", [](const watch::ListCache& c) {
             const QByteArray body = c.serialize("x").chopped(32);
             return body + QCryptographicHash::hash(body, QCryptographicHash::Sha256);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        freshStripWith(numberedMessages(3));
        const QStringList expected = lines();
        const watch::ListCache bad = poisoned(server->uniqueIds(), owner());
        ASSERT_TRUE(rt::saveFileSafely(cacheFile(), c.file(bad)).isEmpty());
        server->clearReceived();
        makeStrip().showStrip();
        EXPECT_EQ(topNumbers(), (QList<int>{1, 2, 3}));
        EXPECT_EQ(lines(), expected);
    }
}

TEST_F(IncrementalCheckTest, ACacheOfAnotherServerOrAccountIsNotUsed)
{
    struct Case {
        const char* name;
        // Whose cache file is planted under this mailbox's file name; none:
        // the settings name another server instead, in the same run.
        std::function<watch::CacheOwner(watch::CacheOwner)> fileOwner;
    };
    const Case cases[] = {
        {"a file of another host", [](watch::CacheOwner o) { o.host = QStringLiteral("127.0.0.2"); return o; }},
        {"a file of another port", [](watch::CacheOwner o) { o.port = quint16(o.port + 1); return o; }},
        {"a file of another user", [](watch::CacheOwner o) { o.user = QStringLiteral("per"); return o; }},
        {"another server with the same ids named in the settings", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        freshStripWith(numberedMessages(3));
        const QList<QByteArray> uids = server->uniqueIds();
        if (c.fileOwner) {
            watch::ListCache cache;
            cache.reset(c.fileOwner(owner()));
            QHash<QByteArray, watch::CachedLine> wrong;
            for (const QByteArray& uid : uids)
                wrong.insert(uid, {QStringLiteral("Feil linje"), {}, {}, {}});
            cache.replace(wrong);
            // Even under this mailbox's file name it does not count.
            EXPECT_FALSE(watch::ListCache::deserialize(cache.serialize(cacheKey()), owner(), cacheKey()).has_value());
            ASSERT_TRUE(cache.save(cacheFile(), cacheKey()).isEmpty());
            server->clearReceived();
            makeStrip().showStrip();
        } else {
            // Other messages under the same ids; the window and its watcher
            // go on with the lines of the first server in memory.
            server = std::make_unique<ScriptedPop3Server>();
            server->setCredentials("ola", "hemmelig");
            for (qsizetype i = 0; i < uids.size(); ++i)
                server->addMessage(message(int(11 + i)), uids.at(i));
            stripWindow->openSettingsDialog = [this] { writeSettings(); };
            stripWindow->settingsAction->trigger();
            stripWindow->checkNowAction->trigger();
        }
        EXPECT_TRUE(errorTexts().isEmpty()) << errorTexts().join(QLatin1Char('|')).toStdString();
        EXPECT_EQ(topNumbers(), (QList<int>{1, 2, 3}));
        EXPECT_EQ(lines(), fullCheckLines());
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
        cache.replace({{"u1", {QStringLiteral("Feil 1"), {}, {}, {}}},
                       {"u2", {QStringLiteral("Feil 2"), {}, {}, {}}},
                       {"u3", {QStringLiteral("Feil 3"), {}, {}, {}}}});
        ASSERT_TRUE(cache.save(cacheFile(), cacheKey()).isEmpty());
        server->addFault(Pop3Fault::reply("UIDL", c.uidlReply));
        server->clearReceived();
        makeStrip().showStrip();
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

namespace {

// The list line a message's header gives.
QString lineOf(const QByteArray& message)
{
    return watch::describeHeader(message.left(message.indexOf("\r\n\r\n") + 4)).line;
}

} // namespace

// A cache is trusted to spare TOP commands for the list, never for what an
// action touches: "Slett" and opening act on the message whose header gives
// the line's text, or on nothing.
TEST_F(IncrementalCheckTest, AnActionTouchesOnlyTheMessageItsLineShows)
{
    const auto rewriteCache = [this](const std::function<void(QHash<QByteArray, watch::CachedLine>&)>& edit,
                                     const QByteArray& key) {
        watch::ListCache cache = watch::ListCache::load(cacheFile(), owner(), cacheKey());
        ASSERT_EQ(cache.size(), 3);
        QHash<QByteArray, watch::CachedLine> lines;
        for (const QByteArray& uid : server->uniqueIds()) {
            const watch::CachedLine* line = cache.find(uid);
            ASSERT_NE(line, nullptr) << uid.toStdString();
            lines.insert(uid, *line);
        }
        edit(lines);
        cache.replace(lines);
        ASSERT_TRUE(rt::saveFileSafely(cacheFile(), cache.serialize(key)).isEmpty());
    };
    const auto swapTexts = [this](QHash<QByteArray, watch::CachedLine>& l) {
        const QList<QByteArray> u = server->uniqueIds();
        std::swap(l[u[0]].line, l[u[1]].line);
    };
    const auto swapEntries = [this](QHash<QByteArray, watch::CachedLine>& l) {
        const QList<QByteArray> u = server->uniqueIds();
        std::swap(l[u[0]], l[u[1]]);
    };
    // The server gives message 1's id to another message at number 1.
    const auto reuseFirstId = [this] {
        const QList<QByteArray> uids = server->uniqueIds();
        const QList<QByteArray> old = server->messages();
        server->setMessages({});
        server->addMessage(mailMessage("Butikk <salg@butikk.example>", "Tilbud 50%"), uids[0]);
        server->addMessage(old[1], uids[1]);
        server->addMessage(old[2], uids[2]);
    };
    struct Case {
        const char* name;
        std::function<void()> change; // after a first check of three messages
        bool restart;       // a new window (and watcher) reads the cache file
        bool untrueAtFirst; // line 1 does not show message 1 at first
        bool open;          // a double-click instead of "Slett"
    };
    const QList<Case> cases = {
        {"texts swapped in a file sealed with the user's key", [&] { rewriteCache(swapTexts, cacheKey()); }, true, true, false},
        {"entries swapped in a file sealed with the user's key", [&] { rewriteCache(swapEntries, cacheKey()); }, true, true, false},
        {"entries swapped, opened", [&] { rewriteCache(swapEntries, cacheKey()); }, true, true, true},
        {"texts swapped in a file ending in a plain SHA-256", [&] {
             rewriteCache(swapTexts, "x");
             QFile f(cacheFile());
             ASSERT_TRUE(f.open(QIODevice::ReadOnly));
             const QByteArray body = f.readAll().chopped(32);
             ASSERT_TRUE(rt::saveFileSafely(cacheFile(), body + QCryptographicHash::hash(body, QCryptographicHash::Sha256))
                             .isEmpty());
         }, true, false, false},
        {"a truncated file", [&] {
             QFile f(cacheFile());
             ASSERT_TRUE(f.resize(f.size() / 2));
         }, true, false, false},
        {"a file of another account under this name", [&] {
             watch::ListCache other = watch::ListCache::load(cacheFile(), owner(), cacheKey());
             QHash<QByteArray, watch::CachedLine> lines;
             for (const QByteArray& uid : server->uniqueIds()) {
                 const watch::CachedLine* line = other.find(uid);
                 ASSERT_NE(line, nullptr) << uid.toStdString();
                 lines.insert(uid, *line);
             }
             swapEntries(lines);
             other.reset({owner().host, owner().port, QStringLiteral("per")});
             other.replace(lines);
             ASSERT_TRUE(other.save(cacheFile(), cacheKey()).isEmpty());
         }, true, false, false},
        {"an id reused by the server, same run", reuseFirstId, false, true, false},
        {"an id reused by the server, after a restart", reuseFirstId, true, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        freshStripWith(numberedMessages(3));
        c.change();
        if (c.restart)
            makeStrip().showStrip();
        else
            recheck();
        const QList<QByteArray> before = server->messages();
        const QString shown = lines().value(0);
        EXPECT_EQ(shown != lineOf(before[0]), c.untrueAtFirst) << "the case sets up what it says";
        guard.fake.messages.clear();
        server->clearReceived();

        const auto act = [&] {
            selectLine(stripWindow->messageList, 0);
            if (c.open)
                stripWindow->onListDoubleClicked();
            else
                stripWindow->deleteAction->trigger();
        };
        act();
        EXPECT_TRUE(errorTexts().isEmpty()) << errorTexts().join(QLatin1Char('|')).toStdString();
        if (c.untrueAtFirst) {
            EXPECT_EQ(server->messages(), before) << "nothing deleted";
            EXPECT_FALSE(server->receivedVerbs().contains("DELE"));
            EXPECT_FALSE(server->receivedVerbs().contains("RETR"));
            EXPECT_TRUE(guard.fake.opened.isEmpty());
            ASSERT_EQ(guard.fake.messages.size(), 1);
            EXPECT_TRUE(guard.fake.messages.first().text.contains(QStringLiteral("Postkassen er endret")));
            // The list was read again, every header afresh.
            EXPECT_EQ(topNumbers(), (QList<int>{1, 1, 2, 3}));
            EXPECT_EQ(lines(), fullCheckLines());
            // Now the line shows message 1, and the action reaches it.
            guard.fake.messages.clear();
            act();
        }
        if (c.open) {
            ASSERT_EQ(guard.fake.opened.size(), 1);
            QFile eml(guard.fake.opened.first().value(0));
            ASSERT_TRUE(eml.open(QIODevice::ReadOnly));
            EXPECT_EQ(lineOf(eml.readAll()), lineOf(before[0]));
        } else {
            ASSERT_EQ(server->messages(), before.mid(1)) << "exactly message 1 deleted";
        }
    }
}
