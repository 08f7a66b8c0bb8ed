// The store against a real Secret Service: GNOME Keyring in a D-Bus session
// of the test's own (tests/support/secret_service_session.sh, as ctest runs
// it), checked from outside with secret-tool; then the same session with the
// keyring locked, without a Secret Service, and without a bus.
#include "systemkeyring.h"

#include "fakesecretstore.h"
#include "keyringsession.h"
#include "mailpasswords.h"
#include "passwordscramble.h"
#include "settingsfilefixture.h"

#include <QProcess>
#include <QRegularExpression>
#include <memory>

using namespace testsupport;
using keyring::Account;
using keyring::AccountKind;
using keyring::Status;

namespace {

const Account kMailbox{AccountKind::Mailbox, QStringLiteral("pop.example.no"), QStringLiteral("ola")};
const Account kSmtp{AccountKind::Smtp, QStringLiteral("pop.example.no"), QStringLiteral("ola")};

// The settings file and the log as the program has them, with the system's
// keyring as the program's store.
class SystemKeyringFixture : public SettingsFileFixture {
protected:
    void writePop3(const QString& server, const QString& user, const QString& stored)
    {
        const QString pop = QStringLiteral("Pop3");
        writeUserFile({{pop, QStringLiteral("ServerName"), server},
                       {pop, QStringLiteral("ServerUser"), user},
                       {pop, QStringLiteral("ServerPassword"), stored}});
    }

    keyring::SystemKeyring system;
    StoreGuard installed{&system};
};

class KeyringSession : public SystemKeyringFixture {};
class RestartedKeyring : public SystemKeyringFixture {};
class LockedKeyring : public SystemKeyringFixture {};
class NoSecretService : public SystemKeyringFixture {};

} // namespace

TEST_F(KeyringSession, StoresOneEntryPerAccountUnderItsName)
{
    BREV_REQUIRE_SESSION("keyring");
    ASSERT_TRUE(system.available());
    const QString mailboxEntry = QStringLiteral("Brevglimt: ola på pop.example.no (innboks)");
    const QString host = QStringLiteral("pop.example.no"), user = QStringLiteral("ola");
    const QStringList mailbox = entryAttributes(host, user, QStringLiteral("mailbox"));
    const QStringList smtp = entryAttributes(host, user, QStringLiteral("smtp"));

    EXPECT_EQ(system.read(kMailbox, false).status, Status::NotFound);
    const QString password = QStringLiteral(" sol og vind: æøå \"'\\ ");
    ASSERT_EQ(system.write(kMailbox, password).status, Status::Ok);
    EXPECT_EQ(secretToolLookup(mailbox), password) << "seen from outside, exactly";
    // Other programs search by the host name and the user.
    EXPECT_EQ(secretToolLookup({QStringLiteral("server"), QStringLiteral("pop.example.no"), QStringLiteral("user"),
                                QStringLiteral("ola")}),
              password);
    EXPECT_EQ(secretToolLabels(mailbox), QStringList{mailboxEntry})
        << "the keyring manager shows the program, the user and the server";

    // A new password replaces the entry; the SMTP account on the same
    // server and user is an entry of its own.
    ASSERT_EQ(system.write(kMailbox, QStringLiteral("nytt")).status, Status::Ok);
    ASSERT_EQ(system.write(kSmtp, QStringLiteral("smtp")).status, Status::Ok);
    EXPECT_EQ(secretToolLabels(mailbox), QStringList{mailboxEntry});
    EXPECT_EQ(secretToolLookup(smtp), QStringLiteral("smtp"));
    const keyring::Result back = system.read(kMailbox, false);
    EXPECT_EQ(back.status, Status::Ok);
    EXPECT_EQ(back.password, QStringLiteral("nytt"));
    EXPECT_EQ(system.read(kSmtp, false).password, QStringLiteral("smtp"));

    ASSERT_EQ(system.remove(kMailbox).status, Status::Ok);
    EXPECT_EQ(system.read(kMailbox, true).status, Status::NotFound);
    EXPECT_EQ(secretToolLookup(mailbox), std::nullopt);
    EXPECT_EQ(system.remove(kMailbox).status, Status::Ok) << "removing what is not there";
    EXPECT_EQ(system.read(kSmtp, false).password, QStringLiteral("smtp"));
}

