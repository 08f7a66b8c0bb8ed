// Paces the checks that push asks for. However often a server reports
// changes, one check runs at a time, at most one more waits (every report
// that comes meanwhile is merged into it), and two checks start at least
// minGap apart. A check that failed is tried again after a back-off that
// grows from firstRetry to longestRetry, unless news asks for one sooner.
#pragma once

#include <QObject>

#include <chrono>
#include <functional>
#include <optional>

namespace watch {

class PushCheckPacer : public QObject {
    Q_OBJECT
public:
    struct Timing {
        std::chrono::milliseconds minGap{std::chrono::seconds(2)};
        // How soon to look again while a check cannot start (another
        // exchange runs, a box is open).
        std::chrono::milliseconds blockedRetry{std::chrono::milliseconds(500)};
        std::chrono::milliseconds firstRetry{std::chrono::seconds(2)};
        std::chrono::milliseconds longestRetry{std::chrono::minutes(5)};
    };

    // canStart: whether a check may start now. runCheck: runs one to its
    // end (it may spin an event loop) and tells whether it went through.
    PushCheckPacer(std::function<bool()> canStart, std::function<bool()> runCheck, QObject* parent = nullptr);

    void setTiming(const Timing& timing) { m_timing = timing; }
    // Push reported a change: a check is due.
    void request();

    bool waiting() const { return m_armed || m_pending; }
    bool running() const { return m_running; }

private:
    void armIn(std::chrono::milliseconds wait);
    void fire(quint64 generation);
    std::chrono::milliseconds untilGapPassed() const;

    std::function<bool()> m_canStart;
    std::function<bool()> m_runCheck;
    Timing m_timing;
    bool m_running = false;
    bool m_pending = false; // a request came while a check ran
    bool m_armed = false;   // a start is planned
    quint64 m_generation = 0; // the planned start that still counts
    int m_failures = 0;
    std::optional<std::chrono::steady_clock::time_point> m_lastStart;
};

} // namespace watch
