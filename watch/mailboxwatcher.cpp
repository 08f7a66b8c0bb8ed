#include "mailboxwatcher.h"

#include "certtrust.h"
#include "lineidentity.h"
#include "cleartext.h"
#include "textfil.h"

#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <exception>
#include <stdexcept>

namespace watch {

// Marks an operation as running and hands the settings to the session; the
// worker thread reads the session's fields only while no settings change.
class MailboxWatcher::BusyScope {
public:
    explicit BusyScope(MailboxWatcher& w)
        : m_watcher(w)
    {
        w.m_busy = true;
        w.m_client.host = w.m_settings.host;
        w.m_client.port = w.m_settings.port;
        w.m_client.user = w.m_settings.user;
        w.m_client.password = w.m_settings.password;
        w.m_imap.host = w.m_settings.host;
        w.m_imap.port = w.m_settings.port;
        w.m_imap.user = w.m_settings.user;
        w.m_imap.password = w.m_settings.password;
    }
    ~BusyScope() { m_watcher.m_busy = false; }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    MailboxWatcher& m_watcher;
};

MailboxWatcher::MailboxWatcher(QObject* parent)
    : QObject(parent)
{
    // The session's events come from the worker thread; they reach the
    // window thread as queued calls, delivered at the latest when the step
    // ends (afterStep), so their order against the step's result holds.
    m_client.onConnected = [this] {
        QMetaObject::invokeMethod(this, [this] { emit connectionOpened(); }, Qt::QueuedConnection);
    };
    m_client.onDisconnected = [this] {
        QMetaObject::invokeMethod(this, [this] { emit connectionClosed(); }, Qt::QueuedConnection);
    };
    m_imap.onConnected = m_client.onConnected;
    m_imap.onDisconnected = m_client.onDisconnected;
    connect(&m_push, &ImapPush::changed, this, &MailboxWatcher::serverReportedChange);
    connect(&m_push, &ImapPush::stateChanged, this, [this](ImapPush::State state) {
        // Without push there is no news to hurry for; a connection kept
        // for it would only go stale.
        if (state != ImapPush::State::Up)
            dropKeptSession();
        emit pushDown(state == ImapPush::State::Down);
    });
}

MailboxWatcher::~MailboxWatcher()
{
    m_push.stop();
    m_client.onConnected = nullptr;
    m_client.onDisconnected = nullptr;
    m_imap.onConnected = nullptr;
    m_imap.onDisconnected = nullptr;
}

void MailboxWatcher::configure(const settings::MailboxSettings& settings)
{
    // Lines of another mailbox name nothing there: no action reaches them.
    if (settings.protocol != m_settings.protocol || settings.host != m_settings.host
        || settings.port != m_settings.port || settings.user != m_settings.user) {
        m_lines.clear();
        m_rowUids.clear();
        dropKeptSession();
    }
    m_settings = settings;
    // The push listens to the account of its start only.
    if (m_push.running() && (settings.protocol != settings::MailProtocol::Imap || m_push.account() != pushAccount()))
        m_push.stop();
    // The source's password is asked again for the next operation (it may
    // have changed in the keyring); a push of the same account keeps its
    // own until the next check restarts it with a changed one.
    m_sourcedPassword.reset();
}

void MailboxWatcher::setPasswordSource(PasswordSource source)
{
    m_passwordSource = std::move(source);
    m_sourcedPassword.reset();
}

QString MailboxWatcher::logInPassword() const
{
    return m_settings.password.isEmpty() ? m_sourcedPassword.value_or(QString()) : m_settings.password;
}

bool MailboxWatcher::obtainPassword()
{
    if (!m_settings.password.isEmpty() || !m_passwordSource)
        return true;
    if (!m_sourcedPassword)
        m_sourcedPassword = step([this] { return m_passwordSource(m_settings); });
    if (!m_sourcedPassword) {
        emit passwordUnavailable();
        return false;
    }
    m_client.password = *m_sourcedPassword;
    m_imap.password = *m_sourcedPassword;
    return true;
}

void MailboxWatcher::ensurePush()
{
    if (m_settings.protocol != settings::MailProtocol::Imap || m_settings.host.isEmpty()) {
        m_push.stop();
        return;
    }
    if (m_busy)
        return;
    BusyScope busy(*this);
    if (obtainPassword())
        startPushForAccount();
}

bool MailboxWatcher::markSeen(const SeenMark& mark)
{
    if (m_busy)
        return false;
    if (m_settings.protocol != settings::MailProtocol::Imap || mark.account != cacheOwner())
        return true;
    BusyScope busy(*this);
    if (!obtainPassword())
        return true;
    emit actionStarted();
    selectForChanges();
    step([&] {
        // Under another UIDVALIDITY the UID may name another message.
        if (m_imap.mailbox().uidValidity == mark.uidValidity)
            m_imap.markSeen(mark.uid);
    });
    step([this] { m_imap.logoutWithoutWaiting(); });
    return true;
}

bool MailboxWatcher::sessionOpen() const
{
    return m_client.connected() || m_imap.connected();
}

void MailboxWatcher::setAllowPipelining(bool on)
{
    m_client.allowPipelining = on;
}

void MailboxWatcher::setTimeouts(const net::Timeouts& timeouts)
{
    m_client.timeouts = timeouts;
    m_imap.timeouts = timeouts;
}

bool MailboxWatcher::lineIdentified(int row) const
{
    return row >= 0 && row < m_lines.size() && m_lines.at(row).identity.known();
}

void MailboxWatcher::afterStep()
{
    m_stepRunning = false;
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
}

void MailboxWatcher::withServerQuestions(const std::function<void()>& work)
{
    // A certificate the user may trust is asked about, and a server without
    // encryption gets the password only once the user agreed; after a yes
    // the step is tried once more.
    net::withCertificateTrust([&] { net::withClearTextConsent(work); });
}

void MailboxWatcher::connectUnlessOpen(net::Pop3Client::AfterLogin after)
{
    withServerQuestions([this, after] {
        step([this, after] {
            if (!m_client.connected())
                m_client.connect(after);
        });
    });
}

MailboxWatcher::CheckReport MailboxWatcher::check()
{
    if (m_busy)
        return {};
    BusyScope busy(*this);
    if (!obtainPassword())
        return {};
    if (m_settings.protocol == settings::MailProtocol::Imap)
        return checkImap();
    emit checkStarted();
    step([this] {
        if (m_client.connected())
            m_client.disconnect(); // left over from a failed step
    });
    connectUnlessOpen(net::Pop3Client::AfterLogin::Count);
    const int count = step([this] { return m_client.messageCount(); });
    std::optional<QHash<QByteArray, CachedLine>> toCache;
    if (count > 0) {
        toCache = readLines(count);
    } else {
        // An empty mailbox leaves no line standing for a message it no
        // longer holds.
        m_lines.clear();
        toCache.emplace();
        emit linesRead(QStringList());
        emit messagesListed({});
    }
    emit countRead(count);
    step([this] { m_client.quitWithoutWaiting(); });
    if (toCache)
        storeInCache(std::move(*toCache));
    return {true, count};
}

CacheOwner MailboxWatcher::cacheOwner() const
{
    return {m_settings.host, m_settings.port, m_settings.user, m_settings.protocol == settings::MailProtocol::Imap};
}

QString MailboxWatcher::cachePath() const
{
    if (m_settings.cacheFolder.isEmpty() || m_settings.cacheKey.isEmpty())
        return {};
    return ListCache::fileName(m_settings.cacheFolder, cacheOwner());
}

void MailboxWatcher::loadCacheFor(const CacheOwner& owner, const QString& path, const QByteArray& key)
{
    if (m_cacheLoaded && m_cache.owner() == owner)
        return;
    if (path.isEmpty())
        m_cache.reset(owner);
    else
        m_cache = ListCache::load(path, owner, key);
    m_cacheLoaded = true;
}

void MailboxWatcher::dropCache(const QString& path)
{
    m_cache.reset(m_cache.owner());
    if (!path.isEmpty())
        QFile::remove(path);
}

void MailboxWatcher::storeInCache(QHash<QByteArray, CachedLine> lines)
{
    const QString path = cachePath();
    const CacheOwner owner = cacheOwner();
    const QByteArray key = m_settings.cacheKey;
    const QString failure = step([&]() -> QString {
        loadCacheFor(owner, path, key);
        if (!m_cache.replace(std::move(lines)) || path.isEmpty())
            return {};
        return m_cache.save(path, key);
    });
    // A cache that cannot be written costs only speed: the next run reads
    // the whole list. Told once per run.
    if (!failure.isEmpty() && !m_cacheFailureLogged) {
        m_cacheFailureLogged = true;
        rt::WriteLog(QStringLiteral("ADVARSEL: kan ikke lagre meldingslisten i %1: %2").arg(path, failure));
    }
}

void MailboxWatcher::readChangedHeaders(int count, const std::map<int, QByteArray>& uids, const QList<int>& toRead,
                                        QList<ListedHeader>& headers)
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
            const CachedLine* cached = m_cache.find(uids.at(n));
            headers.append({cached->line, cached->sender, cached->subject, {}, {}, cached->digest});
            ++n;
        }
    }
}