// An entry the earlier version wrote (the entry's name in "server", in
// QtKeychain's form) is still read, and then stands in the present form
// alone; a write or a removal leaves no earlier entry behind that could
// bring an old password back.
TEST_F(KeyringSession, FindsAndRewritesAnEntryOfTheEarlierForm)
{
    BREV_REQUIRE_SESSION("keyring");
    const Account account{AccountKind::Mailbox, QStringLiteral("tidligere.example.no"), QStringLiteral("ola")};
    const QString name = QStringLiteral("Brevglimt: ola på tidligere.example.no (innboks)");
    const QStringList earlier{QStringLiteral("user"), QStringLiteral("ola"), QStringLiteral("server"), name,
                              QStringLiteral("type"), QStringLiteral("plaintext"), QStringLiteral("xdg:schema"),
                              QStringLiteral("org.qt.keychain")};
    const QStringList present = entryAttributes(QStringLiteral("tidligere.example.no"), QStringLiteral("ola"),
                                                QStringLiteral("mailbox"));
    const auto writeEarlier = [&](const QString& password) {
        ASSERT_TRUE(secretToolStore(name, earlier, password));
        ASSERT_EQ(secretToolLookup(earlier), password);
    };

    writeEarlier(QStringLiteral("gammelt passord"));
    EXPECT_EQ(system.read(account, false).status, Status::Ok);
    EXPECT_EQ(system.read(account, false).password, QStringLiteral("gammelt passord"));
    EXPECT_EQ(secretToolLookup(present), QStringLiteral("gammelt passord"));
    EXPECT_EQ(secretToolLabels(present), QStringList{name});
    EXPECT_EQ(secretToolLookup(earlier), std::nullopt) << "the earlier entry is gone once rewritten";

    writeEarlier(QStringLiteral("gammelt 2"));
    ASSERT_EQ(system.write(account, QStringLiteral("nytt")).status, Status::Ok);
    EXPECT_EQ(secretToolLookup(earlier), std::nullopt);
    EXPECT_EQ(system.read(account, false).password, QStringLiteral("nytt"));

    writeEarlier(QStringLiteral("gammelt 3"));
    ASSERT_EQ(system.remove(account).status, Status::Ok);
    EXPECT_EQ(secretToolLookup(earlier), std::nullopt);
    EXPECT_EQ(system.read(account, false).status, Status::NotFound) << "no old password comes back";
}

// The move at start-up with a real keyring: the password is there for
// secret-tool, and the file has it no more.
TEST_F(KeyringSession, MoveOverPutsTheScrambledPasswordInTheKeyring)
{
    BREV_REQUIRE_SESSION("keyring");
    const QString password = QStringLiteral("flytt meg 2026");
    writePop3(QStringLiteral("mail.example.no:995"), QStringLiteral("kari"), rt::scrambleText(password));
    keyring::moveOverPasswords();
    EXPECT_EQ(stored(QStringLiteral("Pop3"), QStringLiteral("ServerPassword")), QString());
    EXPECT_EQ(secretToolLookup(
                  entryAttributes(QStringLiteral("mail.example.no"), QStringLiteral("kari"), QStringLiteral("mailbox"))),
              password);
    EXPECT_EQ(logLinesWith(QStringLiteral("INIFIL: passordet til kari på mail.example.no (innboks) er flyttet")).size(), 1);
}

