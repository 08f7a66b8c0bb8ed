// Push for an IMAP INBOX: a connection of its own, on a thread of its own,
// kept in IDLE, that tells the moment the server reports a change (a new
// message, one removed, flags changed). The check that follows runs on the
// watcher's usual path; this connection only listens.
//
// Long-lived connections die quietly, so the watch does not trust one: IDLE
// is renewed at least every renewIdle (servers and NAT gateways drop idle
// connections long before RFC 2177's 29 minutes), each renewal is preceded
// by a NOOP that must be answered within the reply time-out, a connection
// that fails is reopened after a back-off (firstRetry doubling up to
// longestRetry), and reconnect() replaces it at once (after a wake-up from
// sleep or a network change). stop() ends it within a second.
//
// IDLE tells only what changes after it began, so every connection that
// comes up reports changed() once: what arrived while push was away is then
// read by a check. A server that misbehaves cannot make the watch spin: an
// EXISTS repeating the known count is no change, IDLE rounds come at most
// one per quickRound, a run of rounds the server ends at once without news
// counts as a failed connection, and the back-off returns to its first step
// only once a connection has held for heldAfter.
#pragma once

#include "neterror.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>

namespace net {
class ImapClient;
}

namespace watch {

class ImapPush : public QObject {
    Q_OBJECT
public:
    struct Account {
        QString host;
        std::uint16_t port = 143;
        QString user;
        QString password;
        bool operator==(const Account&) const = default;
    };
    struct Timing {
        std::chrono::milliseconds renewIdle{std::chrono::minutes(10)};
        std::chrono::milliseconds firstRetry{std::chrono::seconds(1)};
        std::chrono::milliseconds longestRetry{std::chrono::minutes(5)};
        net::Timeouts timeouts{};
        // The shortest IDLE round: one that ends sooner is followed by a
        // pause until this much has passed since it began.
        std::chrono::milliseconds quickRound{std::chrono::seconds(1)};
        // Quick rounds in a row that brought no news before the connection
        // is given up as failing.
        int quickEndLimit = 3;
        // How long a connection must have stood before a failure starts
        // the back-off from firstRetry again.
        std::chrono::milliseconds heldAfter{std::chrono::minutes(1)};
    };
    enum class State {
        Off,         // not watching
        Up,          // in IDLE: changes arrive as they happen
        Down,        // the connection failed; waiting to try again
        Unsupported, // the server lists no IDLE: the schedule is the only trigger
    };
    Q_ENUM(State)

    explicit ImapPush(QObject* parent = nullptr);
    ~ImapPush() override; // stop()

    // For the next start().
    void setTiming(const Timing& timing) { m_timing = timing; }
    // Watches the account's INBOX from now on, replacing any running watch.
    void start(const Account& account);
    // Ends the watch: the IDLE ends at once and the connection is closed
    // without waiting for the server. Returns when the thread has ended.
    void stop();
    // Replaces the connection at once, without waiting out a back-off.
    void reconnect();

    bool running() const { return m_thread.joinable(); }
    const Account& account() const { return m_account; }
    State state() const;
    // Why the last connection failed, while the state is Down.
    QString failure() const;

signals:
    // The server reported a change in INBOX, or a connection came up (what
    // changed while there was none is not known). Sent on the thread this
    // object lives in; reports that come while one waits to be sent are
    // merged into it.
    void changed();
    void stateChanged(watch::ImapPush::State state);

private:
    void run(Account account, Timing timing);
    // One connection: up, then IDLE rounds until it fails or is interrupted.
    // upSince is set once the mailbox is open.
    void watchOneConnection(net::ImapClient& client, const Timing& timing,
                            std::optional<std::chrono::steady_clock::time_point>& upSince);
    void setState(State state, const QString& failure = {});
    // The watch's thread: queues changed() unless it is queued already.
    void reportChange();
    // Waits up to wait, or until stop() or reconnect(); false after stop().
    bool pause(std::chrono::milliseconds wait);
    bool stopRequested();

    Account m_account;
    Timing m_timing;
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    net::ImapClient* m_client = nullptr; // the thread's, while it runs
    bool m_stop = false;
    bool m_reconnect = false;
    State m_state = State::Off;
    QString m_failure;
    std::atomic<bool> m_changeQueued{false};
};

} // namespace watch
