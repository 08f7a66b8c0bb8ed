// New mail reaches the desktop's notification service once, through the
// strip's own checks against the scripted server, on a bus of the test's own.
#include "desktopglue.h"
#include "privatebus.h"
#include "watcherfixture.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QTest>

namespace {

using testsupport::mailMessage;

// The notification service, recording each call's summary and body.
class RecordingNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QStringList calls;
public slots:
    uint Notify(const QString&, uint, const QString&, const QString& summary, const QString& body,
                const QStringList&, const QVariantMap&, int)
    {
        calls.append(summary + QLatin1Char('|') + body);
        return uint(calls.size());
    }
};

class DesktopGlueTest : public testsupport::WatcherFixture {
protected:
    void SetUp() override
    {
        WatcherFixture::SetUp();
        if (!PrivateBus::available())
            GTEST_SKIP() << "dbus-daemon is not installed";
        bus = std::make_unique<PrivateBus>();
        ASSERT_TRUE(bus->ok());
        service = bus->connect(QStringLiteral("glue-service"));
        client = bus->connect(QStringLiteral("glue-client"));
        ASSERT_TRUE(service.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &fake,
                                           QDBusConnection::ExportAllSlots));
        ASSERT_TRUE(service.registerService(QStringLiteral("org.freedesktop.Notifications")));
    }
    void TearDown() override
    {
        WatcherFixture::TearDown();
        bus.reset();
    }
    // Lets an announcement that was sent reach the fake service.
    void settle() { QTest::qWait(300); }

    std::unique_ptr<PrivateBus> bus;
    QDBusConnection service{QString()};
    QDBusConnection client{QString()};
    RecordingNotifications fake;
};

TEST_F(DesktopGlueTest, OneNotificationPerCheckThatFindsNewMail)
{
    for (const bool uidl : {true, false}) {
        SCOPED_TRACE(uidl ? "by UIDL" : "by Message-ID and Date");
        fake.calls.clear();
        const QList<QByteArray> first{mailMessage("Kari <kari@test.example>", "Møte", "m1"),
                                      mailMessage("Ola <ola@test.example>", "Lunsj", "m2")};
        server = std::make_unique<testsupport::ScriptedPop3Server>();
        server->setCredentials("ola", "hemmelig");
        server->setUidl(uidl);
        server->setMessages(first);
        writeSettings();
        app::StripWindow& strip = makeStrip();
        new app::DesktopGlue(&strip, client, QDBusConnection(QString()));

        strip.showStrip(); // the first check learns what is there
        settle();
        EXPECT_TRUE(fake.calls.isEmpty()) << fake.calls.join(QLatin1Char(';')).toStdString();

        // Added to what stays, so the first two keep their unique ids.
        server->addMessage(mailMessage("Per <per@test.example>", "Faktura", "m3"));
        server->addMessage(mailMessage("Eva <eva@test.example>", "Svar", "m4"));
        strip.checkMailbox();
        ASSERT_TRUE(QTest::qWaitFor([&] { return fake.calls.size() == 1; }));
        EXPECT_EQ(fake.calls.first(), QStringLiteral("Eva <eva@test.example>|Svar\nog 1 andre"));

        strip.checkMailbox(); // nothing new
        settle();
        EXPECT_EQ(fake.calls.size(), 1);

        writeSettings({{QStringLiteral("NotifyOnNew"), QStringLiteral("0")}});
        strip.readSettings();
        server->removeMessage(3);
        server->addMessage(mailMessage("Tor <tor@test.example>", "Ny", "m5"));
        strip.checkMailbox();
        settle();
        EXPECT_EQ(fake.calls.size(), 1) << "switched off by NotifyOnNew=0";

        // Switched on again: what came while they were off is not news then.
        writeSettings({{QStringLiteral("NotifyOnNew"), QStringLiteral("1")}});
        strip.readSettings();
        server->addMessage(mailMessage("Siv <siv@test.example>", "Etterpå", "m6"));
        strip.checkMailbox();
        QTRY_COMPARE(fake.calls.size(), 2);
        EXPECT_EQ(fake.calls.last(), QStringLiteral("Siv <siv@test.example>|Etterpå"));
        stripWindow.reset();
    }
}

TEST_F(DesktopGlueTest, WakingFromSleepChecksSoon)
{
    app::StripWindow& strip = shownStripWith(1);
    // The test's bus stands in for the system bus, where logind announces sleep.
    new app::DesktopGlue(&strip, client, client);
    const auto logins = [this] { return server->receivedVerbs().count("USER"); };
    ASSERT_EQ(logins(), 1);
    QTest::qWait(200); // the match rule reaches the bus

    ASSERT_TRUE(service.registerService(QStringLiteral("org.freedesktop.login1")));
    QDBusMessage wake = QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/login1"),
                                                   QStringLiteral("org.freedesktop.login1.Manager"),
                                                   QStringLiteral("PrepareForSleep"));
    wake << false;
    ASSERT_TRUE(service.send(wake));
    EXPECT_TRUE(QTest::qWaitFor([&] { return logins() == 2; }, app::DesktopGlue::kResumeCheckDelayMs + 5000));
}

} // namespace

#include "test_desktopglue.moc"
