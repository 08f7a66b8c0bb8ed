// The strip's checks with the mailbox password in a keyring (in memory):
// the check logs in with it, a locked keyring is told once instead of
// failing every check, and a password the dialog changes there is checked
// at once.
#include "connectiontestwindow.h"
#include "fakesecretstore.h"
#include "scriptedimapserver.h"
#include "settingsdialog.h"
#include "shapewidget.h"
#include "username.h"
#include "watcherfixture.h"
#include "windowowner.h"

#include <QAction>
#include <QLineEdit>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <optional>

using namespace testsupport;
using app::StripWindow;

namespace {

const QString kEntry = QStringLiteral("Brevglimt: ola på 127.0.0.1 (innboks)");

class KeyringStripTest : public WatcherFixture {
protected:
    void SetUp() override
    {
        WatcherFixture::SetUp();
        server->setMessages(numberedMessages(2));
    }
    // The settings file as the keyring leaves it: no password.
    void writeSettingsWithoutPassword(std::map<QString, QString> more = {})
    {
        more.emplace(QStringLiteral("ServerPassword"), QString());
        writeSettings(more);
    }
    QStringList notices() const { return boxTexts(rt::MsgIcon::Information); }

    FakeSecretStore keyringStore;
    StoreGuard installed{&keyringStore};
};

} // namespace

TEST_F(KeyringStripTest, ChecksWithThePasswordFromTheKeyring)
{
    keyringStore.entries.insert(kEntry, QStringLiteral("hemmelig"));
    writeSettingsWithoutPassword();
    StripWindow& f = makeStrip();
    f.showStrip();
    EXPECT_EQ(f.statusLabel->text(), QStringLiteral("INNBOKS: 2"));
    EXPECT_EQ(lines().size(), 2);
    EXPECT_EQ(passwordsSent("hemmelig"), 1);
    EXPECT_TRUE(guard.fake.messages.isEmpty());

    // The schedule's next check uses what was read: the keyring is not
    // asked at every check.
    f.onScheduleTick();
    EXPECT_EQ(passwordsSent("hemmelig"), 2);
    EXPECT_EQ(keyringStore.takeCalls(), QStringList{QStringLiteral("read ") + kEntry + QStringLiteral(" ask")});

    // A password still in the file is used as it is.
    stripWindow.reset();
    writeSettings();
    keyringStore.entries.clear();
    makeStrip().showStrip();
    EXPECT_EQ(passwordsSent("hemmelig"), 3);
    EXPECT_TRUE(keyringStore.takeCalls().isEmpty());
}

// A keyring that stays locked costs no failure box at every check: the
// first check asks the desktop to unlock it, the user is told once, and the
// schedule's checks neither contact the server nor ask again. "Brevglimt"
// from the menu asks again; unlocked then, the check goes ahead.
TEST_F(KeyringStripTest, ALockedKeyringIsToldOnce)
{
    keyringStore.entries.insert(kEntry, QStringLiteral("hemmelig"));
    keyringStore.locked = true;
    writeSettingsWithoutPassword({{QStringLiteral("Scheduler"), QStringLiteral("1")},
                                  {QStringLiteral("ScheduleMinutes"), QStringLiteral("5")}});
    StripWindow& f = makeStrip();
    f.showStrip();
    QTest::qWait(20);
    f.onScheduleTick();
    QTest::qWait(20);
    f.onScheduleTick();
    QTest::qWait(20);

    EXPECT_EQ(server->sessionCount(), 0) << "no log-in without the password";
    EXPECT_TRUE(errorTexts().isEmpty()) << errorTexts().join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(notices(), QStringList{QStringLiteral(
                             "Passordet til ola på 127.0.0.1 (innboks) kunne ikke hentes fra nøkkelringen: "
                             "nøkkelringen er låst.\n\nPostkassen sjekkes ikke før passordet kan hentes. Velg "
                             "«Brevglimt» i menyen for å prøve igjen.")});
    EXPECT_EQ(keyringStore.takeCalls(), (QStringList{QStringLiteral("read ") + kEntry + QStringLiteral(" ask"),
                                                     QStringLiteral("read ") + kEntry, QStringLiteral("read ") + kEntry}));
    EXPECT_FALSE(f.indicatorShape->isVisible()) << "no check stands half begun";
    EXPECT_TRUE(f.scheduleTimer->isActive());

    // "Brevglimt": the desktop is asked again, and a "no" is told again.
    f.checkNowAction->trigger();
    QTest::qWait(20);
    EXPECT_EQ(notices().size(), 2);
    EXPECT_EQ(keyringStore.takeCalls(), QStringList{QStringLiteral("read ") + kEntry + QStringLiteral(" ask")});

    keyringStore.unlockWhenAsked = true;
    f.checkNowAction->trigger();
    QTest::qWait(20);
    EXPECT_EQ(passwordsSent("hemmelig"), 1);
    EXPECT_EQ(f.statusLabel->text(), QStringLiteral("INNBOKS: 2"));
    EXPECT_EQ(notices().size(), 2);
}