std::optional<QHash<QByteArray, CachedLine>> MailboxWatcher::readLines(int count)
{
    const CacheOwner owner = cacheOwner();
    const QString path = cachePath();
    const QByteArray key = m_settings.cacheKey;
    std::optional<std::map<int, QByteArray>> uids;
    QList<ListedHeader> headers;
    bool uidsFit = false;
    std::exception_ptr failure;
    try {
        step([&] {
            loadCacheFor(owner, path, key);
            uids = m_client.uniqueIds();
            headers.reserve(count);
            if (const auto toRead = numbersToRead(count, uids, m_cache)) {
                uidsFit = true;
                readChangedHeaders(count, *uids, *toRead, headers);
            } else {
                m_client.retrieveHeaders(1, count, [&](int, const QByteArray& raw) { headers.append(describeHeader(raw)); });
            }
        });
    } catch (...) {
        failure = std::current_exception();
    }
    const QList<LineIdentity> identities = assignIdentities(uids, headers);
    m_lines.clear();
    m_lines.reserve(headers.size());
    QStringList lines;
    lines.reserve(headers.size());
    for (qsizetype i = 0; i < headers.size(); ++i) {
        m_lines.append({identities.at(i), headers.at(i).digest, headers.at(i).line});
        lines.append(headers.at(i).line);
    }
    emit linesRead(lines);
    if (failure)
        std::rethrow_exception(failure);
    QList<ListedMessage> listed;
    listed.reserve(headers.size());
    for (qsizetype i = 0; i < headers.size(); ++i)
        listed.append({identities.at(i), headers.at(i).sender, headers.at(i).subject});
    emit messagesListed(listed);
    if (!uidsFit)
        return std::nullopt;
    QHash<QByteArray, CachedLine> cached;
    cached.reserve(count);
    for (const auto& [number, uid] : *uids) {
        const ListedHeader& h = headers.at(number - 1);
        cached.insert(uid, {h.line, h.sender, h.subject, h.digest});
    }
    return cached;
}

