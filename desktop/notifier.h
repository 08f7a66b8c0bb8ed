// Desktop notifications for new mail through the freedesktop notification
// service on the session bus. Without such a service nothing happens.
#pragma once

#include <QDBusConnection>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>

namespace desktop {

// One message as the strip lists it: its identity (unique id, or what
// stands in for it), sender and subject, in the server's order.
struct MailEntry {
    QString id;
    QString sender;
    QString subject;
};

// Remembers the identities seen at the checks so far and tells which
// messages are new. The first check after start only learns what is there.
class NewMailTracker {
public:
    // The entries of this check that no earlier check saw, in list order;
    // empty at the first call. Entries without identity are never new.
    QList<MailEntry> update(const QList<MailEntry>& entries);

private:
    bool m_primed = false;
    QSet<QString> m_seen;
};

// Summary and body of the notification for these new messages: the newest
// (the last in the server's order) with "og N andre" when there are more.
struct NotificationText {
    QString summary;
    QString body;
};
NotificationText notificationText(const QList<MailEntry>& fresh);

class DesktopNotifier : public QObject {
    Q_OBJECT
public:
    explicit DesktopNotifier(const QDBusConnection& bus, QObject* parent = nullptr);

    // Sends one notification for the new messages (nothing for none). The
    // call does not wait for the service; a missing service is ignored.
    void announce(const QList<MailEntry>& fresh);

signals:
    // The user chose the notification's default action.
    void activated();

private slots:
    void onActionInvoked(uint id, const QString& actionKey);

private:
    QDBusConnection m_bus;
    uint m_lastId = 0;
};

} // namespace desktop