// Neither the file nor the keyring holds the password (the file's value
// empty, or the scrambled empty "z2"; or no keyring at all): no log-in is
// sent, and one notice says so, naming the user and the server and pointing
// to "Oppsett"; the schedule's checks stay quiet, "Brevglimt" tells again.
TEST_F(KeyringStripTest, NoPasswordAnywhereSendsNoLogIn)
{
    const QString notice = QStringLiteral("Det er ikke lagret noe passord for ola på 127.0.0.1 (innboks).\n\n"
                                          "Postkassen sjekkes ikke før et passord er lagret. Skriv det inn under "
                                          "«Oppsett» i menyen.");
    struct Case {
        const char* name;
        QString fileValue;
        bool keyring;
    };
    const Case cases[] = {
        {"empty in the file", QString(), true},
        {"the scrambled empty in the file", rt::scrambleText(QString()), true},
        {"no keyring", rt::scrambleText(QString()), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        stripWindow.reset();
        guard.fake.messages.clear();
        keyringStore.there = c.keyring;
        writeSettings({{QStringLiteral("ServerPassword"), c.fileValue}});
        StripWindow& f = makeStrip();
        f.showStrip();
        QTest::qWait(20);
        f.onScheduleTick();
        QTest::qWait(20);

        EXPECT_EQ(server->sessionCount(), 0) << "no log-in with an empty password";
        EXPECT_TRUE(errorTexts().isEmpty()) << errorTexts().join(QLatin1Char('|')).toStdString();
        EXPECT_EQ(notices(), QStringList{notice});

        f.checkNowAction->trigger();
        QTest::qWait(20);
        EXPECT_EQ(notices(), (QStringList{notice, notice}));
        EXPECT_EQ(server->sessionCount(), 0);
    }
}

// At start the strip shows first; the passwords still in the settings file
// move to the keyring only after, so a keyring whose question the user has
// not answered (create a new keyring, unlock it) holds nothing up. The
// start-up check uses the file's password meanwhile.
TEST_F(KeyringStripTest, TheStripShowsBeforeTheKeyringIsAsked)
{
    writeSettings(); // the password scrambled in the file, a check at start
    keyringStore.hold();
    StripWindow& f = makeStrip();
    std::optional<bool> shownWhenAsked;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        if (shownWhenAsked || keyringStore.waitingCalls() == 0)
            return;
        shownWhenAsked = f.isVisible() && f.statusLabel->text() == QStringLiteral("INNBOKS: 2");
        keyringStore.release();
    });
    probe.start(5);

    app::showAtStart(f);
    EXPECT_TRUE(f.isVisible());
    EXPECT_EQ(passwordsSent("hemmelig"), 1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return shownWhenAsked.has_value(); }, 5000)) << "the keyring was never asked";
    EXPECT_TRUE(*shownWhenAsked) << "the keyring was asked before the strip showed its first check";
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            const QMutexLocker lock(&keyringStore.mutex);
            return keyringStore.entries.value(kEntry) == QStringLiteral("hemmelig");
        },
        5000));
    EXPECT_EQ(rt::IniFile(rt::userSettingsFile()).readString(QStringLiteral("Pop3"), QStringLiteral("ServerPassword")),
              QString());
}

// The dialog stores a corrected password in the keyring (the file shows no
// change): the mailbox is checked at once, with the new password.
TEST_F(KeyringStripTest, APasswordChangedInTheKeyringIsCheckedAtOnce)
{
    keyringStore.entries.insert(kEntry, QStringLiteral("feil"));
    writeSettingsWithoutPassword({{QStringLiteral("StartupCheck"), QStringLiteral("0")}});
    StripWindow& f = makeStrip();
    f.showStrip();
    connectiontest::ConnectionTestWindow connectionTest;
    f.openSettingsDialog = [&] {
        // The dialog reads the keyring while it is built, so it is edited
        // once it shows.
        QTimer typist;
        QObject::connect(&typist, &QTimer::timeout, [&] {
            auto* dialog = f.findChild<settingsdialog::SettingsDialog*>();
            if (!dialog || !dialog->isVisible())
                return;
            typist.stop();
            dialog->mailPasswordEdit->setText(QStringLiteral("hemmelig"));
            dialog->close();
        });
        typist.start(5);
        settingsdialog::showSettingsDialog(&f, connectionTest);
    };
    f.settingsAction->trigger();
    QTest::qWait(50);

    EXPECT_EQ(keyringStore.entries.value(kEntry), QStringLiteral("hemmelig"));
    EXPECT_EQ(server->sessionCount(), 1);
    EXPECT_EQ(passwordsSent("hemmelig"), 1);
    EXPECT_EQ(lines().size(), 2);
    EXPECT_TRUE(errorTexts().isEmpty()) << errorTexts().join(QLatin1Char('|')).toStdString();
}

// An IMAP mailbox: the check and the push connection that follows it both
// log in with the password from the keyring, read once.
TEST_F(KeyringStripTest, ImapCheckAndPushUseThePasswordFromTheKeyring)
{
    using namespace std::chrono_literals;
    ScriptedImapServer imap;
    imap.setCredentials("ola", "hemmelig");
    imap.setMessages(numberedMessages(2));
    keyringStore.entries.insert(kEntry, QStringLiteral("hemmelig"));
    writeSettingsWithoutPassword({{QStringLiteral("Protocol"), QStringLiteral("IMAP")},
                                  {QStringLiteral("ServerName"), QStringLiteral("127.0.0.1:%1").arg(imap.port())}});
    StripWindow& f = makeStrip();
    f.watcher().setPushTiming({10min, 50ms, 400ms, {5000, 5000}});
    f.showStrip();
    EXPECT_EQ(lines().size(), 2);
    // The push has logged in and waits for news.
    ASSERT_TRUE(QTest::qWaitFor([&] { return imap.receivedVerbs().contains("IDLE"); }, 5000));
    imap.addMessage(mailMessage("Ny <ny@test.example>", "Kom med push"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return lines().size() == 3; }, 5000)) << "the push never told of the new message";
    EXPECT_TRUE(errorTexts().isEmpty()) << errorTexts().join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(keyringStore.takeCalls(), QStringList{QStringLiteral("read ") + kEntry + QStringLiteral(" ask")});
    stripWindow.reset();
}
