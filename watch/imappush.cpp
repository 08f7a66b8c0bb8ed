#include "imappush.h"

#include "imapclient.h"

#include <algorithm>
#include <exception>

namespace watch {

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

void ImapPush::setState(State state)
{
    {
        const std::lock_guard lock(m_mutex);
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
        try {
            client.connect();
            client.selectInbox(true);
            if (!client.hasCapability(QStringLiteral("IDLE"))) {
                client.logoutWithoutWaiting();
                setState(State::Unsupported);
                // Nothing to listen to; only a reconnect (another chance
                // after a wake-up) or the end brings the watch back.
                while (pause(std::chrono::hours(24))) {
                    const std::lock_guard lock(m_mutex);
                    if (m_reconnect)
                        break;
                }
                continue;
            }
            setState(State::Up);
            retry = timing.firstRetry;
            for (;;) {
                const net::ImapClient::IdleEnd end = client.idle(timing.renewIdle);
                if (end == net::ImapClient::IdleEnd::Interrupted)
                    break;
                if (end == net::ImapClient::IdleEnd::Changed) {
                    client.takeChanges();
                    emit changed();
                    continue;
                }
                // Time to renew the IDLE, or the server ended it early: the
                // connection must still answer before it is trusted again.
                client.noop();
                if (client.takeChanges().any())
                    emit changed();
            }
            client.logoutWithoutWaiting();
        } catch (const std::exception&) {
            client.logoutWithoutWaiting();
            {
                const std::lock_guard lock(m_mutex);
                if (m_stop)
                    break;
                if (m_reconnect)
                    continue;
            }
            setState(State::Down);
            if (!pause(retry))
                break;
            retry = std::min(retry * 2, timing.longestRetry);
        }
    }
    client.logoutWithoutWaiting();
    const std::lock_guard lock(m_mutex);
    m_client = nullptr;
}

} // namespace watch
