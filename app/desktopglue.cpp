#include "desktopglue.h"

#include "errordisplay.h"
#include "stripwindow.h"

#include <QTimer>

namespace app {

QString messageKey(const watch::LineIdentity& identity)
{
    if (!identity.known())
        return QString();
    return QString::number(int(identity.kind)) + QLatin1Char(':') + QString::number(identity.hash, 16);
}

DesktopGlue::DesktopGlue(StripWindow* strip, const QDBusConnection& sessionBus, const QDBusConnection& systemBus)
    : QObject(strip), m_strip(strip), m_notifier(sessionBus), m_resume(systemBus)
{
    connect(&m_strip->watcher(), &watch::MailboxWatcher::messagesListed, this, &DesktopGlue::onMessagesListed);
    // Queued: showing the strip may check the mailbox and open boxes, whose
    // event loops must not run inside the D-Bus signal's delivery.
    connect(
        &m_notifier, &desktop::DesktopNotifier::activated, this,
        [this] { rt::runHandler([this] { m_strip->showStrip(); }); }, Qt::QueuedConnection);
    connect(&m_resume, &desktop::ResumeWatcher::resumed, this, [this] {
        // A push connection from before the sleep (or on the old network)
        // is dead whatever it seems: replaced at once.
        m_strip->watcher().reconnectPush();
        QTimer::singleShot(kResumeCheckDelayMs, m_strip, [this] { m_strip->onScheduleTick(); });
    });
}

void DesktopGlue::onMessagesListed(const QList<watch::ListedMessage>& messages)
{
    QList<desktop::MailEntry> entries;
    entries.reserve(messages.size());
    for (const watch::ListedMessage& m : messages)
        entries.append({messageKey(m.identity), m.sender, m.subject});
    // The tracker learns what is there even while notifications are off, so
    // switching them on later announces only what is new from then on.
    const QList<desktop::MailEntry> fresh = m_tracker.update(entries);
    if (m_strip->watcher().settings().notifyOnNew)
        m_notifier.announce(fresh);
}

} // namespace app
