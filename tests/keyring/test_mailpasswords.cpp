// The move of the settings file's passwords into the keyring, and the
// watcher's password source, against a keyring in memory that can be
// missing, locked or failing.
#include "mailpasswords.h"

#include "fakesecretstore.h"
#include "passwordscramble.h"
#include "settingsfilefixture.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <atomic>
#include <functional>

using namespace testsupport;
using keyring::Account;
using keyring::AccountKind;
using keyring::Status;

namespace {

const QString kPopEntry = QStringLiteral("Brevglimt: ola på pop.example.no (innboks)");
const QString kSmtpEntry = QStringLiteral("Brevglimt: ola@example.no på smtp.example.no (SMTP)");
const QString kPopPassword = QStringLiteral(" pop hemmelig æ ");
const QString kSmtpPassword = QStringLiteral("smtp=hemmelig;");

class KeyringFixture : public SettingsFileFixture {
protected:
    void writeUserFile(const QString& popServer, const QString& popStored, const QString& smtpStored)
    {
        const QString pop = QStringLiteral("Pop3"), smtp = QStringLiteral("Smtp");
        SettingsFileFixture::writeUserFile({
            {pop, QStringLiteral("ServerName"), popServer},
            {pop, QStringLiteral("ServerUser"), QStringLiteral("ola")},
            {pop, QStringLiteral("ServerPassword"), popStored},
            {pop, QStringLiteral("StartupCheck"), QStringLiteral("1")},
            {smtp, QStringLiteral("ServerName"), QStringLiteral("SMTP.example.no:587")},
            {smtp, QStringLiteral("ServerUser"), QStringLiteral("ola@example.no")},
            {smtp, QStringLiteral("ServerPassword"), smtpStored},
        });
    }

    FakeSecretStore keyringStore;
    StoreGuard installed{&keyringStore};
};

} // namespace

TEST(KeyringAccount, NamedAfterServerAndUser)
{
    struct Case {
        AccountKind kind;
        const char* server;
        const char* user;
        const char* host;
        const char* name;
    };
    const Case cases[] = {
        {AccountKind::Mailbox, "POP.Example.no:995", "Ola", "pop.example.no", "Brevglimt: Ola på pop.example.no (innboks)"},
        {AccountKind::Mailbox, " pop.example.no ", "ola", "pop.example.no", "Brevglimt: ola på pop.example.no (innboks)"},
        {AccountKind::Smtp, "[2001:DB8::1]:587", "ola@example.no", "2001:db8::1",
         "Brevglimt: ola@example.no på 2001:db8::1 (SMTP)"},
        {AccountKind::Smtp, "smtp.example.no", "", "smtp.example.no", "Brevglimt: smtp.example.no (SMTP)"},
        {AccountKind::Mailbox, "", "ola", "", "Brevglimt: ola på  (innboks)"},
    };
    for (const Case& c : cases) {
        const Account a = keyring::accountFor(c.kind, QString::fromUtf8(c.server), QString::fromUtf8(c.user));
        EXPECT_EQ(a.host, QString::fromUtf8(c.host)) << c.server;
        EXPECT_EQ(keyring::entryName(a), QString::fromUtf8(c.name)) << c.server;
        EXPECT_EQ(a.valid(), !a.host.isEmpty());
    }
    // The port is no part of the account: another port of the same server
    // keeps its password.
    EXPECT_EQ(keyring::accountFor(AccountKind::Mailbox, QStringLiteral("pop.example.no:110"), QStringLiteral("ola")),
              keyring::accountFor(AccountKind::Mailbox, QStringLiteral("pop.example.no:995"), QStringLiteral("ola")));
    EXPECT_NE(keyring::entryName({AccountKind::Mailbox, QStringLiteral("x.no"), QStringLiteral("ola")}),
              keyring::entryName({AccountKind::Smtp, QStringLiteral("x.no"), QStringLiteral("ola")}));
}

