#include "pushcheckpacer.h"

#include <QPointer>
#include <QTimer>

#include <algorithm>

namespace watch {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

PushCheckPacer::PushCheckPacer(std::function<bool()> canStart, std::function<bool()> runCheck, QObject* parent)
    : QObject(parent)
    , m_canStart(std::move(canStart))
    , m_runCheck(std::move(runCheck))
{
}

milliseconds PushCheckPacer::untilGapPassed() const
{
    if (!m_lastStart)
        return milliseconds(0);
    const auto since = std::chrono::duration_cast<milliseconds>(Clock::now() - *m_lastStart);
    return std::max(milliseconds(0), m_timing.minGap - since);
}

void PushCheckPacer::request()
{
    if (m_running) {
        m_pending = true;
        return;
    }
    // News overrides a failure's longer wait, but never the gap.
    armIn(untilGapPassed());
}

void PushCheckPacer::armIn(milliseconds wait)
{
    // A new plan replaces the one before; the stale timer finds its
    // generation gone and does nothing.
    const quint64 generation = ++m_generation;
    m_armed = true;
    QTimer::singleShot(wait, this, [this, generation] { fire(generation); });
}

void PushCheckPacer::fire(quint64 generation)
{
    if (generation != m_generation || !m_armed)
        return;
    m_armed = false;
    if (!m_canStart()) {
        armIn(std::max(m_timing.blockedRetry, untilGapPassed()));
        return;
    }
    m_running = true;
    m_lastStart = Clock::now();
    const QPointer<PushCheckPacer> self(this);
    const bool ok = m_runCheck();
    if (!self)
        return;
    m_running = false;
    m_failures = ok ? 0 : m_failures + 1;
    if (m_pending) {
        m_pending = false;
        armIn(untilGapPassed());
    } else if (!ok) {
        milliseconds wait = m_timing.firstRetry;
        for (int i = 1; i < m_failures && wait < m_timing.longestRetry; ++i)
            wait *= 2;
        armIn(std::max(std::min(wait, m_timing.longestRetry), untilGapPassed()));
    }
}

} // namespace watch
