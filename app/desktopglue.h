// The strip's ties to the desktop: one notification when a check finds new
// mail (its default action shows the strip), and a check soon after the
// machine wakes from sleep or the network comes up.
#pragma once

#include "mailboxwatcher.h"
#include "notifier.h"
#include "resumewatch.h"

#include <QDBusConnection>
#include <QObject>

namespace app {

class StripWindow;

class DesktopGlue : public QObject {
    Q_OBJECT
public:
    // sessionBus carries the notifications, systemBus the sleep and network
    // signals.
    DesktopGlue(StripWindow* strip, const QDBusConnection& sessionBus, const QDBusConnection& systemBus);

    // How long after a wake-up the check comes: the network needs a moment.
    static constexpr int kResumeCheckDelayMs = 3000;

private:
    void onMessagesListed(const QList<watch::ListedMessage>& messages);

    StripWindow* m_strip;
    desktop::NewMailTracker m_tracker;
    desktop::DesktopNotifier m_notifier;
    desktop::ResumeWatcher m_resume;
};

// What stands for a message across checks: its identity, empty when the
// message cannot be told apart from others.
QString messageKey(const watch::LineIdentity& identity);

} // namespace app
