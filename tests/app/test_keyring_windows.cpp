// The settings dialog and the strip with a real Secret Service: GNOME
// Keyring in a D-Bus session of the test's own (as ctest runs it, through
// tests/support/secret_service_session.sh), seen from outside with
// secret-tool; then the keyring locked, and a session without a service.
#include "connectiontestwindow.h"
#include "fakesecretstore.h"
#include "keyringsession.h"
#include "mailpasswords.h"
#include "settingsdialog.h"
#include "systemkeyring.h"
#include "username.h"
#include "watcherfixture.h"

#include <QAction>
#include <QLineEdit>
#include <QTest>

using namespace testsupport;
using app::StripWindow;

namespace {

const QStringList kAttributes =
    entryAttributes(QStringLiteral("127.0.0.1"), QStringLiteral("ola"), QStringLiteral("mailbox"));

class SystemKeyringWindows : public WatcherFixture {
protected:
    void SetUp() override
    {
        WatcherFixture::SetUp();
        server->setMessages(numberedMessages(2));
        rt::state().logToFile = true;
    }
    QString storedPassword() const
    {
        return rt::IniFile(rt::userSettingsFile())
            .readString(QStringLiteral("Pop3"), QStringLiteral("ServerPassword"), QStringLiteral("<mangler>"));
    }
    // The dialog as the user leaves it: the password typed, closed.
    void typePasswordInDialog(const QString& password)
    {
        settingsdialog::SettingsDialog d(connectionTest);
        d.show();
        d.mailPasswordEdit->setText(password);
        d.close();
    }
    QStringList notices() const { return boxTexts(rt::MsgIcon::Information); }

    keyring::SystemKeyring system;
    StoreGuard installed{&system};
    connectiontest::ConnectionTestWindow connectionTest;
};

class KeyringSession : public SystemKeyringWindows {};
class LockedKeyring : public SystemKeyringWindows {};
class NoSecretService : public SystemKeyringWindows {};

} // namespace

// Saved in the dialog: the keyring holds it, the file does not, and a check
// logs in with it.
TEST_F(KeyringSession, DialogSavesInTheKeyringAndACheckLogsIn)
{
    BREV_REQUIRE_SESSION("keyring");
    writeSettings({{QStringLiteral("ServerPassword"), QString()}, {QStringLiteral("StartupCheck"), QStringLiteral("0")}});
    typePasswordInDialog(QStringLiteral("hemmelig"));
    EXPECT_EQ(storedPassword(), QString());
    EXPECT_EQ(secretToolLookup(kAttributes), QStringLiteral("hemmelig"));

    StripWindow& f = makeStrip();
    f.showStrip();
    f.checkNowAction->trigger();
    EXPECT_EQ(passwordsSent("hemmelig"), 1);
    EXPECT_EQ(f.statusLabel->text(), QStringLiteral("INNBOKS: 2"));
    EXPECT_EQ(lines().size(), 2);
    EXPECT_TRUE(guard.fake.messages.isEmpty());

    // The dialog opens with it again, from the keyring.
    settingsdialog::SettingsDialog again(connectionTest);
    EXPECT_EQ(again.mailPasswordEdit->text(), QStringLiteral("hemmelig"));
}

// The move at start-up, then a start that finds the password only in the
// keyring and checks with it.
TEST_F(KeyringSession, MovedPasswordServesTheNextStart)
{
    BREV_REQUIRE_SESSION("keyring");
    writeSettings(); // the password scrambled in the file, a check at start
    keyring::moveOverPasswords();
    EXPECT_EQ(storedPassword(), QString());
    EXPECT_EQ(secretToolLookup(kAttributes), QStringLiteral("hemmelig"));

    StripWindow& f = makeStrip();
    f.showStrip();
    EXPECT_EQ(passwordsSent("hemmelig"), 1);
    EXPECT_EQ(lines().size(), 2);
    EXPECT_TRUE(guard.fake.messages.isEmpty());
}

// The password only in a locked keyring (nobody to unlock it in the test's
// session): one notice, no log-in, no failure box at the schedule's checks.
TEST_F(LockedKeyring, ChecksTellItOnce)
{
    BREV_REQUIRE_SESSION("keyring");
    ASSERT_EQ(system.write({keyring::AccountKind::Mailbox, QStringLiteral("127.0.0.1"), QStringLiteral("ola")},
                           QStringLiteral("hemmelig"))
                  .status,
              keyring::Status::Ok);
    ASSERT_TRUE(lockLoginKeyring());
    writeSettings({{QStringLiteral("ServerPassword"), QString()}});
    StripWindow& f = makeStrip();
    f.showStrip();
    QTest::qWait(20);
    f.onScheduleTick();
    f.onScheduleTick();
    QTest::qWait(20);
    EXPECT_EQ(server->sessionCount(), 0);
    EXPECT_TRUE(errorTexts().isEmpty()) << errorTexts().join(QLatin1Char('|')).toStdString();
    ASSERT_EQ(notices().size(), 1);
    EXPECT_TRUE(notices().first().contains(QStringLiteral("nøkkelringen er låst"))) << notices().first().toStdString();
}

// No Secret Service: the dialog keeps the password scrambled in the file as
// before, the check logs in with it, and the start says once that the
// passwords stay in the file.
TEST_F(NoSecretService, EverythingAsBeforeWithOneWarning)
{
    if (testSession() != QStringLiteral("bus") && testSession() != QStringLiteral("nobus"))
        GTEST_SKIP() << "needs tests/support/secret_service_session.sh bus or nobus (ctest runs it so)";
    writeSettings({{QStringLiteral("ServerPassword"), QString()}, {QStringLiteral("StartupCheck"), QStringLiteral("0")}});
    typePasswordInDialog(QStringLiteral("hemmelig"));
    EXPECT_EQ(storedPassword(), rt::scrambleText(QStringLiteral("hemmelig")));

    rt::state().logLines.clear();
    keyring::moveOverPasswords();
    EXPECT_EQ(storedPassword(), rt::scrambleText(QStringLiteral("hemmelig")));
    EXPECT_EQ(rt::state().logLines.filter(QStringLiteral("ADVARSEL")).size(), 1);
    EXPECT_EQ(rt::state().logLines.filter(QStringLiteral("ADVARSEL: ingen nøkkelring (Secret Service)")).size(), 1);

    StripWindow& f = makeStrip();
    f.showStrip();
    f.checkNowAction->trigger();
    EXPECT_EQ(passwordsSent("hemmelig"), 1);
    EXPECT_EQ(lines().size(), 2);
    EXPECT_TRUE(guard.fake.messages.isEmpty());
}
