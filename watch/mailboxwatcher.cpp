#include "mailboxwatcher.h"

#include "certtrust.h"
#include "cleartext.h"
#include "imapsession.h"
#include "log.h"
#include "pop3session.h"

#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <exception>
#include <stdexcept>

namespace watch {

// Marks an operation as running and holds on to the session it uses, so that
// new settings meanwhile do not take it away.
class MailboxWatcher::BusyScope {
public:
    explicit BusyScope(MailboxWatcher& w)
        : m_watcher(w)
        , m_session(w.m_session)
    {
        w.m_busy = true;
    }
    ~BusyScope() { m_watcher.m_busy = false; }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

    MailboxSession& session() const { return *m_session; }

private:
    MailboxWatcher& m_watcher;
    std::shared_ptr<MailboxSession> m_session;
};

MailboxWatcher::MailboxWatcher(QObject* parent)
    : QObject(parent)
{
    m_session = makeSession(m_settings.protocol);
    connect(&m_push, &ImapPush::changed, this, &MailboxWatcher::serverReportedChange);
    connect(&m_push, &ImapPush::stateChanged, this, [this](ImapPush::State state) {
        // Without push there is no news to hurry for; a connection kept
        // for it would only go stale.
        if (state != ImapPush::State::Up)
            m_session->dropKeptConnection(m_busy);
        emit pushDown(state == ImapPush::State::Down);
    });
}

MailboxWatcher::~MailboxWatcher()
{
    m_push.stop();
    m_session->setConnectionEvents(nullptr, nullptr);
}

std::shared_ptr<MailboxSession> MailboxWatcher::makeSession(settings::MailProtocol protocol)
{
    std::shared_ptr<MailboxSession> session;
    if (protocol == settings::MailProtocol::Imap)
        session = std::make_shared<ImapSession>();
    else
        session = std::make_shared<Pop3Session>();
    // The session's events come from the worker thread; they reach the
    // window thread as queued calls, delivered at the latest when the step
    // ends (afterStep), so their order against the step's result holds.
    session->setConnectionEvents(
        [this] { QMetaObject::invokeMethod(this, [this] { emit connectionOpened(); }, Qt::QueuedConnection); },
        [this] { QMetaObject::invokeMethod(this, [this] { emit connectionClosed(); }, Qt::QueuedConnection); });
    session->setOptions(m_options);
    return session;
}

void MailboxWatcher::configure(const settings::MailboxSettings& settings)
{
    // Lines of another mailbox name nothing there: no action reaches them.
    if (settings.protocol != m_settings.protocol || settings.host != m_settings.host
        || settings.port != m_settings.port || settings.user != m_settings.user) {
        m_lines.clear();
        m_session->dropKeptConnection(m_busy);
    }
    if (settings.protocol != m_settings.protocol)
        m_session = makeSession(settings.protocol);
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

bool MailboxWatcher::obtainPassword(MailboxSession& session)
{
    if (m_settings.password.isEmpty() && m_passwordSource) {
        if (!m_sourcedPassword)
            m_sourcedPassword = step([this] { return m_passwordSource(m_settings); });
        if (!m_sourcedPassword) {
            emit passwordUnavailable();
            return false;
        }
    }
    session.setLogin(m_settings.host, m_settings.port, m_settings.user, logInPassword());
    return true;
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

void MailboxWatcher::ensurePush()
{
    if (m_settings.protocol != settings::MailProtocol::Imap || m_settings.host.isEmpty()) {
        m_push.stop();
        return;
    }
    if (m_busy)
        return;
    BusyScope busy(*this);
    if (obtainPassword(busy.session()))
        startPushForAccount();
}

bool MailboxWatcher::sessionOpen() const
{
    return m_session->connected();
}

void MailboxWatcher::setAllowPipelining(bool on)
{
    m_options.allowPipelining = on;
    m_session->setOptions(m_options);
}

void MailboxWatcher::setTimeouts(const net::Timeouts& timeouts)
{
    m_options.timeouts = timeouts;
    m_session->setOptions(m_options);
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

void MailboxWatcher::run(const std::function<void()>& work)
{
    step(work);
}

void MailboxWatcher::runAskingUser(const std::function<void()>& work)
{
    withServerQuestions([&] { step(work); });
}

void MailboxWatcher::withServerQuestions(const std::function<void()>& work)
{
    // A certificate the user may trust is asked about, and a server without
    // encryption gets the password only once the user agreed; after a yes
    // the step is tried once more.
    net::withCertificateTrust([&] { net::withClearTextConsent(work); });
}

MailboxWatcher::CheckReport MailboxWatcher::check()
{
    if (m_busy)
        return {};
    BusyScope busy(*this);
    MailboxSession& session = busy.session();
    if (!obtainPassword(session))
        return {};
    // With IMAP, push is the watch between checks: it runs after a failed
    // check too (a server away at start), and retries on its own.
    const auto push = qScopeGuard([this] { startPushForAccount(); });
    emit checkStarted();
    const CacheOwner owner = cacheOwner();
    const QString path = cachePath();
    const QByteArray key = m_settings.cacheKey;
    session.openForCheck(*this);
    MailboxListing listing;
    std::exception_ptr failure;
    try {
        session.list(*this, listing, [&]() -> const ListCache& {
            loadCacheFor(owner, path, key);
            return m_cache;
        });
    } catch (...) {
        failure = std::current_exception();
    }
    showLines(listing);
    if (failure)
        std::rethrow_exception(failure);
    QList<ListedMessage> listed;
    listed.reserve(listing.headers.size());
    for (qsizetype i = 0; i < listing.headers.size(); ++i)
        listed.append({listing.identities.at(i), listing.headers.at(i).sender, listing.headers.at(i).subject});
    emit messagesListed(listed);
    emit countRead(listing.count);
    session.endCheck(*this, m_push.state() == ImapPush::State::Up);
    if (listing.toCache)
        storeInCache(std::move(*listing.toCache));
    return {true, listing.count};
}

void MailboxWatcher::showLines(const MailboxListing& listing)
{
    const QList<ListedHeader>& headers = listing.headers;
    m_lines.clear();
    m_lines.reserve(headers.size());
    QStringList lines;
    lines.reserve(headers.size());
    for (qsizetype i = 0; i < headers.size(); ++i) {
        m_lines.append({listing.identities.at(i), headers.at(i).digest, headers.at(i).line});
        lines.append(headers.at(i).line);
    }
    emit linesRead(lines);
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
        rt::writeLog(QStringLiteral("ADVARSEL: kan ikke lagre meldingslisten i %1: %2").arg(path, failure));
    }
}

bool MailboxWatcher::stillHolds(MailboxSession& session, int row)
{
    const ListedLine line = m_lines.at(row);
    const QString path = cachePath();
    const HeaderMatch match = session.compareWithServer(*this, row, line);
    // The line came from a cache that is not true to the server (or the
    // server gave an old id to another message): nothing the cache holds is
    // used again, so the next check reads every header.
    if (match == HeaderMatch::Untrue)
        step([&] { dropCache(path); });
    if (match == HeaderMatch::Same)
        return true;
    session.end(*this);
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
    MailboxSession& session = busy.session();
    if (!obtainPassword(session))
        return r;
    emit actionStarted();
    if (!stillHolds(session, row)) {
        r.outcome = Outcome::Changed;
        return r;
    }
    session.retrieve(*this, row, r);
    return r;
}

bool MailboxWatcher::markSeen(const SeenMark& mark)
{
    if (m_busy)
        return false;
    // Only the mailbox the message came from knows it (the owner names the
    // protocol too, so a POP3 session never gets a mark).
    if (mark.account != cacheOwner())
        return true;
    BusyScope busy(*this);
    MailboxSession& session = busy.session();
    if (!obtainPassword(session))
        return true;
    emit actionStarted();
    session.markSeen(*this, mark);
    return true;
}

MailboxWatcher::Outcome MailboxWatcher::deleteMessage(int row)
{
    if (m_busy)
        return Outcome::Ignored;
    if (!lineIdentified(row))
        return Outcome::Unidentified;
    BusyScope busy(*this);
    MailboxSession& session = busy.session();
    if (!obtainPassword(session))
        return Outcome::Ignored;
    emit actionStarted();
    if (!stillHolds(session, row))
        return Outcome::Changed;
    return session.remove(*this, row);
}

} // namespace watch
