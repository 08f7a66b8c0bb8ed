// The settings dialog's password fields with a keyring (in memory): what
// they show, and where a save puts the password.
#include "Setup.h"

#include "fakesecretstore.h"
#include "felles.h"
#include "ipsjekk.h"
#include "settingsfilefixture.h"

#include <QLineEdit>
#include <functional>
#include <memory>
#include <optional>

using namespace testsupport;
using setup::TfmSetup;

namespace {

const QString kPopEntry = QStringLiteral("Brevglimt: ola på pop.example.no (innboks)");
const QString kSmtpEntry = QStringLiteral("Brevglimt: ola på smtp.example.no (SMTP)");

class SetupKeyringTest : public SettingsFileFixture {
protected:
    void SetUp() override
    {
        SettingsFileFixture::SetUp();
        ipsjekk::IPTestForm = new ipsjekk::TIPTestForm;
    }
    void TearDown() override
    {
        dialog.reset();
        delete ipsjekk::IPTestForm;
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
    TfmSetup& open()
    {
        dialog = std::make_unique<TfmSetup>();
        dialog->show();
        return *dialog;
    }

    FakeSecretStore keyringStore;
    StoreGuard installed{&keyringStore};
    std::unique_ptr<TfmSetup> dialog;
};

} // namespace

// The POP3 password field: shown from the keyring (or the file, where it
// still lies), and on closing stored in the keyring when it changed, with
// the file's value empty; what the keyring does not take stays in the file.
TEST_F(SetupKeyringTest, PasswordGoesToTheKeyringWhenItChanged)
{
    struct Case {
        const char* name;
        QString fileValue;                    // the file's ServerPassword before
        std::optional<QString> inKeyring;     // the keyring's entry before
        std::function<void(FakeSecretStore&)> beforeOpening;
        std::function<void(TfmSetup&, FakeSecretStore&)> edit;
        QString shown;                        // the field on opening
        QString placeholder;                  // the empty field's note
        QString fileAfter;                    // the file's ServerPassword after
        QMap<QString, QString> keyringAfter;  // every entry after
        bool written;                         // the keyring was written to or removed from
        QString box;                          // a box's text, if one showed
    };
    const auto none = [](FakeSecretStore&) {};
    const auto leave = [](TfmSetup&, FakeSecretStore&) {};
    const QString k1 = QStringLiteral("nøkkel 1");
    const QString k2 = QStringLiteral("nøkkel 2");
    const Case cases[] = {
        {"shown from the keyring, left alone", {}, k1, none, leave, k1, {}, {}, {{kPopEntry, k1}}, false, {}},
        {"changed", {}, k1, none, [&](TfmSetup& d, FakeSecretStore&) { d.Password->setText(k2); }, k1, {}, {},
         {{kPopEntry, k2}}, true, {}},
        {"cleared", {}, k1, none, [](TfmSetup& d, FakeSecretStore&) { d.Password->clear(); }, k1, {}, {}, {}, true, {}},
        {"another server: the password goes with it", {}, k1, none,
         [](TfmSetup& d, FakeSecretStore&) { d.POPServer->setText(QStringLiteral("imap.example.no")); }, k1, {}, {},
         {{kPopEntry, k1}, {QStringLiteral("Brevglimt: ola på imap.example.no (innboks)"), k1}}, true, {}},
        {"locked: an untouched empty field changes nothing", {}, k1, [](FakeSecretStore& s) { s.locked = true; },
         leave, {}, QStringLiteral("(nøkkelringen er låst)"), {}, {{kPopEntry, k1}}, false, {}},
        {"still in the file: moved", rt::ScrambleText(k1), std::nullopt, none, leave, k1, {}, {}, {{kPopEntry, k1}},
         true, {}},
        {"the keyring refuses the new one: the file keeps it", {}, k1, none,
         [&](TfmSetup& d, FakeSecretStore& s) {
             d.Password->setText(k2);
             s.locked = true;
         },
         k1, {}, rt::ScrambleText(k2), {{kPopEntry, k1}}, true,
         QStringLiteral("Passordet til ola på pop.example.no (innboks) ble lagret i innstillingsfilen, siden "
                        "nøkkelringen ikke tok imot det: nøkkelringen er låst.")},
        {"no keyring: the file as before", rt::ScrambleText(k1), std::nullopt,
         [](FakeSecretStore& s) { s.there = false; }, [&](TfmSetup& d, FakeSecretStore&) { d.Password->setText(k2); },
         k1, {}, rt::ScrambleText(k2), {}, false, {}},
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

        TfmSetup& d = open();
        EXPECT_EQ(d.Password->text(), c.shown);
        EXPECT_EQ(d.Password->placeholderText(), c.placeholder);
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
        for (const QString& line : rt::state().LogLines) {
            EXPECT_FALSE(line.contains(QStringLiteral("nøkkel "))) << "a password in the log: " << line.toStdString();
        }
        dialog.reset();
    }
}

// The SMTP password, kept as typed in the file before, goes the same way.
TEST_F(SetupKeyringTest, SmtpPasswordToo)
{
    writeFile({}, QStringLiteral("smtp i fil"));
    TfmSetup& d = open();
    EXPECT_EQ(d.edtPassword->text(), QStringLiteral("smtp i fil"));
    d.close();
    EXPECT_EQ(stored(QStringLiteral("Smtp")), QString());
    EXPECT_EQ(keyringStore.entries.value(kSmtpEntry), QStringLiteral("smtp i fil"));

    TfmSetup& again = open();
    EXPECT_EQ(again.edtPassword->text(), QStringLiteral("smtp i fil")) << "shown from the keyring";
    again.edtPassword->setText(QStringLiteral("nytt"));
    again.close();
    EXPECT_EQ(stored(QStringLiteral("Smtp")), QString());
    EXPECT_EQ(keyringStore.entries.value(kSmtpEntry), QStringLiteral("nytt"));
}
