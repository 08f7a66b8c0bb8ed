#include "notifier.h"
#include "privatebus.h"

#include <QDBusAbstractAdaptor>
#include <QDBusMessage>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

namespace {

using desktop::MailEntry;

// The notification service as the desktop offers it, recording each call.
class FakeNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Call {
        QString app, icon, summary, body;
        uint replaces;
        QStringList actions;
    };
    QList<Call> calls;

public slots:
    uint Notify(const QString& app, uint replaces, const QString& icon, const QString& summary, const QString& body,
                const QStringList& actions, const QVariantMap&, int)
    {
        calls.append({app, icon, summary, body, replaces, actions});
        return uint(calls.size() + 40);
    }
};

MailEntry entry(const char* id, const char* sender, const char* subject)
{
    return {QString::fromUtf8(id), QString::fromUtf8(sender), QString::fromUtf8(subject)};
}

QStringList ids(const QList<MailEntry>& entries)
{
    QStringList out;
    for (const MailEntry& e : entries)
        out.append(e.id);
    return out;
}

TEST(NewMailTrackerTest, OnlyMessagesNotSeenAtAnEarlierCheckAreNew)
{
    const MailEntry a = entry("uidl:a", "Kari", "Møte"), b = entry("uidl:b", "Ola", "Lunsj"),
                    c = entry("uidl:c", "Per", "Faktura"), anon = entry("", "Ukjent", "Uten id");
    struct Step {
        QList<MailEntry> onServer;
        QStringList expectedNew;
    } steps[] = {
        {{a, b}, {}},                         // the first check only learns
        {{a, b}, {}},                         // no change
        {{a, b, c}, {QStringLiteral("uidl:c")}}, // one arrived
        {{b, c}, {}},                         // one deleted
        {{b, c, a}, {QStringLiteral("uidl:a")}}, // gone and back counts as new
        {{b, c, a, anon}, {}},                // no identity: never announced
    };
    desktop::NewMailTracker tracker;
    int n = 0;
    for (const Step& s : steps)
        EXPECT_EQ(ids(tracker.update(s.onServer)), s.expectedNew) << "step " << n++;
}

TEST(NotificationTextTest, NewestWithTheCountOfOthers)
{
    struct Case {
        QList<MailEntry> fresh;
        QString summary, body;
    } cases[] = {
        {{entry("1", "Kari <kari@x.no>", "Møte i morgen")}, QStringLiteral("Kari <kari@x.no>"),
         QStringLiteral("Møte i morgen")},
        {{entry("1", "Ola", "Første"), entry("2", "Per", "Andre"), entry("3", "Kari", "Tredje")},
         QStringLiteral("Kari"), QStringLiteral("Tredje\nog 2 andre")},
        {{entry("1", "", "")}, QStringLiteral("Ny epost"), QString()},
        {{entry("1", "a", "<b>fet</b> & mer")}, QStringLiteral("a"), QStringLiteral("&lt;b&gt;fet&lt;/b&gt; &amp; mer")},
        {{MailEntry{QStringLiteral("1"), QStringLiteral("Bank\u202Eknab"), QStringLiteral("Linje\r\nBcc: x\x1b[2J")}},
         QStringLiteral("Bank knab"), QStringLiteral("Linje  Bcc: x [2J")},
    };
    for (const Case& c : cases) {
        const desktop::NotificationText t = desktop::notificationText(c.fresh);
        EXPECT_EQ(t.summary, c.summary);
        EXPECT_EQ(t.body, c.body);
    }
}

class NotifierBusTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!PrivateBus::available())
            GTEST_SKIP() << "dbus-daemon is not installed";
        ASSERT_TRUE(bus.ok());
        client = bus.connect(QStringLiteral("client"));
        ASSERT_TRUE(client.isConnected());
    }
    void startService()
    {
        service = bus.connect(QStringLiteral("service"));
        ASSERT_TRUE(service.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &fake,
                                           QDBusConnection::ExportAllSlots));
        ASSERT_TRUE(service.registerService(QStringLiteral("org.freedesktop.Notifications")));
    }
    PrivateBus bus;
    QDBusConnection client{QString()};
    QDBusConnection service{QString()};
    FakeNotifications fake;
};

TEST_F(NotifierBusTest, OneCallPerAnnouncementAndTheDefaultActionShowsTheStrip)
{
    startService();
    desktop::DesktopNotifier notifier(client);
    QSignalSpy activated(&notifier, &desktop::DesktopNotifier::activated);

    notifier.announce({});
    notifier.announce({entry("1", "Ola", "Lunsj"), entry("2", "Kari", "Møte")});
    ASSERT_TRUE(QTest::qWaitFor([&] { return fake.calls.size() == 1; }));
    const auto& call = fake.calls.first();
    EXPECT_EQ(call.app, QStringLiteral("Brevglimt"));
    EXPECT_EQ(call.icon, QStringLiteral("brevglimt"));
    EXPECT_EQ(call.summary, QStringLiteral("Kari"));
    EXPECT_EQ(call.body, QStringLiteral("Møte\nog 1 andre"));
    EXPECT_TRUE(call.actions.contains(QStringLiteral("default")));
    EXPECT_EQ(call.replaces, 0u);

    // Another program's notification, then ours.
    for (uint id : {7u, 41u}) {
        QDBusMessage signal = QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/Notifications"),
                                                         QStringLiteral("org.freedesktop.Notifications"),
                                                         QStringLiteral("ActionInvoked"));
        signal << id << QStringLiteral("default");
        service.send(signal);
    }
    EXPECT_TRUE(QTest::qWaitFor([&] { return activated.size() == 1; }));
    QTest::qWait(100);
    EXPECT_EQ(activated.size(), 1);

    // The next announcement replaces the one still on screen.
    notifier.announce({entry("3", "Per", "Faktura")});
    ASSERT_TRUE(QTest::qWaitFor([&] { return fake.calls.size() == 2; }));
    EXPECT_EQ(fake.calls.at(1).replaces, 41u);
}

QStringList g_warnings;
void recordWarnings(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        g_warnings.append(text);
}

TEST_F(NotifierBusTest, NoServiceOnTheBusIsQuiet)
{
    desktop::DesktopNotifier notifier(client);
    g_warnings.clear();
    QtMessageHandler previous = qInstallMessageHandler(recordWarnings);
    notifier.announce({entry("1", "Ola", "Lunsj")});
    // The call's error reply arrives; nothing is said about it.
    QTest::qWait(300);
    qInstallMessageHandler(previous);
    EXPECT_TRUE(g_warnings.isEmpty()) << g_warnings.join(QLatin1Char('\n')).toStdString();
    // Once a service appears, announcements reach it.
    startService();
    notifier.announce({entry("2", "Kari", "Møte")});
    EXPECT_TRUE(QTest::qWaitFor([&] { return fake.calls.size() == 1; }));
}

} // namespace

#include "test_notifier.moc"
