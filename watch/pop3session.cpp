#include "pop3session.h"

#include <exception>

namespace watch {

void Pop3Session::setConnectionEvents(std::function<void()> opened, std::function<void()> closed)
{
    m_client.onConnected = std::move(opened);
    m_client.onDisconnected = std::move(closed);
}

void Pop3Session::setOptions(const SessionOptions& options)
{
    m_client.timeouts = options.timeouts;
    m_client.allowPipelining = options.allowPipelining;
}

void Pop3Session::setLogin(const QString& host, std::uint16_t port, const QString& user, const QString& password)
{
    m_client.host = host;
    m_client.port = port;
    m_client.user = user;
    m_client.password = password;
}

void Pop3Session::connectUnlessOpen(SessionSteps& steps, net::Pop3Client::AfterLogin after)
{
    steps.runAskingUser([this, after] {
        if (!m_client.connected())
            m_client.connect(after);
    });
}

void Pop3Session::openForCheck(SessionSteps& steps)
{
    steps.run([this] {
        if (m_client.connected())
            m_client.disconnect(); // left over from a failed step
    });
    connectUnlessOpen(steps, net::Pop3Client::AfterLogin::Count);
    steps.run([this] { m_count = m_client.messageCount(); });
}

void Pop3Session::readChangedHeaders(int count, const std::map<int, QByteArray>& uids, const QList<int>& toRead,
                                     const ListCache& cache, QList<ListedHeader>& headers)
{
    const auto sink = [&](int, const QByteArray& raw) { headers.append(describeHeader(raw)); };
    qsizetype next = 0; // the next number of toRead
    for (int n = 1; n <= count;) {
        if (next < toRead.size() && toRead.at(next) == n) {
            int last = n;
            while (next + 1 < toRead.size() && toRead.at(next + 1) == last + 1) {
                ++next;
                ++last;
            }
            ++next;
            m_client.retrieveHeaders(n, last, sink);
            n = last + 1;
        } else {
            const CachedLine* cached = cache.find(uids.at(n));
            headers.append({cached->line, cached->sender, cached->subject, {}, {}, cached->digest});
            ++n;
        }
    }
}

void Pop3Session::list(SessionSteps& steps, MailboxListing& listing, const CacheSource& cache)
{
    const int count = m_count;
    listing.count = count;
    if (count <= 0) {
        // An empty mailbox leaves no line standing for a message it no
        // longer holds, and nothing in the cache.
        listing.toCache.emplace();
        return;
    }
    std::optional<std::map<int, QByteArray>> uids;
    QList<ListedHeader>& headers = listing.headers;
    bool uidsFit = false;
    std::exception_ptr failure;
    try {
        steps.run([&] {
            const ListCache& known = cache();
            uids = m_client.uniqueIds();
            headers.reserve(count);
            if (const auto toRead = numbersToRead(count, uids, known)) {
                uidsFit = true;
                readChangedHeaders(count, *uids, *toRead, known, headers);
            } else {
                m_client.retrieveHeaders(1, count, [&](int, const QByteArray& raw) { headers.append(describeHeader(raw)); });
            }
        });
    } catch (...) {
        failure = std::current_exception();
    }
    listing.identities = assignIdentities(uids, headers);
    if (failure)
        std::rethrow_exception(failure);
    // Without a unique id for every number the cache is of no use to the
    // next check; it is left as it is.
    if (!uidsFit)
        return;
    QHash<QByteArray, CachedLine> cached;
    cached.reserve(count);
    for (const auto& [number, uid] : *uids) {
        const ListedHeader& h = headers.at(number - 1);
        cached.insert(uid, {h.line, h.sender, h.subject, h.digest});
    }
    listing.toCache = std::move(cached);
}

void Pop3Session::endCheck(SessionSteps& steps, bool)
{
    steps.run([this] { m_client.quitWithoutWaiting(); });
}

HeaderMatch Pop3Session::compareWithServer(SessionSteps& steps, int row, const ListedLine& line)
{
    connectUnlessOpen(steps, net::Pop3Client::AfterLogin::Nothing);
    const int number = row + 1;
    HeaderMatch match = HeaderMatch::Moved;
    steps.run([&] {
        LineIdentity uidNow;
        if (line.identity.kind == IdentityKind::Uid) {
            const auto uid = m_client.uniqueId(number);
            uidNow = uid ? uidIdentity(*uid) : LineIdentity{};
            if (uidNow != line.identity)
                return; // moved
        }
        QByteArray header;
        try {
            header = m_client.retrieveHeader(number);
        } catch (const net::NetError&) {
            if (!m_client.connected())
                throw;
            return; // "-ERR": no such message any more
        }
        match = matchHeader(line, uidNow, header);
    });
    return match;
}

void Pop3Session::retrieve(SessionSteps& steps, int row, RetrievedMessage& into)
{
    bool ok = false;
    steps.run([&] { ok = m_client.retrieveRaw(row + 1, into.message, &into.refusal); });
    end(steps);
    into.outcome = ok ? ActionOutcome::Done : ActionOutcome::Refused;
}

ActionOutcome Pop3Session::remove(SessionSteps& steps, int row)
{
    steps.run([&] { m_client.deleteMessage(row + 1); });
    try {
        // The server removes the message only when it gets QUIT and ends
        // the session properly.
        steps.run([this] { m_client.quit(); });
    } catch (const net::NetError& e) {
        throw net::NetError(QStringLiteral("Serveren bekreftet ikke slettingen, så meldingen er ikke slettet: %1")
                                .arg(e.text()));
    }
    return ActionOutcome::Done;
}

void Pop3Session::end(SessionSteps& steps)
{
    steps.run([this] { m_client.disconnect(); });
}

} // namespace watch
