#include "imapsession.h"

#include <QScopeGuard>

#include <algorithm>
#include <exception>

namespace watch {

namespace {

// What names an IMAP message across sessions, and its key in the list cache.
QByteArray imapKey(std::uint32_t uidValidity, std::uint32_t uid)
{
    return QByteArray::number(uidValidity) + ':' + QByteArray::number(uid);
}

} // namespace

void ImapSession::setConnectionEvents(std::function<void()> opened, std::function<void()> closed)
{
    m_imap.onConnected = std::move(opened);
    m_imap.onDisconnected = std::move(closed);
}

void ImapSession::setOptions(const SessionOptions& options)
{
    m_imap.timeouts = options.timeouts;
}

void ImapSession::setLogin(const QString& host, std::uint16_t port, const QString& user, const QString& password)
{
    m_imap.host = host;
    m_imap.port = port;
    m_imap.user = user;
    m_imap.password = password;
}

bool ImapSession::searchOnKeptSession(QList<std::uint32_t>& unseen)
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

void ImapSession::dropKeptConnection(bool inUse)
{
    m_keptSince.reset();
    if (!inUse && m_imap.connected())
        m_imap.logoutWithoutWaiting();
}

void ImapSession::openForCheck(SessionSteps& steps)
{
    const bool reuse = m_imap.connected() && m_imap.mailboxOpen() && m_imap.mailbox().readOnly && m_keptSince
        && KeptClock::now() - *m_keptSince < kKeepSessionFor;
    m_keptSince.reset();
    m_unseen.clear();
    steps.runAskingUser([&] {
        if (reuse && searchOnKeptSession(m_unseen))
            return;
        if (m_imap.connected())
            m_imap.logoutWithoutWaiting(); // left over from a failed step, or kept and gone quiet
        m_unseen = m_imap.connectAndSearch(true);
    });
    m_checkValidity = m_imap.mailbox().uidValidity;
}

void ImapSession::list(SessionSteps& steps, MailboxListing& listing, const CacheSource& cache)
{
    const std::uint32_t validity = m_checkValidity;
    // The headers of UIDs the cache does not know, in one fetch; the rest
    // from the cache. A UID gone between the search and the fetch is left
    // out, as the next search would leave it out.
    QList<ListedHeader>& headers = listing.headers;
    QList<std::uint32_t> uids;
    std::exception_ptr failure;
    try {
        steps.run([&] {
            const ListCache& known = cache();
            QList<std::uint32_t> toRead;
            for (std::uint32_t uid : m_unseen) {
                if (!known.find(imapKey(validity, uid)))
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
            headers.reserve(m_unseen.size());
            uids.reserve(m_unseen.size());
            for (std::uint32_t uid : m_unseen) {
                if (const CachedLine* cached = known.find(imapKey(validity, uid))) {
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

    m_rowUids = uids;
    m_uidValidity = validity;
    listing.identities.reserve(headers.size());
    QHash<QByteArray, CachedLine> toCache;
    toCache.reserve(headers.size());
    for (qsizetype i = 0; i < headers.size(); ++i) {
        const ListedHeader& h = headers.at(i);
        const QByteArray name = imapKey(validity, uids.at(i));
        listing.identities.append(uidIdentity(name));
        toCache.insert(name, {h.line, h.sender, h.subject, h.digest});
    }
    if (failure)
        std::rethrow_exception(failure);
    listing.count = int(headers.size());
    listing.toCache = std::move(toCache);
}

void ImapSession::endCheck(SessionSteps& steps, bool keepForNext)
{
    if (keepForNext) {
        // Push will ask again soon: the next check reads on this
        // connection, without a new log-in.
        m_keptSince = KeptClock::now();
    } else {
        end(steps);
    }
}

void ImapSession::selectForChanges(SessionSteps& steps)
{
    steps.runAskingUser([this] {
        if (!m_imap.connected())
            m_imap.connect();
        if (!m_imap.mailboxOpen() || m_imap.mailbox().readOnly)
            m_imap.selectInbox(false);
    });
}

HeaderMatch ImapSession::compareWithServer(SessionSteps& steps, int row, const ListedLine& line)
{
    if (row >= m_rowUids.size())
        return HeaderMatch::Moved;
    const std::uint32_t uid = m_rowUids.at(row);
    const std::uint32_t validity = m_uidValidity;
    selectForChanges(steps);
    HeaderMatch match = HeaderMatch::Moved;
    steps.run([&] {
        if (m_imap.mailbox().uidValidity != validity)
            return; // every UID names another message now
        std::optional<QByteArray> header;
        m_imap.fetchHeaders({uid}, [&](std::uint32_t, const QByteArray& raw) { header = raw; });
        if (!header)
            return; // gone meanwhile
        match = matchHeader(line, uidIdentity(imapKey(validity, uid)), *header);
    });
    return match;
}

void ImapSession::retrieve(SessionSteps& steps, int row, RetrievedMessage& into)
{
    const std::uint32_t uid = m_rowUids.at(row);
    bool ok = false;
    steps.run([&] { ok = m_imap.fetchMessage(uid, into.message, &into.refusal); });
    end(steps);
    into.outcome = ok ? ActionOutcome::Done : ActionOutcome::Refused;
    if (ok)
        into.seenMark = SeenMark{{m_imap.host, m_imap.port, m_imap.user, true}, m_uidValidity, uid};
}

ActionOutcome ImapSession::remove(SessionSteps& steps, int row)
{
    const std::uint32_t uid = m_rowUids.at(row);
    net::ImapClient::Deletion done{};
    steps.run([&] { done = m_imap.deleteMessage(uid); });
    end(steps);
    return done == net::ImapClient::Deletion::Expunged ? ActionOutcome::Done : ActionOutcome::FlaggedOnly;
}

void ImapSession::markSeen(SessionSteps& steps, const SeenMark& mark)
{
    selectForChanges(steps);
    steps.run([&] {
        // Under another UIDVALIDITY the UID may name another message.
        if (m_imap.mailbox().uidValidity == mark.uidValidity)
            m_imap.markSeen(mark.uid);
    });
    end(steps);
}

void ImapSession::end(SessionSteps& steps)
{
    steps.run([this] { m_imap.logoutWithoutWaiting(); });
}

} // namespace watch
