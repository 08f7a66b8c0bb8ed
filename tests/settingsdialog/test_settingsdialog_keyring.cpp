// The settings dialog's password fields with a keyring (in memory): what
// they show, and where a save puts the password.
#include "settingsdialog.h"

#include "connectiontestwindow.h"
#include "fakesecretstore.h"
#include "passwordscramble.h"
#include "settingsfilefixture.h"

#include <QFile>
#include <QLineEdit>
#include <QRegularExpression>
#include <functional>
#include <memory>
#include <optional>

using namespace testsupport;
using settingsdialog::SettingsDialog;

namespace {

const QString kPopEntry = QStringLiteral("Brevglimt: ola på pop.example.no (innboks)");
const QString kSmtpEntry = QStringLiteral("Brevglimt: ola på smtp.example.no (SMTP)");

class SettingsDialogKeyringTest : public SettingsFileFixture {
protected:
    void TearDown() override
    {
        dialog.reset();
    }

    void writeFile(const QString& popStored, const QString& smtpStored)
    {
        const QString pop = QStringLiteral("Pop3"), smtp = QStringLiteral("Smtp");
        writeUserFile({{pop, QStringLiteral("ServerName"), QStringLiteral("pop.example.no:995")},
                       {pop, QStringLiteral("ServerUser"), QStringLiteral("ola")},
                       {pop, QStringLiteral("ServerPassword"), popStored},
                       {smtp, QStringLiteral("ServerName"), QStringLiteral("smtp.example.no")},
                       {smtp, QStringLiteral("ServerUser"), QStringLiteral("ola")},
                       {smtp, QStringLiteral("ServerPassword"), smtpStored},
                       {smtp, QStringLiteral("SMTPAuthenticationType"), QStringLiteral("1")}});
    }
    QString stored(const QString& section) const
    {
        return SettingsFileFixture::stored(section, QStringLiteral("ServerPassword"));
    }
    SettingsDialog& open()
    {
        dialog = std::make_unique<SettingsDialog>(connectionTest);
        dialog->show();
        return *dialog;
    }

    FakeSecretStore keyringStore;
    StoreGuard installed{&keyringStore};
    connectiontest::ConnectionTestWindow connectionTest;
    std::unique_ptr<SettingsDialog> dialog;
};

} // namespace

