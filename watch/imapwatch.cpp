// The watcher's IMAP path: the check of INBOX's unseen messages, and opening
// and deleting by UID. The lines are those of the POP3 path, made from the
// same header fields; a line is named by UIDVALIDITY and UID.
#include "mailboxwatcher.h"

#include <QFile>
#include <QHash>

#include <algorithm>
#include <exception>
#include <optional>

namespace watch {

namespace {

// What names an IMAP message across sessions, and its key in the list cache.
QByteArray imapKey(std::uint32_t uidValidity, std::uint32_t uid)
{
    return QByteArray::number(uidValidity) + ':' + QByteArray::number(uid);
}

} // namespace

bool MailboxWatcher::searchOnKeptSession(QList<std::uint32_t>& unseen)
{
    // A connection that went quiet behind a gateway is given up quickly;
    // the check then logs in afresh.
    const net::Timeouts normal = m_imap.timeouts;
    const auto restore = qScopeGuard([&] { m_imap.timeouts = normal; });
    m_imap.timeouts.replyMs = std::min(normal.replyMs, kKeptSessionReplyMs);
    try {
        unseen = m_imap.searchUnseen(net::ImapClient::SearchSync::ReopenFirst);
        return true;
    } catch (const net::NetError&) {
        return false;
    }
}

void MailboxWatcher::dropKeptSession()
{
    m_keptSince.reset();
    if (!m_busy && m_imap.connected())
        m_imap.logoutWithoutWaiting();
}

ImapPush::Account MailboxWatcher::pushAccount() const
{
    return {m_settings.host, m_settings.port, m_settings.user, logInPassword()};
}

void MailboxWatcher::startPushForAccount()
{
    if (m_settings.protocol != settings::MailProtocol::Imap || m_settings.host.isEmpty())
        return;
    if (!m_push.running() || m_push.account() != pushAccount())
        m_push.start(pushAccount());
}

MailboxWatcher::CheckReport MailboxWatcher::checkImap()
{
    // Push is the watch between checks: it runs after a failed check too
    // (a server away at start), and retries on its own.
    const auto push = qScopeGuard([this] { startPushForAccount(); });
    emit checkStarted();
    const CacheOwner owner = cacheOwner();
    const QString path = cachePath();
    const QByteArray key = m_settings.cacheKey;
    QList<std::uint32_t> unseen;
    const bool reuse = m_imap.connected() && m_imap.mailboxOpen() && m_imap.mailbox().readOnly && m_keptSince
        && KeptClock::now() - *m_keptSince < kKeepSessionFor;
    m_keptSince.reset();
    withServerQuestions([&] {
        step([&] {
            if (reuse && searchOnKeptSession(unseen))
                return;
            if (m_imap.connected())
                m_imap.logoutWithoutWaiting(); // left over from a failed step, or kept and gone quiet
            unseen = m_imap.connectAndSearch(true);
        });
    });
    const std::uint32_t validity = m_imap.mailbox().uidValidity;

    // The headers of UIDs the cache does not know, in one fetch; the rest
    // from the cache. A UID gone between the search and the fetch is left
    // out, as the next search would leave it out.
    QList<ListedHeader> headers;
    QList<std::uint32_t> uids;
    std::exception_ptr failure;
    try {
        step([&] {
            loadCacheFor(owner, path, key);
            QList<std::uint32_t> toRead;
            for (std::uint32_t uid : unseen) {
                if (!m_cache.find(imapKey(validity, uid)))
                    toRead.append(uid);
            }
            QHash<std::uint32_t, ListedHeader> fetched;
            fetched.reserve(toRead.size());
            std::exception_ptr fetchFailure;
            try {
                if (!toRead.isEmpty())
                    m_imap.fetchHeaders(toRead, [&](std::uint32_t uid, const QByteArray& raw) {
                        fetched.insert(uid, describeHeader(raw));
                    });
            } catch (...) {
                fetchFailure = std::current_exception();
            }
            headers.reserve(unseen.size());
            uids.reserve(unseen.size());
            for (std::uint32_t uid : unseen) {
                if (const CachedLine* cached = m_cache.find(imapKey(validity, uid))) {
                    headers.append({cached->line, cached->sender, cached->subject, {}, {}, cached->digest});
                } else if (const auto it = fetched.constFind(uid); it != fetched.constEnd()) {
                    headers.append(*it);
                } else if (fetchFailure) {
                    break; // the lines before the failure stand
                } else {
                    continue;
                }
                uids.append(uid);
            }
            if (fetchFailure)
                std::rethrow_exception(fetchFailure);
        });
    } catch (...) {
        failure = std::current_exception();
    }

    m_lines.clear();
    m_lines.reserve(headers.size());
    m_rowUids = uids;
    m_uidValidity = validity;
    QStringList lines;
    lines.reserve(headers.size());
    QList<ListedMessage> listed;
    listed.reserve(headers.size());
    QHash<QByteArray, CachedLine> toCache;
    toCache.reserve(headers.size());
    for (qsizetype i = 0; i < headers.size(); ++i) {
        const ListedHeader& h = headers.at(i);
        const QByteArray name = imapKey(validity, uids.at(i));
        const LineIdentity identity = uidIdentity(name);
        m_lines.append({identity, h.digest, h.line});
        lines.append(h.line);
        listed.append({identity, h.sender, h.subject});
        toCache.insert(name, {h.line, h.sender, h.subject, h.digest});
    }
    emit linesRead(lines);
    if (failure)
        std::rethrow_exception(failure);
    emit messagesListed(listed);
    const int count = int(headers.size());
    emit countRead(count);
    if (m_push.state() == ImapPush::State::Up) {
        // Push will ask again soon: the next check reads on this
        // connection, without a new log-in.
        m_keptSince = KeptClock::now();
    } else {
        // Nothing was changed on the server: no need to wait for the goodbye.
        step([this] { m_imap.logoutWithoutWaiting(); });
    }
    storeInCache(std::move(toCache));
    return {true, count};
}

void MailboxWatcher::selectForChanges()
{
    withServerQuestions([this] {
        step([this] {
            if (!m_imap.connected())
                m_imap.connect();
            if (!m_imap.mailboxOpen() || m_imap.mailbox().readOnly)
                m_imap.selectInbox(false);
        });
    });
}

bool MailboxWatcher::imapStillHolds(int row)
{
    if (row >= m_rowUids.size())
        return false;
    const ListedLine line = m_lines.at(row);
    const std::uint32_t uid = m_rowUids.at(row);
    const std::uint32_t validity = m_uidValidity;
    const QString path = cachePath();
    selectForChanges();
    const HeaderMatch match = step([&]() -> HeaderMatch {
        if (m_imap.mailbox().uidValidity != validity)
            return HeaderMatch::Moved; // every UID names another message now
        std::optional<QByteArray> header;
        m_imap.fetchHeaders({uid}, [&](std::uint32_t, const QByteArray& raw) { header = raw; });
        if (!header)
            return HeaderMatch::Moved; // gone meanwhile
        const HeaderMatch m = matchHeader(line, uidIdentity(imapKey(validity, uid)), *header);
        // A line the server's header does not give came from a cache that
        // is not true to the server: nothing the cache holds is used again.
        if (m == HeaderMatch::Untrue)
            dropCache(path);
        return m;
    });
    if (match == HeaderMatch::Same)
        return true;
    step([this] { m_imap.logoutWithoutWaiting(); });
    return false;
}

MailboxWatcher::Retrieved MailboxWatcher::retrieveImap(int row)
{
    Retrieved r;
    if (!imapStillHolds(row)) {
        r.outcome = Outcome::Changed;
        return r;
    }
    const std::uint32_t uid = m_rowUids.at(row);
    const bool ok = step([&] { return m_imap.fetchMessage(uid, r.message, &r.refusal); });
    step([this] { m_imap.logoutWithoutWaiting(); });
    r.outcome = ok ? Outcome::Done : Outcome::Refused;
    if (ok)
        r.seenMark = SeenMark{cacheOwner(), m_uidValidity, uid};
    return r;
}

MailboxWatcher::Outcome MailboxWatcher::deleteImap(int row)
{
    if (!imapStillHolds(row))
        return Outcome::Changed;
    const std::uint32_t uid = m_rowUids.at(row);
    const net::ImapClient::Deletion done = step([&] { return m_imap.deleteMessage(uid); });
    step([this] { m_imap.logoutWithoutWaiting(); });
    return done == net::ImapClient::Deletion::Expunged ? Outcome::Done : Outcome::FlaggedOnly;
}

} // namespace watch
