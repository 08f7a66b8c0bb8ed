// Notices that the machine woke from suspend or that the network came up,
// so the schedule can check at once instead of waiting out its interval.
#pragma once

#include <QDBusConnection>
#include <QElapsedTimer>
#include <QObject>

class QTimer;

namespace desktop {

class ResumeWatcher : public QObject {
    Q_OBJECT
public:
    // Listens on bus (the system bus in the program) for logind's
    // PrepareForSleep(false) and for NetworkManager reaching full
    // connectivity; and, on any machine, for the wall clock running ahead
    // of the monotonic clock, which stops while the machine sleeps.
    explicit ResumeWatcher(const QDBusConnection& bus, QObject* parent = nullptr);

    // How often the clocks are compared.
    static constexpr int kClockPollMs = 5000;
    // A gap larger than this between the two clocks counts as a sleep.
    static constexpr qint64 kSleepGapMs = 30000;

signals:
    void resumed();

private slots:
    void onPrepareForSleep(bool goingToSleep);
    void onNetworkState(uint state);

private:
    void compareClocks();

    QTimer* m_clockPoll;
    QElapsedTimer m_monotonic;
    qint64 m_wallAtStart = 0;
};

} // namespace desktop
