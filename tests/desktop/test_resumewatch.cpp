#include "privatebus.h"
#include "resumewatch.h"

#include <QDBusMessage>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

namespace {

class ResumeWatchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!PrivateBus::available())
            GTEST_SKIP() << "dbus-daemon is not installed";
        ASSERT_TRUE(bus.ok());
        listener = bus.connect(QStringLiteral("listener"));
    }
    // A connection that owns the service's name and sends its signal, as
    // logind and NetworkManager do on the system bus.
    void sendFrom(const QString& service, const QString& path, const QString& interface, const QString& name,
                  const QVariant& argument)
    {
        QDBusConnection sender = bus.connect(service);
        ASSERT_TRUE(sender.registerService(service));
        QDBusMessage signal = QDBusMessage::createSignal(path, interface, name);
        signal << argument;
        ASSERT_TRUE(sender.send(signal));
    }
    PrivateBus bus;
    QDBusConnection listener{QString()};
};

TEST_F(ResumeWatchTest, WakeFromSleepAndNetworkUpAreResumes)
{
    desktop::ResumeWatcher watcher(listener);
    QSignalSpy resumed(&watcher, &desktop::ResumeWatcher::resumed);
    // Let the match rules reach the bus before the signals are sent.
    QTest::qWait(200);

    const QString login = QStringLiteral("org.freedesktop.login1");
    sendFrom(login, QStringLiteral("/org/freedesktop/login1"), login + QStringLiteral(".Manager"),
             QStringLiteral("PrepareForSleep"), true);
    QTest::qWait(200);
    EXPECT_EQ(resumed.size(), 0) << "going to sleep is no resume";

    QDBusConnection logind = QDBusConnection(login);
    QDBusMessage wake = QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/login1"),
                                                   login + QStringLiteral(".Manager"),
                                                   QStringLiteral("PrepareForSleep"));
    wake << false;
    ASSERT_TRUE(logind.send(wake));
    EXPECT_TRUE(QTest::qWaitFor([&] { return resumed.size() == 1; }));

    const QString nm = QStringLiteral("org.freedesktop.NetworkManager");
    sendFrom(nm, QStringLiteral("/org/freedesktop/NetworkManager"), nm, QStringLiteral("StateChanged"),
             QVariant::fromValue(uint(20))); // disconnected
    QTest::qWait(200);
    EXPECT_EQ(resumed.size(), 1);
    QDBusMessage up = QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/NetworkManager"), nm,
                                                 QStringLiteral("StateChanged"));
    up << uint(70);
    ASSERT_TRUE(QDBusConnection(nm).send(up));
    EXPECT_TRUE(QTest::qWaitFor([&] { return resumed.size() == 2; }));
}

TEST_F(ResumeWatchTest, SignalsFromAnotherSenderAreIgnored)
{
    desktop::ResumeWatcher watcher(listener);
    QSignalSpy resumed(&watcher, &desktop::ResumeWatcher::resumed);
    QTest::qWait(200);
    // Any program on the bus may send a signal with these names; only the
    // owner of logind's name is listened to.
    QDBusConnection stranger = bus.connect(QStringLiteral("stranger"));
    QDBusMessage wake = QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/login1"),
                                                   QStringLiteral("org.freedesktop.login1.Manager"),
                                                   QStringLiteral("PrepareForSleep"));
    wake << false;
    ASSERT_TRUE(stranger.send(wake));
    QTest::qWait(300);
    EXPECT_EQ(resumed.size(), 0);
}

} // namespace
