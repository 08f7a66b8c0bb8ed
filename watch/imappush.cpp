#include "imappush.h"

#include "imapclient.h"

#include <algorithm>
#include <exception>

namespace watch {

namespace {

using Clock = std::chrono::steady_clock;

// Whether the server's report changes what a check would show: an EXISTS
// that repeats the known count is no news.
bool isNews(const net::ImapChanges& changes, std::uint32_t knownExists)
{
    return (changes.exists && *changes.exists != knownExists) || changes.expunged > 0 || changes.flagUpdates > 0
        || changes.uidValidityChanged;
}

} // namespace

ImapPush::ImapPush(QObject* parent)
    : QObject(parent)
{
}

ImapPush::~ImapPush()
{
    stop();
}

void ImapPush::start(const Account& account)
{
    stop();
    m_account = account;
    {
        const std::lock_guard lock(m_mutex);
        m_stop = false;
        m_reconnect = false;
    }
    m_thread = std::thread([this, account, timing = m_timing] { run(account, timing); });
}

void ImapPush::stop()
{
    if (!m_thread.joinable())
        return;
    {
        const std::lock_guard lock(m_mutex);
        m_stop = true;
        if (m_client)
            m_client->interrupt();
    }
    m_wake.notify_all();
    m_thread.join();
    setState(State::Off);
}

void ImapPush::reconnect()
{
    const std::lock_guard lock(m_mutex);
    if (!m_thread.joinable())
        return;
    m_reconnect = true;
    if (m_client)
        m_client->interrupt();
    m_wake.notify_all();
}

ImapPush::State ImapPush::state() const
{
    const std::lock_guard lock(m_mutex);
    return m_state;
}

void ImapPush::reportChange()
{
    // However fast a server reports, at most one report waits for the
    // window thread: the ones that come meanwhile are in it.
    if (m_changeQueued.exchange(true))
        return;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_changeQueued = false;
            emit changed();
        },
        Qt::QueuedConnection);
}

QString ImapPush::failure() const
{
    const std::lock_guard lock(m_mutex);
    return m_state == State::Down ? m_failure : QString();
}

void ImapPush::setState(State state, const QString& failure)
{
    {
        const std::lock_guard lock(m_mutex);
        m_failure = failure;
        if (m_state == state)
            return;
        m_state = state;
    }
    emit stateChanged(state);
}

bool ImapPush::pause(std::chrono::milliseconds wait)
{
    std::unique_lock lock(m_mutex);
    m_wake.wait_for(lock, wait, [this] { return m_stop || m_reconnect; });
    return !m_stop;
}

bool ImapPush::stopRequested()
{
    const std::lock_guard lock(m_mutex);
    return m_stop;
}

void ImapPush::run(Account account, Timing timing)
{
    net::ImapClient client;
    client.host = account.host;
    client.port = account.port;
    client.user = account.user;
    client.password = account.password;
    client.timeouts = timing.timeouts;
    {
        const std::lock_guard lock(m_mutex);
        m_client = &client;
    }
    std::chrono::milliseconds retry = timing.firstRetry;
    for (;;) {
        {
            // Cleared under the lock: a stop() or reconnect() after this
            // point interrupts the new attempt.
            const std::lock_guard lock(m_mutex);
            if (m_stop)
                break;
            if (m_reconnect)
                retry = timing.firstRetry;
            m_reconnect = false;
            client.clearInterrupt();
        }
        std::optional<Clock::time_point> upSince;
        QString failure;
        try {
            watchOneConnection(client, timing, upSince);
            client.logoutWithoutWaiting();
            continue;
        } catch (const net::NetError& e) {
            failure = e.text();
        } catch (const std::exception& e) {
            failure = QString::fromLocal8Bit(e.what());
        }
        client.logoutWithoutWaiting();
        {
            const std::lock_guard lock(m_mutex);
            if (m_stop)
                break;
            if (m_reconnect)
                continue;
        }
        // Only a connection that held starts the back-off afresh: one the
        // server takes and drops at once would otherwise be reopened every
        // firstRetry for ever.
        if (upSince && Clock::now() - *upSince >= timing.heldAfter)
            retry = timing.firstRetry;
        setState(State::Down, failure);
        if (!pause(retry))
            break;
        retry = std::min(retry * 2, timing.longestRetry);
    }
    client.logoutWithoutWaiting();
    const std::lock_guard lock(m_mutex);
    m_client = nullptr;
}

void ImapPush::watchOneConnection(net::ImapClient& client, const Timing& timing,
                                  std::optional<Clock::time_point>& upSince)
{
    client.connect();
    client.selectInbox(true);
    if (!client.hasCapability(QStringLiteral("IDLE"))) {
        client.logoutWithoutWaiting();
        setState(State::Unsupported);
        // Nothing to listen to; only a reconnect (another chance after a
        // wake-up) or the end brings the watch back.
        while (pause(std::chrono::hours(24))) {
            const std::lock_guard lock(m_mutex);
            if (m_reconnect)
                break;
        }
        return;
    }
    upSince = Clock::now();
    setState(State::Up);
    // IDLE tells only what changes from now on: what came while there was
    // no connection is read by a check.
    client.takeChanges();
    std::uint32_t known = client.mailbox().exists;
    reportChange();
    int quickEnds = 0;
    for (;;) {
        // One IDLE, renewed after renewIdle. News is taken while the IDLE
        // stands: no round trip, and a server repeating itself costs
        // nothing but the reading.
        const Clock::time_point began = Clock::now();
        net::ImapClient::IdleEnd end;
        for (;;) {
            const auto left = std::max(std::chrono::milliseconds(0),
                                       timing.renewIdle
                                           - std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began));
            end = client.idle(left, net::ImapClient::OnChange::KeepIdling);
            if (end != net::ImapClient::IdleEnd::Changed)
                break;
            if (isNews(client.takeChanges(), known))
                reportChange();
            known = client.mailbox().exists;
        }
        if (end == net::ImapClient::IdleEnd::Interrupted)
            return;
        // Time to renew the IDLE, or the server ended it: the connection
        // must still answer before it is trusted again, and what the answer
        // brings counts.
        client.noop();
        const bool news = isNews(client.takeChanges(), known);
        known = client.mailbox().exists;
        if (news)
            reportChange();
        const auto lasted = Clock::now() - began;
        if (end == net::ImapClient::IdleEnd::TimeUp || lasted >= timing.quickRound) {
            quickEnds = 0;
            continue;
        }
        // The server ended the IDLE at once: the next one waits, so it
        // cannot make IDLE spin, and a server that does so again and again
        // will not let it stand: a failed connection.
        quickEnds = news ? 0 : quickEnds + 1;
        if (quickEnds >= timing.quickEndLimit)
            throw net::NetError(QStringLiteral("%1 avslutter IDLE med en gang, gang på gang").arg(client.host));
        if (!pause(std::chrono::duration_cast<std::chrono::milliseconds>(timing.quickRound - lasted)))
            return;
        const std::lock_guard lock(m_mutex);
        if (m_reconnect)
            return;
    }
}

} // namespace watch