// A password goes out of the file only after the keyring has taken it and
// given the same back; whatever fails on the way leaves the file as it was.
TEST_F(KeyringFixture, MoveOverEmptiesTheFileOnlyAfterTheKeyringGaveThePasswordBack)
{
    struct Case {
        const char* name;
        std::function<void(FakeSecretStore&)> arrange;
        bool moved;
        const char* cause; // in the warning when not moved
    };
    const Case cases[] = {
        {"the keyring takes both", [](FakeSecretStore&) {}, true, nullptr},
        {"locked, and the user did not unlock it", [](FakeSecretStore& s) { s.locked = true; }, false,
         "nøkkelringen er låst"},
        {"the write fails",
         [](FakeSecretStore& s) { s.writeAnswer = keyring::Result{Status::Failed, {}, QStringLiteral("disken er full")}; },
         false, "feil i nøkkelringen: disken er full"},
        {"another password comes back", [](FakeSecretStore& s) { s.readBackOther = true; }, false,
         "feil i nøkkelringen: den ga et annet passord tilbake enn den fikk"},
        {"nothing comes back",
         [](FakeSecretStore& s) { s.readAnswer = keyring::Result{Status::NotFound, {}, {}}; }, false,
         "feil i nøkkelringen: passordet var borte da det ble lest tilbake"},
        {"reading back fails",
         [](FakeSecretStore& s) { s.readAnswer = keyring::Result{Status::Failed, {}, QStringLiteral("brutt")}; }, false,
         "feil i nøkkelringen: brutt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        keyringStore.entries.clear();
        keyringStore.locked = false;
        keyringStore.readAnswer.reset();
        keyringStore.writeAnswer.reset();
        keyringStore.readBackOther = false;
        c.arrange(keyringStore);
        rt::state().logLines.clear();
        writeUserFile(QStringLiteral("pop.example.no:995"), rt::scrambleText(kPopPassword), kSmtpPassword);
        const QByteArray before = userFileBytes();

        keyring::moveOverPasswords();

        if (c.moved) {
            EXPECT_EQ(stored(QStringLiteral("Pop3"), QStringLiteral("ServerPassword")), QString());
            EXPECT_EQ(stored(QStringLiteral("Smtp"), QStringLiteral("ServerPassword")), QString());
            EXPECT_EQ(stored(QStringLiteral("Pop3"), QStringLiteral("StartupCheck")), QStringLiteral("1"));
            EXPECT_EQ(keyringStore.entries.value(kPopEntry), kPopPassword);
            EXPECT_EQ(keyringStore.entries.value(kSmtpEntry), kSmtpPassword);
            for (const char* account : {"ola på pop.example.no (innboks)", "ola@example.no på smtp.example.no (SMTP)"}) {
                const QString line = QStringLiteral("INIFIL: passordet til %1 er flyttet fra %2 til nøkkelringen")
                                         .arg(QString::fromUtf8(account), rt::userSettingsFile());
                EXPECT_EQ(logLinesWith(line).size(), 1) << account;
            }
            const QStringList warnings = logLinesWith(QStringLiteral("ADVARSEL"));
            EXPECT_TRUE(warnings.isEmpty()) << warnings.join(QLatin1Char('|')).toStdString();
        } else {
            EXPECT_EQ(userFileBytes(), before) << "the file is untouched";
            const QStringList warnings = logLinesWith(QStringLiteral("ADVARSEL: INIFIL: passordet til "));
            ASSERT_EQ(warnings.size(), 2) << rt::state().logLines.join(QLatin1Char('|')).toStdString();
            for (const QString& w : warnings) {
                EXPECT_TRUE(w.contains(QStringLiteral("ble ikke flyttet til nøkkelringen og blir liggende i %1: %2")
                                           .arg(rt::userSettingsFile(), QString::fromUtf8(c.cause))))
                    << w.toStdString();
            }
            EXPECT_TRUE(logLinesWith(QStringLiteral("er flyttet")).isEmpty());
        }
        for (const QString& line : rt::state().logLines) {
            EXPECT_FALSE(line.contains(QStringLiteral("hemmelig"))) << "a password in the log: " << line.toStdString();
        }
    }
}

TEST_F(KeyringFixture, MoveOverWithoutSecretServiceChangesNothingAndWarnsOnce)
{
    keyringStore.there = false;
    writeUserFile(QStringLiteral("pop.example.no"), rt::scrambleText(kPopPassword), kSmtpPassword);
    const QByteArray before = userFileBytes();
    keyring::moveOverPasswords();
    EXPECT_EQ(userFileBytes(), before);
    EXPECT_TRUE(keyringStore.takeCalls().filter(QStringLiteral("write")).isEmpty());
    const QStringList warnings = logLinesWith(QStringLiteral("ADVARSEL"));
    ASSERT_EQ(warnings.size(), 1) << warnings.join(QLatin1Char('|')).toStdString();
    EXPECT_TRUE(warnings.first().endsWith(
        QStringLiteral("ADVARSEL: ingen nøkkelring (Secret Service) på skrivebordet, så passordene blir liggende i "
                       "innstillingsfilen %1")
            .arg(rt::userSettingsFile())))
        << warnings.first().toStdString();
}

// Only passwords there are, of accounts with a server, are moved.
TEST_F(KeyringFixture, MoveOverLeavesWhatHasNoPasswordOrNoServer)
{
    // An empty password stored scrambled ("z2") and an empty SMTP one.
    writeUserFile(QStringLiteral("pop.example.no"), rt::scrambleText(QString()), QString());
    keyring::moveOverPasswords();
    EXPECT_TRUE(keyringStore.takeCalls().isEmpty());
    EXPECT_EQ(stored(QStringLiteral("Pop3"), QStringLiteral("ServerPassword")), rt::scrambleText(QString()));

    // No POP3 server: nothing to name the entry after, so it stays.
    writeUserFile(QString(), rt::scrambleText(kPopPassword), kSmtpPassword);
    keyring::moveOverPasswords();
    EXPECT_EQ(keyringStore.takeCalls(), (QStringList{QStringLiteral("write ") + kSmtpEntry,
                                                     QStringLiteral("read ") + kSmtpEntry}));
    EXPECT_EQ(stored(QStringLiteral("Pop3"), QStringLiteral("ServerPassword")), rt::scrambleText(kPopPassword));
    EXPECT_EQ(stored(QStringLiteral("Smtp"), QStringLiteral("ServerPassword")), QString());
}

// The watcher's source: a locked keyring asks the user at the first check;
// after that it only looks, and the failure is told once, until the user
// asks for a check.
TEST_F(KeyringFixture, MailboxPasswordAsksOnceAndTellsOnce)
{
    const Account account{AccountKind::Mailbox, QStringLiteral("pop.example.no"), QStringLiteral("ola")};
    keyringStore.entries.insert(kPopEntry, kPopPassword);
    keyringStore.locked = true;
    keyring::MailboxPassword source;

    EXPECT_EQ(source.fetch(account), std::nullopt);
    EXPECT_EQ(source.fetch(account), std::nullopt);
    EXPECT_EQ(keyringStore.takeCalls(), (QStringList{QStringLiteral("read ") + kPopEntry + QStringLiteral(" ask"),
                                                     QStringLiteral("read ") + kPopEntry}));
    const QString notice = source.takeNotice();
    EXPECT_EQ(notice, QStringLiteral("Passordet til ola på pop.example.no (innboks) kunne ikke hentes fra "
                                     "nøkkelringen: nøkkelringen er låst.\n\nPostkassen sjekkes ikke før passordet "
                                     "kan hentes. Velg «Brevglimt» i menyen for å prøve igjen."));
    EXPECT_EQ(logLinesWith(QStringLiteral("ADVARSEL: passordet til ola på pop.example.no (innboks) kunne ikke hentes "
                                          "fra nøkkelringen: nøkkelringen er låst"))
                  .size(),
              1);
    EXPECT_EQ(source.fetch(account), std::nullopt);
    EXPECT_EQ(source.takeNotice(), QString()) << "told once";

    // The user asks for a check: the keyring may ask again, and a failure
    // is told again; this time the user unlocks it.
    source.allowAsking();
    keyringStore.unlockWhenAsked = true;
    EXPECT_EQ(source.fetch(account), kPopPassword);
    EXPECT_EQ(source.takeNotice(), QString());
    EXPECT_EQ(keyringStore.takeCalls(), (QStringList{QStringLiteral("read ") + kPopEntry,
                                                     QStringLiteral("read ") + kPopEntry + QStringLiteral(" ask")}));
}

// Neither the file nor the keyring holds the mailbox's password (or there
// is no keyring at all): no log-in with an empty password; the user is told
// once, by user and server, and again after asking for a check. An account
// without a server gets an empty password: its check fails on the server.
TEST_F(KeyringFixture, MailboxWithoutAnyPasswordIsToldOnce)
{
    const Account account{AccountKind::Mailbox, QStringLiteral("pop.example.no"), QStringLiteral("ola")};
    const QString notice = QStringLiteral("Det er ikke lagret noe passord for ola på pop.example.no (innboks).\n\n"
                                          "Postkassen sjekkes ikke før et passord er lagret. Skriv det inn under "
                                          "«Oppsett» i menyen.");
    const QString logLine = QStringLiteral("ADVARSEL: det er ikke lagret noe passord for ola på pop.example.no "
                                           "(innboks); postkassen sjekkes ikke før et passord er lagret under «Oppsett»");
    struct Case {
        const char* name;
        std::function<void(FakeSecretStore&)> arrange;
        bool store; // a store is installed at all
    };
    const Case cases[] = {
        {"the keyring has no entry", [](FakeSecretStore&) {}, true},
        {"the keyring holds an empty one", [](FakeSecretStore& s) { s.entries.insert(kPopEntry, QString()); }, true},
        {"no Secret Service", [](FakeSecretStore& s) { s.there = false; }, true},
        {"no store", [](FakeSecretStore&) {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        keyringStore.entries.clear();
        keyringStore.there = true;
        c.arrange(keyringStore);
        keyring::setStore(c.store ? &keyringStore : nullptr);
        rt::state().logLines.clear();
        keyring::MailboxPassword source;

        EXPECT_EQ(source.fetch(account), std::nullopt);
        EXPECT_EQ(source.fetch(account), std::nullopt);
        EXPECT_EQ(source.takeNotice(), notice);
        EXPECT_EQ(source.fetch(account), std::nullopt);
        EXPECT_EQ(source.takeNotice(), QString()) << "told once";
        const QStringList warnings = logLinesWith(QStringLiteral("ADVARSEL"));
        ASSERT_EQ(warnings.size(), 1) << warnings.join(QLatin1Char('|')).toStdString();
        EXPECT_TRUE(warnings.first().endsWith(logLine)) << warnings.first().toStdString();

        source.allowAsking();
        EXPECT_EQ(source.fetch(account), std::nullopt);
        EXPECT_EQ(source.takeNotice(), notice) << "told again after the user asked";
        // Nothing was asked of the user, so later reads may still ask to unlock.
        if (c.store && keyringStore.there) {
            const QStringList calls = keyringStore.takeCalls();
            EXPECT_EQ(calls.filter(QStringLiteral(" ask")).size(), calls.size())
                << calls.join(QLatin1Char('|')).toStdString();
        }
        EXPECT_EQ(source.fetch({AccountKind::Mailbox, QString(), QStringLiteral("ola")}), QString());
    }
    keyring::setStore(&keyringStore);
}

// The dialog may save while the move-over at start waits for the keyring
// (a question of the keyring's open, say): what the dialog saved, in the
// file or in the keyring, is neither emptied nor overwritten by the older
// password the move-over read from the file.
TEST_F(KeyringFixture, MoveOverKeepsWhatTheDialogSavedMeanwhile)
{
    const QString newer = QStringLiteral("nyere fra dialogen");
    const Account pop =
        keyring::accountFor(AccountKind::Mailbox, QStringLiteral("pop.example.no:995"), QStringLiteral("ola"));
    // Runs a step on the window thread, where the dialog saves, while the
    // move-over waits for the keyring.
    const auto onWindowThread = [](const std::function<void()>& step) {
        QMetaObject::invokeMethod(qApp, step, Qt::BlockingQueuedConnection);
    };
    struct Case {
        const char* name;
        QString when; // the keyring call during which the dialog saves
        std::function<void()> dialog;
        QString fileAfter;
        QString keyringAfter;
    };
    const Case cases[] = {
        {"the keyring would not take the dialog's password: it went into the file",
         QStringLiteral("write ") + kPopEntry,
         [&] {
             rt::IniFile ini(rt::userSettingsFile());
             ini.writeString(QStringLiteral("Pop3"), QStringLiteral("ServerPassword"), rt::scrambleText(newer));
             ASSERT_TRUE(ini.updateFile());
         },
         rt::scrambleText(newer), kPopPassword},
        {"the dialog stored its password in the keyring", QStringLiteral("available"),
         [&] {
             const keyring::LoadedPassword opened = keyring::loadPassword(pop, kPopPassword);
             EXPECT_EQ(keyring::savePassword(opened, pop, newer), std::nullopt);
             rt::IniFile ini(rt::userSettingsFile());
             ini.writeString(QStringLiteral("Pop3"), QStringLiteral("ServerPassword"), QString());
             ASSERT_TRUE(ini.updateFile());
         },
         QString(), newer},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        keyringStore.entries.clear();
        writeUserFile(QStringLiteral("pop.example.no:995"), rt::scrambleText(kPopPassword), kSmtpPassword);
        std::atomic<bool> saved{false};
        keyringStore.onCall = [&](const QString& call) {
            if (call == c.when && !saved.exchange(true))
                onWindowThread(c.dialog);
        };

        keyring::moveOverPasswords();
        keyringStore.onCall = nullptr;

        ASSERT_TRUE(saved) << "the dialog never saved";
        EXPECT_EQ(stored(QStringLiteral("Pop3"), QStringLiteral("ServerPassword")), c.fileAfter);
        EXPECT_EQ(keyringStore.entries.value(kPopEntry), c.keyringAfter);
        EXPECT_EQ(stored(QStringLiteral("Smtp"), QStringLiteral("ServerPassword")), QString())
            << "the other account moved";
    }
}