// The keyring daemon ends and another starts (a crash, an unlock by
// restart) while the program runs: libsecret's connection to the first one
// is of no use any more, and the next calls still go through.
TEST_F(RestartedKeyring, CallsGoThroughAfterTheDaemonRestarted)
{
    BREV_REQUIRE_SESSION("keyring");
    ASSERT_EQ(system.write(kMailbox, QStringLiteral("før omstart")).status, Status::Ok);
    ASSERT_EQ(system.read(kMailbox, false).password, QStringLiteral("før omstart"));

    std::unique_ptr<QProcess> daemon = restartKeyringDaemon();
    ASSERT_TRUE(daemon) << "the keyring daemon could not be restarted";
    const keyring::Result read = system.read(kMailbox, false);
    EXPECT_EQ(read.status, Status::Ok) << keyring::describeForLog(read).toStdString();
    EXPECT_EQ(read.password, QStringLiteral("før omstart"));

    std::unique_ptr<QProcess> again = restartKeyringDaemon();
    ASSERT_TRUE(again);
    daemon->waitForFinished(10000);
    const keyring::Result written = system.write(kSmtp, QStringLiteral("etter omstart"));
    EXPECT_EQ(written.status, Status::Ok) << keyring::describeForLog(written).toStdString();
    EXPECT_EQ(system.read(kSmtp, false).password, QStringLiteral("etter omstart"));

    std::unique_ptr<QProcess> third = restartKeyringDaemon();
    ASSERT_TRUE(third);
    again->waitForFinished(10000);
    const keyring::Result removed = system.remove(kMailbox);
    EXPECT_EQ(removed.status, Status::Ok) << keyring::describeForLog(removed).toStdString();
    EXPECT_EQ(system.read(kMailbox, false).status, Status::NotFound);

    third->terminate();
    EXPECT_TRUE(third->waitForFinished(10000));
}

// A locked keyring is told from an empty one, asked to unlock only when
// that is allowed, and a move into it leaves the file untouched.
TEST_F(LockedKeyring, IsToldFromAMissingEntryAndKeepsTheFileUntouched)
{
    BREV_REQUIRE_SESSION("keyring");
    ASSERT_EQ(system.write(kMailbox, QStringLiteral("låst inne")).status, Status::Ok);
    ASSERT_TRUE(lockLoginKeyring());

    EXPECT_EQ(system.read(kMailbox, false).status, Status::Locked) << "looked at without asking";
    // Asking fails here (nobody to ask in the test's session), which is
    // what a user's "no" to the desktop's question gives.
    EXPECT_EQ(system.read(kMailbox, true).status, Status::Locked) << "not taken for a missing entry";
    EXPECT_EQ(system.read({AccountKind::Mailbox, QStringLiteral("annen.example.no"), QStringLiteral("ola")}, true).status,
              Status::NotFound);
    EXPECT_EQ(system.write(kSmtp, QStringLiteral("x")).status, Status::Locked);

    writePop3(QStringLiteral("pop.example.no"), QStringLiteral("per"), rt::scrambleText(QStringLiteral("pers passord")));
    const QByteArray before = userFileBytes();
    keyring::moveOverPasswords();
    EXPECT_EQ(userFileBytes(), before);
    const QStringList warnings = logLinesWith(QStringLiteral("ADVARSEL: INIFIL: passordet til per på pop.example.no "
                                                             "(innboks) ble ikke flyttet til nøkkelringen"));
    ASSERT_EQ(warnings.size(), 1) << rt::state().logLines.join(QLatin1Char('|')).toStdString();
    // The keyring's own words follow in parentheses, in the log only.
    EXPECT_TRUE(warnings.first().contains(QRegularExpression(QStringLiteral(": nøkkelringen er låst \\(.+\\)$"))))
        << warnings.first().toStdString();
}

// Without a Secret Service (a bus without one, or no bus at all) the store
// says so at once, and the move changes nothing but says, once, that the
// passwords stay in the settings file.
TEST_F(NoSecretService, IsUnavailableAndTheFileStays)
{
    if (testSession() != QStringLiteral("bus") && testSession() != QStringLiteral("nobus"))
        GTEST_SKIP() << "needs tests/support/secret_service_session.sh bus or nobus (ctest runs it so)";
    EXPECT_FALSE(system.available());
    EXPECT_EQ(system.read(kMailbox, true).status, Status::Unavailable);
    EXPECT_EQ(system.write(kMailbox, QStringLiteral("x")).status, Status::Unavailable);

    writePop3(QStringLiteral("pop.example.no"), QStringLiteral("ola"), rt::scrambleText(QStringLiteral("blir her")));
    const QByteArray before = userFileBytes();
    keyring::moveOverPasswords();
    EXPECT_EQ(userFileBytes(), before);
    EXPECT_EQ(logLinesWith(QStringLiteral("ADVARSEL")).size(), 1);
    EXPECT_EQ(logLinesWith(QStringLiteral("ADVARSEL: ingen nøkkelring (Secret Service) på skrivebordet")).size(), 1);
}