// The POP3 password field: shown from the keyring (or the file, where it
// still lies), and on closing stored in the keyring when it changed, with
// the file's value empty; what the keyring does not take stays in the file.
TEST_F(SettingsDialogKeyringTest, PasswordGoesToTheKeyringWhenItChanged)
{
    struct Case {
        const char* name;
        QString fileValue;                    // the file's ServerPassword before
        std::optional<QString> inKeyring;     // the keyring's entry before
        std::function<void(FakeSecretStore&)> beforeOpening;
        std::function<void(SettingsDialog&, FakeSecretStore&)> edit;
        QString shown;                        // the field on opening
        QString placeholder;                  // the empty field's note
        QString fileAfter;                    // the file's ServerPassword after
        QMap<QString, QString> keyringAfter;  // every entry after
        bool written;                         // the keyring was written to or removed from
        QString box;                          // a box's text, if one showed
    };
    const auto none = [](FakeSecretStore&) {};
    const auto leave = [](SettingsDialog&, FakeSecretStore&) {};
    const QString k1 = QStringLiteral("nøkkel 1");
    const QString k2 = QStringLiteral("nøkkel 2");
    const Case cases[] = {
        {"shown from the keyring, left alone", {}, k1, none, leave, k1, {}, {}, {{kPopEntry, k1}}, false, {}},
        {"changed", {}, k1, none, [&](SettingsDialog& d, FakeSecretStore&) { d.mailPasswordEdit->setText(k2); }, k1, {}, {},
         {{kPopEntry, k2}}, true, {}},
        {"cleared", {}, k1, none, [](SettingsDialog& d, FakeSecretStore&) { d.mailPasswordEdit->clear(); }, k1, {},
         rt::scrambleText({}), {}, true, {}},
        {"another server: the password goes with it", {}, k1, none,
         [](SettingsDialog& d, FakeSecretStore&) { d.mailServerEdit->setText(QStringLiteral("imap.example.no")); }, k1, {}, {},
         {{kPopEntry, k1}, {QStringLiteral("Brevglimt: ola på imap.example.no (innboks)"), k1}}, true, {}},
        {"locked: an untouched empty field changes nothing", {}, k1, [](FakeSecretStore& s) { s.locked = true; },
         leave, {}, QStringLiteral("(nøkkelringen er låst)"), {}, {{kPopEntry, k1}}, false, {}},
        {"still in the file: moved", rt::scrambleText(k1), std::nullopt, none, leave, k1, {}, {}, {{kPopEntry, k1}},
         true, {}},
        {"the keyring refuses the new one: the file keeps it", {}, k1, none,
         [&](SettingsDialog& d, FakeSecretStore& s) {
             d.mailPasswordEdit->setText(k2);
             s.locked = true;
         },
         k1, {}, rt::scrambleText(k2), {{kPopEntry, k1}}, true,
         QStringLiteral("Passordet til ola på pop.example.no (innboks) ble lagret i innstillingsfilen, siden "
                        "nøkkelringen ikke tok imot det: nøkkelringen er låst.")},
        {"no keyring: the file as before", rt::scrambleText(k1), std::nullopt,
         [](FakeSecretStore& s) { s.there = false; },
         [&](SettingsDialog& d, FakeSecretStore&) { d.mailPasswordEdit->setText(k2); },
         k1, {}, rt::scrambleText(k2), {}, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        keyringStore.entries.clear();
        keyringStore.there = true;
        keyringStore.locked = false;
        guard.fake.messages.clear();
        if (c.inKeyring)
            keyringStore.entries.insert(kPopEntry, *c.inKeyring);
        writeFile(c.fileValue, {});
        c.beforeOpening(keyringStore);
        keyringStore.takeCalls();

        SettingsDialog& d = open();
        EXPECT_EQ(d.mailPasswordEdit->text(), c.shown);
        EXPECT_EQ(d.mailPasswordEdit->placeholderText(), c.placeholder);
        c.edit(d, keyringStore);
        d.close();

        EXPECT_EQ(stored(QStringLiteral("Pop3")), c.fileAfter);
        EXPECT_EQ(keyringStore.entries, c.keyringAfter);
        const QStringList calls = keyringStore.takeCalls();
        const bool written = !calls.filter(QStringLiteral("write")).isEmpty()
            || !calls.filter(QStringLiteral("remove")).isEmpty();
        EXPECT_EQ(written, c.written) << calls.join(QLatin1Char('|')).toStdString();
        ASSERT_EQ(guard.fake.messages.size(), c.box.isEmpty() ? 0 : 1);
        if (!c.box.isEmpty()) {
            EXPECT_EQ(guard.fake.messages.first().text, c.box);
        }
        for (const QString& line : rt::state().logLines) {
            EXPECT_FALSE(line.contains(QStringLiteral("nøkkel "))) << "a password in the log: " << line.toStdString();
        }
        dialog.reset();
    }
}

// The SMTP password, kept as typed in the file before, goes the same way.
TEST_F(SettingsDialogKeyringTest, SmtpPasswordToo)
{
    writeFile({}, QStringLiteral("smtp i fil"));
    SettingsDialog& d = open();
    EXPECT_EQ(d.smtpPasswordEdit->text(), QStringLiteral("smtp i fil"));
    d.close();
    EXPECT_EQ(stored(QStringLiteral("Smtp")), QString());
    EXPECT_EQ(keyringStore.entries.value(kSmtpEntry), QStringLiteral("smtp i fil"));

    SettingsDialog& again = open();
    EXPECT_EQ(again.smtpPasswordEdit->text(), QStringLiteral("smtp i fil")) << "shown from the keyring";
    again.smtpPasswordEdit->setText(QStringLiteral("nytt"));
    again.close();
    EXPECT_EQ(stored(QStringLiteral("Smtp")), QString());
    EXPECT_EQ(keyringStore.entries.value(kSmtpEntry), QStringLiteral("nytt"));
}

// An empty mailbox password is stored as the scrambled empty text ("z2"),
// keyring or not: nothing is kept in a keyring for it, and an empty value
// stays the sign that the keyring holds the password. The file as written,
// line by line, and what the dialog shows when it opens again.
TEST_F(SettingsDialogKeyringTest, EmptyPasswordIsStoredScrambledKeyringOrNot)
{
    struct Case {
        const char* name;
        std::function<void(FakeSecretStore&)> arrange;
        bool store;              // a keyring store is installed at all
        const char* typed;       // the password field as the dialog closes
        const char* line;        // the ServerPassword line in [Pop3] after
        QMap<QString, QString> keyringAfter;
        const char* shownAgain;  // the field when the dialog opens again
    };
    const auto none = [](FakeSecretStore&) {};
    const Case cases[] = {
        {"keyring, nothing typed", none, true, "", "ServerPassword=z2", {}, ""},
        {"no Secret Service, nothing typed", [](FakeSecretStore& s) { s.there = false; }, true, "", "ServerPassword=z2",
         {}, ""},
        {"no store, nothing typed", none, false, "", "ServerPassword=z2", {}, ""},
        {"keyring, an entry emptied", [](FakeSecretStore& s) { s.entries.insert(kPopEntry, QStringLiteral("abc")); },
         true, "", "ServerPassword=z2", {}, ""},
        {"locked keyring, the field it could not fill left empty",
         [](FakeSecretStore& s) {
             s.entries.insert(kPopEntry, QStringLiteral("abc"));
             s.locked = true;
         },
         true, "", "ServerPassword=", {{kPopEntry, QStringLiteral("abc")}}, "abc"},
        {"keyring, a password typed", none, true, "abc", "ServerPassword=", {{kPopEntry, QStringLiteral("abc")}}, "abc"},
        {"no Secret Service, a password typed", [](FakeSecretStore& s) { s.there = false; }, true, "abc",
         "ServerPassword=zbdf2", {}, "abc"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        keyringStore.entries.clear();
        keyringStore.there = true;
        keyringStore.locked = false;
        c.arrange(keyringStore);
        keyring::setStore(c.store ? &keyringStore : nullptr);
        QFile::remove(rt::userSettingsFile());
        writeUserFile({{QStringLiteral("Pop3"), QStringLiteral("ServerName"), QStringLiteral("pop.example.no:995")},
                       {QStringLiteral("Pop3"), QStringLiteral("ServerUser"), QStringLiteral("ola")}});

        SettingsDialog& d = open();
        d.mailPasswordEdit->setText(QString::fromUtf8(c.typed));
        d.close();
        dialog.reset();

        const QStringList lines = QString::fromUtf8(userFileBytes()).split(QRegularExpression(QStringLiteral("\r?\n")));
        const qsizetype pop3 = lines.indexOf(QStringLiteral("[Pop3]"));
        const qsizetype smtp = lines.indexOf(QStringLiteral("[Smtp]"));
        ASSERT_GE(pop3, 0);
        const QStringList passwordLines = lines.mid(pop3, smtp > pop3 ? smtp - pop3 : -1)
                                              .filter(QRegularExpression(QStringLiteral("^ServerPassword=")));
        EXPECT_EQ(passwordLines, QStringList{QString::fromUtf8(c.line)});
        EXPECT_EQ(keyringStore.entries, c.keyringAfter);

        keyringStore.locked = false;
        EXPECT_EQ(open().mailPasswordEdit->text(), QString::fromUtf8(c.shownAgain));
        dialog.reset();
    }
    keyring::setStore(&keyringStore);
}
