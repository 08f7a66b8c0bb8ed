#include "resumewatch.h"

#include <QDateTime>
#include <QTimer>

namespace desktop {

namespace {
// NM_STATE_CONNECTED_GLOBAL: the network is up with full connectivity.
constexpr uint kNetworkConnectedGlobal = 70;
} // namespace

ResumeWatcher::ResumeWatcher(const QDBusConnection& bus, QObject* parent)
    : QObject(parent), m_clockPoll(new QTimer(this))
{
    QDBusConnection connection(bus);
    if (connection.isConnected()) {
        connection.connect(QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
                           QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PrepareForSleep"),
                           this, SLOT(onPrepareForSleep(bool)));
        connection.connect(QStringLiteral("org.freedesktop.NetworkManager"),
                           QStringLiteral("/org/freedesktop/NetworkManager"),
                           QStringLiteral("org.freedesktop.NetworkManager"), QStringLiteral("StateChanged"), this,
                           SLOT(onNetworkState(uint)));
    }
    m_monotonic.start();
    m_wallAtStart = QDateTime::currentMSecsSinceEpoch();
    m_clockPoll->setInterval(kClockPollMs);
    connect(m_clockPoll, &QTimer::timeout, this, &ResumeWatcher::compareClocks);
    m_clockPoll->start();
}

void ResumeWatcher::onPrepareForSleep(bool goingToSleep)
{
    if (!goingToSleep)
        emit resumed();
}

void ResumeWatcher::onNetworkState(uint state)
{
    if (state == kNetworkConnectedGlobal)
        emit resumed();
}

void ResumeWatcher::compareClocks()
{
    const qint64 gap = (QDateTime::currentMSecsSinceEpoch() - m_wallAtStart) - m_monotonic.elapsed();
    if (gap > kSleepGapMs || gap < -kSleepGapMs) {
        // Also a wall clock set by hand lands here: one early check, no harm.
        m_monotonic.restart();
        m_wallAtStart = QDateTime::currentMSecsSinceEpoch();
        if (gap > 0)
            emit resumed();
    }
}

} // namespace desktop
