#include "notifier.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

namespace desktop {

namespace {
const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
} // namespace

QList<MailEntry> NewMailTracker::update(const QList<MailEntry>& entries)
{
    QList<MailEntry> fresh;
    QSet<QString> now;
    for (const MailEntry& e : entries) {
        if (e.id.isEmpty())
            continue;
        now.insert(e.id);
        if (m_primed && !m_seen.contains(e.id))
            fresh.append(e);
    }
    // Only what is on the server now is kept, so the set stays small.
    m_seen = std::move(now);
    m_primed = true;
    return fresh;
}

namespace {
// Control characters and direction overrides from a header would garble or
// disguise the text; each shows as a blank.
QString plain(const QString& text)
{
    QString out = text;
    for (QChar& c : out) {
        const QChar::Category cat = c.category();
        if (cat == QChar::Other_Control || cat == QChar::Other_Format)
            c = QLatin1Char(' ');
    }
    return out.trimmed();
}
} // namespace

NotificationText notificationText(const QList<MailEntry>& fresh)
{
    NotificationText text;
    if (fresh.isEmpty())
        return text;
    const MailEntry& newest = fresh.last();
    text.summary = plain(newest.sender).isEmpty() ? QStringLiteral("Ny epost") : plain(newest.sender);
    text.body = plain(newest.subject);
    if (fresh.size() > 1) {
        if (!text.body.isEmpty())
            text.body += QLatin1Char('\n');
        text.body += QStringLiteral("og %1 andre").arg(fresh.size() - 1);
    }
    // The service reads a little markup in the body; the mail's own text
    // must show as it is.
    text.body = text.body.toHtmlEscaped();
    return text;
}

DesktopNotifier::DesktopNotifier(const QDBusConnection& bus, QObject* parent)
    : QObject(parent), m_bus(bus)
{
    m_bus.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                  SLOT(onActionInvoked(uint, QString)));
}

void DesktopNotifier::announce(const QList<MailEntry>& fresh)
{
    if (fresh.isEmpty() || !m_bus.isConnected())
        return;
    const NotificationText text = notificationText(fresh);
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    call << QStringLiteral("Brevglimt") << m_lastId << QStringLiteral("brevglimt") << text.summary << text.body
         << QStringList{QStringLiteral("default"), QStringLiteral("Vis")} << QVariantMap() << qint32(-1);
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        const QDBusPendingReply<uint> reply = *w;
        // No service, or one that failed: the strip still shows the mail.
        if (!reply.isError())
            m_lastId = reply.value();
        w->deleteLater();
    });
}

void DesktopNotifier::onActionInvoked(uint id, const QString& actionKey)
{
    if (id == m_lastId && m_lastId != 0 && actionKey == QLatin1String("default"))
        emit activated();
}

} // namespace desktop