bool MailboxWatcher::stillNamesItsMessage(int row)
{
    const ListedLine line = m_lines.at(row);
    const int number = row + 1;
    const QString path = cachePath();
    const HeaderMatch match = step([&]() -> HeaderMatch {
        LineIdentity uidNow;
        if (line.identity.kind == IdentityKind::Uid) {
            const auto uid = m_client.uniqueId(number);
            uidNow = uid ? uidIdentity(*uid) : LineIdentity{};
            if (uidNow != line.identity)
                return HeaderMatch::Moved;
        }
        QByteArray header;
        try {
            header = m_client.retrieveHeader(number);
        } catch (const net::NetError&) {
            if (!m_client.connected())
                throw;
            return HeaderMatch::Moved; // "-ERR": no such message any more
        }
        const HeaderMatch m = matchHeader(line, uidNow, header);
        // The line came from a cache that is not true to the server (or
        // the server gave an old id to another message): nothing the cache
        // holds is used again, so the next check reads every header.
        if (m == HeaderMatch::Untrue)
            dropCache(path);
        return m;
    });
    if (match == HeaderMatch::Same)
        return true;
    step([this] { m_client.disconnect(); });
    return false;
}

MailboxWatcher::Retrieved MailboxWatcher::retrieveMessage(int row)
{
    Retrieved r;
    if (m_busy)
        return r;
    if (!lineIdentified(row)) {
        r.outcome = Outcome::Unidentified;
        return r;
    }
    BusyScope busy(*this);
    if (!obtainPassword())
        return r;
    emit actionStarted();
    if (m_settings.protocol == settings::MailProtocol::Imap)
        return retrieveImap(row);
    connectUnlessOpen();
    if (!stillNamesItsMessage(row)) {
        r.outcome = Outcome::Changed;
        return r;
    }
    const bool ok = step([&] { return m_client.retrieveRaw(row + 1, r.message, &r.refusal); });
    step([this] { m_client.disconnect(); });
    r.outcome = ok ? Outcome::Done : Outcome::Refused;
    return r;
}

MailboxWatcher::Outcome MailboxWatcher::deleteMessage(int row)
{
    if (m_busy)
        return Outcome::Ignored;
    if (!lineIdentified(row))
        return Outcome::Unidentified;
    BusyScope busy(*this);
    if (!obtainPassword())
        return Outcome::Ignored;
    emit actionStarted();
    if (m_settings.protocol == settings::MailProtocol::Imap)
        return deleteImap(row);
    connectUnlessOpen();
    if (!stillNamesItsMessage(row))
        return Outcome::Changed;
    step([&] { m_client.deleteMessage(row + 1); });
    try {
        // The server removes the message only when it gets QUIT and ends
        // the session properly.
        step([this] { m_client.quit(); });
    } catch (const net::NetError& e) {
        throw net::NetError(QStringLiteral("Serveren bekreftet ikke slettingen, så meldingen er ikke slettet: %1")
                                .arg(e.text()));
    }
    return Outcome::Done;
}

} // namespace watch
