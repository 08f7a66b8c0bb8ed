// The mail settings dialog on its real widgets, headless, with its own
// per-user settings file.
#include "settingsdialog.h"

#include "connectiontestwindow.h"
#include "fakeplatform.h"
#include "inifile.h"
#include "log.h"
#include "mailboxwatcher.h"
#include "passwordscramble.h"
#include "startup.h"
#include "state.h"
#include "stripwindow.h"
#include "username.h"

#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <memory>

using namespace testsupport;
using settingsdialog::SettingsDialog;

namespace {

using Values = std::map<std::pair<QString, QString>, QString>; // (section, key) -> value

class SettingsDialogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        QDir::setCurrent(guard.fake.root.path());
        rt::startLog();
        rt::locateSettingsFile();
    }
    void TearDown() override
    {
        dialog.reset();
    }

    QString userIni() const { return rt::state().etcFolder + rt::userName() + QStringLiteral(".INI"); }

    void store(const Values& values)
    {
        rt::IniFile ini(userIni());
        for (const auto& [at, value] : values)
            ini.writeString(at.first, at.second, value);
        ASSERT_TRUE(ini.updateFile());
    }

    QString stored(const QString& section, const QString& key) const
    {
        return rt::IniFile(userIni()).readString(section, key, QStringLiteral("<absent>"));
    }

    // A fresh dialog, built (which loads) and shown (which proposes).
    SettingsDialog& open()
    {
        dialog = std::make_unique<SettingsDialog>(connectionTest);
        dialog->show();
        return *dialog;
    }

    RuntimeFixtureGuard guard;
    connectiontest::ConnectionTestWindow connectionTest;
    std::unique_ptr<SettingsDialog> dialog;
};

QString flag(bool on)
{
    return on ? QStringLiteral("1") : QStringLiteral("0");
}

// Clicks a radio button on its caption, where the user clicks.
void clickText(QAbstractButton* button)
{
    QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(8, button->height() / 2));
}

// A loopback port on which nothing listens.
int closedPort()
{
    Poco::Net::ServerSocket s(Poco::Net::SocketAddress("127.0.0.1", 0));
    const int port = s.address().port();
    s.close();
    return port;
}

} // namespace

TEST_F(SettingsDialogTest, DialogAsDrawn)
{
    SettingsDialog& d = open();
    EXPECT_EQ(d.windowTitle(), QStringLiteral("Epost oppsett"));
    EXPECT_EQ(d.size(), QSize(487, 240));
    EXPECT_EQ(d.minimumSize(), d.maximumSize()) << "fixed size";
    EXPECT_EQ(d.font().pixelSize(), 11);
    EXPECT_EQ(d.pageTabs->geometry(), QRect(5, 5, 477, 230));

    QStringList tabs, pages;
    for (int i = 0; i < d.pageTabs->count(); ++i) {
        tabs.append(d.pageTabs->tabText(i));
        pages.append(d.pageTabs->widget(i)->objectName());
    }
    EXPECT_EQ(tabs, (QStringList{QStringLiteral("Adresse"), QStringLiteral("Motta"), QStringLiteral("Sende"),
                                 QStringLiteral("Instillinger")}));
    EXPECT_EQ(pages, (QStringList{QStringLiteral("addressPage"), QStringLiteral("receivePage"),
                                  QStringLiteral("sendPage"),
                                  QStringLiteral("optionsPage")}));
    EXPECT_EQ(d.pageTabs->currentWidget(), d.sendPage) << "opens on the \"Sende\" page";

    struct Labelled {
        QLabel* label;
        const char* text;
        QWidget* buddy;
        QWidget* page;
    };
    const Labelled labels[] = {
        {d.senderNameLabel, "Visningsnavn", d.senderNameEdit, d.addressPage},
        {d.senderAddressLabel, "&Epost adresse", d.senderAddressEdit, d.addressPage},
        {d.mailServerLabel, "&Inngående epost server (POP)", d.mailServerEdit, d.receivePage},
        {d.mailUserLabel, "&Konto", d.mailUserEdit, d.receivePage},
        {d.mailPasswordLabel, "&Passord", d.mailPasswordEdit, d.receivePage},
        {d.smtpUserLabel, "&Brukernavn", d.smtpUserEdit, d.sendPage},
        {d.smtpPasswordLabel, "&Passord", d.smtpPasswordEdit, d.sendPage},
    };
    for (const Labelled& l : labels) {
        EXPECT_EQ(l.label->text(), QString::fromUtf8(l.text));
        EXPECT_EQ(l.label->buddy(), l.buddy) << l.text;
        EXPECT_TRUE(l.page->isAncestorOf(l.buddy)) << l.text;
    }

    struct Captioned {
        QAbstractButton* button;
        const char* text;
        QWidget* page;
    };
    const Captioned buttons[] = {
        {d.testMailServerButton, "Test", d.receivePage},
        {d.sendByMailProgramRadio, "Bruk epostprogram til sending", d.sendPage},
        {d.sendBySmtpRadio, "&Utgående epost server (SMTP)", d.sendPage},
        {d.testSmtpServerButton, "Test", d.smtpPanel},
        {d.logSmtpCheck, "Logg SMTP hendelser", d.smtpPanel},
        {d.checkAtStartupCheck, "Se etter nye meldinger ved oppstart", d.optionsPage},
        {d.checkOnScheduleCheck, "Se etter nye meldinger hvert", d.optionsPage},
        {d.hideWhenEmptyCheck, "Skjul vindu hvis det ikke er post", d.optionsPage},
        {d.showListCheck, "Vis meldingsliste ved oppstart", d.optionsPage},
        {d.showOnNewCheck, "Vis meldingstatus", d.optionsPage},
        {d.beepOnNewCheck, "Spill av en lyd", d.optionsPage},
        {d.showListOnNewCheck, "Vis meldingslisten", d.optionsPage},
    };
    for (const Captioned& b : buttons) {
        EXPECT_EQ(b.button->text(), QString::fromUtf8(b.text));
        EXPECT_TRUE(b.page->isAncestorOf(b.button)) << b.text;
    }
    EXPECT_TRUE(d.smtpPanel->isAncestorOf(d.smtpServerEdit));
    EXPECT_TRUE(d.smtpPanel->isAncestorOf(d.smtpLogInBox));
    EXPECT_TRUE(d.optionsPage->isAncestorOf(d.scheduleMinutesEdit));
    EXPECT_EQ(d.minutesLabel->text(), QStringLiteral("minutt(er)"));
    EXPECT_EQ(d.generalHeading->text(), QStringLiteral("Generelt:"));
    EXPECT_TRUE(d.generalHeading->font().bold());
    EXPECT_EQ(d.onNewMailHeading->text(), QStringLiteral("Når ny melding mottas:"));
    EXPECT_TRUE(d.onNewMailHeading->font().bold());

    // The only buttons are the two tests: the dialog has no OK or Cancel.
    QStringList pushButtons;
    for (const QPushButton* b : d.findChildren<QPushButton*>())
        pushButtons.append(b->objectName());
    pushButtons.sort();
    EXPECT_EQ(pushButtons,
              (QStringList{QStringLiteral("testMailServerButton"), QStringLiteral("testSmtpServerButton")}));
    EXPECT_FALSE(d.testMailServerButton->autoDefault() || d.testSmtpServerButton->autoDefault())
        << "Enter does not start a test";

    QStringList auth;
    for (int i = 0; i < d.smtpLogInBox->count(); ++i)
        auth.append(d.smtpLogInBox->itemText(i));
    EXPECT_EQ(auth, (QStringList{QStringLiteral("Ingen pålogging"), QStringLiteral("Enkel pålogging")}));
    EXPECT_FALSE(d.smtpLogInBox->isEditable());

    QStringList programs;
    for (int i = 0; i < d.mailProgramBox->count(); ++i)
        programs.append(d.mailProgramBox->itemText(i));
    EXPECT_EQ(programs, (QStringList{QStringLiteral("Lotus Notes"), QStringLiteral("Microsoft Mail"),
                                     QStringLiteral("Mozilla"), QStringLiteral("Outlook"),
                                     QStringLiteral("Outlook Express"), QStringLiteral("SeaMonkey"),
                                     QStringLiteral("Standardprogram for operativsystemet"),
                                     QStringLiteral("Thunderbird")}));
    EXPECT_TRUE(d.mailProgramBox->isEditable());
    EXPECT_EQ(d.mailProgramBox->insertPolicy(), QComboBox::NoInsert) << "a typed name is not added to the list";

    d.mailPasswordEdit->setText(QStringLiteral("abc"));
    EXPECT_EQ(d.mailPasswordEdit->displayText(), QStringLiteral("***"));
    d.smtpPasswordEdit->setText(QStringLiteral("abc"));
    EXPECT_EQ(d.smtpPasswordEdit->displayText(), QStringLiteral("abc"));
}

// Every control of every page lies whole inside its page, its text not cut,
// with the SMTP login fields shown as well.
TEST_F(SettingsDialogTest, EveryPageFitsTheDialog)
{
    store({{{QStringLiteral("Smtp"), QStringLiteral("SMTPAuthenticationType")}, QStringLiteral("1")}});
    SettingsDialog& d = open();
    ASSERT_TRUE(d.smtpLogInPanel->isVisibleTo(&d));
    for (int i = 0; i < d.pageTabs->count(); ++i) {
        QWidget* page = d.pageTabs->widget(i);
        d.pageTabs->setCurrentIndex(i);
        SCOPED_TRACE(page->objectName().toStdString());
        for (QWidget* w : page->findChildren<QWidget*>()) {
            if (!w->isVisibleTo(page) || w->isWindow())
                continue;
            const QRect box(w->mapTo(page, QPoint(0, 0)), w->size());
            EXPECT_TRUE(page->rect().contains(box)) << w->objectName().toStdString();
            if (qobject_cast<QLabel*>(w) || qobject_cast<QAbstractButton*>(w)) {
                EXPECT_GE(w->width(), w->sizeHint().width()) << w->objectName().toStdString();
            }
        }
    }
}

TEST_F(SettingsDialogTest, NewUserSeesProposals)
{
    struct Case {
        const char* name;
        QString domain;
        QString userOption;
        QString account;
        QString server;
        QString email;
    };
    const Case cases[] = {
        {"with a domain", QStringLiteral("firma.example"), QString(), QStringLiteral("ola"),
         QStringLiteral("mail.firma.example"), QStringLiteral("ola@firma.example")},
        {"without a domain: no half address", QString(), QString(), QStringLiteral("ola"), QString(), QString()},
        {"name as given, not upper-cased", QStringLiteral("firma.example"), QStringLiteral("Kari"),
         QStringLiteral("Kari"), QStringLiteral("mail.firma.example"), QStringLiteral("Kari@firma.example")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        guard.fake.domain = c.domain;
        rt::state().optionUser = c.userOption;
        rt::state().userNameCache.clear();
        SettingsDialog& d = open();
        EXPECT_EQ(d.mailUserEdit->text(), c.account);
        EXPECT_EQ(d.mailServerEdit->text(), c.server);
        EXPECT_EQ(d.senderAddressEdit->text(), c.email);
        EXPECT_EQ(d.smtpServerEdit->text(), c.server) << "the \"Sende\" page took the POP server";
        EXPECT_EQ(d.scheduleMinutesEdit->text(), QString());
        EXPECT_EQ(d.mailPasswordEdit->text(), QString());
        EXPECT_EQ(d.senderNameEdit->text(), QString());
        for (const QCheckBox* box : d.findChildren<QCheckBox*>())
            EXPECT_FALSE(box->isChecked()) << box->objectName().toStdString();
        EXPECT_EQ(d.smtpLogInBox->currentText(), QStringLiteral("Ingen pålogging"));
        EXPECT_TRUE(d.sendBySmtpRadio->isChecked());
        EXPECT_FALSE(d.sendByMailProgramRadio->isChecked());
        EXPECT_FALSE(d.mailProgramBox->isVisibleTo(&d));
        EXPECT_EQ(d.mailProgramBox->currentText(), QString());
        EXPECT_FALSE(d.smtpLogInPanel->isVisibleTo(&d));
        EXPECT_TRUE(d.smtpPanel->isVisibleTo(&d));
        d.hide(); // not closed: nothing saved between the cases
    }
}

TEST_F(SettingsDialogTest, ClosingAtOnceWritesEveryKeyInOrder)
{
    open().close();
    const rt::IniFile ini(userIni());
    EXPECT_EQ(ini.sections(), (QStringList{QStringLiteral("Pop3"), QStringLiteral("Smtp"), QStringLiteral("Email")}));

    struct Section {
        const char* name;
        std::vector<std::pair<const char*, const char*>> keys;
    };
    const Section sections[] = {
        {"Pop3",
         {{"ServerName", "mail.firma.example"},
          {"ServerUser", "ola"},
          {"ServerPassword", "z2"},
          {"StartupCheck", "0"},
          {"Scheduler", "0"},
          {"ScheduleMinutes", ""},
          {"ShowList", "0"},
          {"HideWindow", "0"},
          {"BeepOnMail", "0"},
          {"ShowOnNew", "0"},
          {"ShowListOnNew", "0"}}},
        {"Smtp",
         {{"ExternalProgram", "0"},
          {"MailProgram", ""},
          {"ServerName", "mail.firma.example"},
          {"ServerUser", ""},
          {"ServerPassword", ""},
          {"SMTPAuthenticationType", "0"},
          {"LogSMTP", "0"}}},
        {"Email", {{"PersonalEmail", "ola@firma.example"}, {"EmailName", ""}}},
    };
    for (const Section& s : sections) {
        const QString section = QLatin1String(s.name);
        QStringList expectedKeys;
        for (const auto& [key, value] : s.keys) {
            expectedKeys.append(QLatin1String(key));
            EXPECT_EQ(ini.readString(section, QLatin1String(key), QStringLiteral("<absent>")),
                      QLatin1String(value))
                << s.name << "/" << key;
        }
        EXPECT_EQ(ini.keys(section), expectedKeys) << s.name;
    }
}

// "Protocol" only where it says something: a POP3 user's file gets no such
// key (none means POP3, as earlier versions read the file), IMAP is
// written, and from then on the key follows the choice.
TEST_F(SettingsDialogTest, ProtocolIsWrittenWhereItSaysSomething)
{
    const auto closeWith = [&](const QString& protocol) {
        SettingsDialog& d = open();
        d.protocolBox->setCurrentText(protocol);
        d.close();
        dialog.reset();
        return stored(QStringLiteral("Pop3"), QStringLiteral("Protocol"));
    };
    EXPECT_EQ(closeWith(QStringLiteral("POP3")), QStringLiteral("<absent>"));
    EXPECT_EQ(closeWith(QStringLiteral("IMAP")), QStringLiteral("IMAP"));
    EXPECT_EQ(closeWith(QStringLiteral("POP3")), QStringLiteral("POP3"));
    EXPECT_EQ(closeWith(QStringLiteral("POP3")), QStringLiteral("POP3"));
}

TEST_F(SettingsDialogTest, EveryKeyRoundTrips)
{
    struct Key {
        const char* section;
        const char* key;
        QString storedBefore;
        QString shownBefore;
        QString typed;
        QString storedAfter;
        std::function<QString(SettingsDialog&)> shown;
        std::function<void(SettingsDialog&, const QString&)> type;
    };
    auto text = [](const char* section, const char* key, QLineEdit* SettingsDialog::*field, const QString& before,
                   const QString& after) {
        return Key{section, key, before, before, after, after,
                   [field](SettingsDialog& d) { return (d.*field)->text(); },
                   [field](SettingsDialog& d, const QString& v) { (d.*field)->setText(v); }};
    };
    auto box = [](const char* key, QCheckBox* SettingsDialog::*field, const char* section = "Pop3") {
        return Key{section, key, QStringLiteral("1"), QStringLiteral("1"), QStringLiteral("0"), QStringLiteral("0"),
                   [field](SettingsDialog& d) { return flag((d.*field)->isChecked()); },
                   [field](SettingsDialog& d, const QString& v) {
                       if ((d.*field)->isChecked() != (v == QLatin1String("1")))
                           (d.*field)->click();
                   }};
    };
    const QString pop3Before = QStringLiteral("hemmelig"), pop3After = QStringLiteral("nytt æøå");
    const Key keys[] = {
        Key{"Pop3", "Protocol", QStringLiteral("IMAP"), QStringLiteral("IMAP"), QStringLiteral("POP3"),
            QStringLiteral("POP3"), [](SettingsDialog& d) { return d.protocolBox->currentText(); },
            [](SettingsDialog& d, const QString& v) { d.protocolBox->setCurrentText(v); }},
        text("Pop3", "ServerName", &SettingsDialog::mailServerEdit, QStringLiteral("pop.firma.example"),
             QStringLiteral("pop2.firma.example:1110")),
        text("Pop3", "ServerUser", &SettingsDialog::mailUserEdit, QStringLiteral("ola.nordmann"), QStringLiteral("kari")),
        Key{"Pop3", "ServerPassword", rt::scrambleText(pop3Before), pop3Before, pop3After,
            rt::scrambleText(pop3After), [](SettingsDialog& d) { return d.mailPasswordEdit->text(); },
            [](SettingsDialog& d, const QString& v) { d.mailPasswordEdit->setText(v); }},
        box("StartupCheck", &SettingsDialog::checkAtStartupCheck),
        box("Scheduler", &SettingsDialog::checkOnScheduleCheck),
        text("Pop3", "ScheduleMinutes", &SettingsDialog::scheduleMinutesEdit, QStringLiteral("15"), QStringLiteral("30")),
        box("ShowList", &SettingsDialog::showListCheck),
        box("HideWindow", &SettingsDialog::hideWhenEmptyCheck),
        box("BeepOnMail", &SettingsDialog::beepOnNewCheck),
        box("ShowOnNew", &SettingsDialog::showOnNewCheck),
        box("ShowListOnNew", &SettingsDialog::showListOnNewCheck),
        Key{"Smtp", "ExternalProgram", QStringLiteral("1"), QStringLiteral("1"), QStringLiteral("0"),
            QStringLiteral("0"), [](SettingsDialog& d) { return flag(d.sendByMailProgramRadio->isChecked()); },
            [](SettingsDialog& d, const QString& v) {
                (v == QLatin1String("1") ? d.sendByMailProgramRadio : d.sendBySmtpRadio)->click();
            }},
        Key{"Smtp", "MailProgram", QStringLiteral("Mutt"), QStringLiteral("Mutt"), QStringLiteral("Thunderbird"),
            QStringLiteral("Thunderbird"), [](SettingsDialog& d) { return d.mailProgramBox->currentText(); },
            [](SettingsDialog& d, const QString& v) {
                d.mailProgramBox->setCurrentIndex(d.mailProgramBox->findText(v)); // picked from the list
            }},
        text("Smtp", "ServerName", &SettingsDialog::smtpServerEdit, QStringLiteral("smtp.firma.example"),
             QStringLiteral("smtp2.firma.example")),
        text("Smtp", "ServerUser", &SettingsDialog::smtpUserEdit, QStringLiteral("ola@firma.example"),
             QStringLiteral("kari@firma.example")),
        text("Smtp", "ServerPassword", &SettingsDialog::smtpPasswordEdit, QStringLiteral("klartekst"),
             QStringLiteral("ny klartekst")),
        Key{"Smtp", "SMTPAuthenticationType", QStringLiteral("1"), QStringLiteral("1"), QStringLiteral("0"),
            QStringLiteral("0"), [](SettingsDialog& d) { return QString::number(d.smtpLogInBox->currentIndex()); },
            [](SettingsDialog& d, const QString& v) { d.smtpLogInBox->setCurrentIndex(v.toInt()); }},
        box("LogSMTP", &SettingsDialog::logSmtpCheck, "Smtp"),
        text("Email", "PersonalEmail", &SettingsDialog::senderAddressEdit, QStringLiteral("ola.privat@hjemme.example"),
             QStringLiteral("kari.privat@hjemme.example")),
        text("Email", "EmailName", &SettingsDialog::senderNameEdit, QStringLiteral("Ola Nordmann"),
             QStringLiteral("Kari Nordmann")),
    };
    ASSERT_EQ(std::size(keys), 21u) << "every key the dialog writes";

    Values before;
    for (const Key& k : keys)
        before[{QLatin1String(k.section), QLatin1String(k.key)}] = k.storedBefore;
    store(before);

    // Loaded into the controls, and written back unchanged.
    SettingsDialog& d = open();
    for (const Key& k : keys)
        EXPECT_EQ(k.shown(d), k.shownBefore) << k.section << "/" << k.key;
    d.close();
    for (const Key& k : keys)
        EXPECT_EQ(stored(QLatin1String(k.section), QLatin1String(k.key)), k.storedBefore)
            << k.section << "/" << k.key;

    // Changed in the controls, and written as changed.
    SettingsDialog& again = open();
    for (const Key& k : keys)
        k.type(again, k.typed);
    again.close();
    for (const Key& k : keys)
        EXPECT_EQ(stored(QLatin1String(k.section), QLatin1String(k.key)), k.storedAfter)
            << k.section << "/" << k.key;
    dialog.reset();

    // The on/off keys once more, each with a code of its own over four
    // rounds, so that two keys swapped in the save, the load or the strip's
    // reading differ in at least one round.
    struct Flag {
        const char* key;
        int code;
        std::function<bool(app::StripWindow&)> strip; // as the strip read it; empty: not read there
    };
    const Flag flags[] = {
        {"StartupCheck", 1, [](app::StripWindow& f) { return f.watcher().settings().startupCheck; }},
        {"Scheduler", 2, [](app::StripWindow& f) { return f.scheduleTimer->isActive(); }},
        {"ShowList", 3, [](app::StripWindow& f) { return f.messageList->isVisibleTo(&f); }},
        {"HideWindow", 4, [](app::StripWindow& f) { return f.hideWhenEmpty; }},
        {"BeepOnMail", 5, [](app::StripWindow& f) { return f.beepOnChange; }},
        {"ShowOnNew", 6, [](app::StripWindow& f) { return f.showWindowOnChange; }},
        {"ShowListOnNew", 7, [](app::StripWindow& f) { return f.showListOnChange; }},
        {"ExternalProgram", 8, {}},
        {"SMTPAuthenticationType", 9, {}},
        {"LogSMTP", 10, {}},
    };
    auto keyOf = [&](const char* name) -> const Key& {
        return *std::find_if(std::begin(keys), std::end(keys), [&](const Key& k) { return qstrcmp(k.key, name) == 0; });
    };
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        auto on = [round](const Flag& f) { return ((f.code >> round) & 1) != 0; };
        SettingsDialog& d = open();
        for (const Flag& f : flags)
            keyOf(f.key).type(d, flag(on(f)));
        d.close();
        for (const Flag& f : flags)
            EXPECT_EQ(stored(QLatin1String(keyOf(f.key).section), QLatin1String(f.key)), flag(on(f))) << f.key;
        SettingsDialog& shown = open();
        for (const Flag& f : flags)
            EXPECT_EQ(keyOf(f.key).shown(shown), flag(on(f))) << f.key;
        dialog.reset();
        app::StripWindow strip;
        strip.readSettings();
        for (const Flag& f : flags) {
            if (f.strip) {
                EXPECT_EQ(f.strip(strip), on(f)) << f.key << " as the strip read it";
            }
        }
    }
}

TEST_F(SettingsDialogTest, PasswordsAreStoredTheirOwnWays)
{
    SettingsDialog& d = open();
    d.mailPasswordEdit->clear();
    d.smtpPasswordEdit->setText(QStringLiteral(" Hemmelig æ=;"));
    d.close();
    EXPECT_EQ(stored(QStringLiteral("Pop3"), QStringLiteral("ServerPassword")), QStringLiteral("z2"));
    EXPECT_EQ(stored(QStringLiteral("Smtp"), QStringLiteral("ServerPassword")), QStringLiteral(" Hemmelig æ=;"));

    SettingsDialog& again = open();
    EXPECT_EQ(again.mailPasswordEdit->text(), QString());
    EXPECT_EQ(again.smtpPasswordEdit->text(), QStringLiteral(" Hemmelig æ=;"));
}

TEST_F(SettingsDialogTest, ScheduleMinutesKeptAsTyped)
{
    for (const QString& typed : {QStringLiteral("15"), QStringLiteral(" 5"), QStringLiteral("fem"),
                                 QStringLiteral("10 min"), QString()}) {
        SCOPED_TRACE(typed.toStdString());
        open().scheduleMinutesEdit->setText(typed);
        dialog->close();
        EXPECT_EQ(stored(QStringLiteral("Pop3"), QStringLiteral("ScheduleMinutes")), typed);
        EXPECT_EQ(open().scheduleMinutesEdit->text(), typed);
        dialog->close();
    }
}

TEST_F(SettingsDialogTest, UnknownAuthenticationNumberMeansNoLogin)
{
    struct Case {
        const char* stored;
        int index;
    };
    for (const Case& c : {Case{"1", 1}, Case{"0", 0}, Case{"2", 0}, Case{"-1", 0}, Case{"en", 0}}) {
        SCOPED_TRACE(c.stored);
        store({{{QStringLiteral("Smtp"), QStringLiteral("SMTPAuthenticationType")}, QLatin1String(c.stored)}});
        SettingsDialog& d = open();
        EXPECT_EQ(d.smtpLogInBox->currentIndex(), c.index);
        EXPECT_EQ(d.smtpLogInPanel->isVisibleTo(&d), c.index == 1);
        d.hide();
    }
}

TEST_F(SettingsDialogTest, SendPageVisibilityRule)
{
    store({{{QStringLiteral("Smtp"), QStringLiteral("SMTPAuthenticationType")}, QStringLiteral("1")},
           {{QStringLiteral("Smtp"), QStringLiteral("MailProgram")}, QStringLiteral("Thunderbird")}});
    SettingsDialog& d = open();
    struct Step {
        const char* name;
        std::function<void()> act;
        bool smtpPanel;
        bool loginPanel;
        bool programList;
    };
    const Step steps[] = {
        {"as loaded", [] {}, true, true, false},
        {"mail program chosen", [&] { clickText(d.sendByMailProgramRadio); }, false, false, true},
        {"login chosen while the mail program is", [&] { d.smtpLogInBox->setCurrentIndex(1); }, false, false, true},
        {"SMTP chosen again", [&] { clickText(d.sendBySmtpRadio); }, true, true, false},
        {"no login", [&] { d.smtpLogInBox->setCurrentIndex(0); }, true, false, false},
        {"simple login", [&] { d.smtpLogInBox->setCurrentIndex(1); }, true, true, false},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.name);
        s.act();
        EXPECT_EQ(d.smtpPanel->isVisibleTo(&d), s.smtpPanel);
        EXPECT_EQ(d.smtpLogInPanel->isVisibleTo(&d), s.loginPanel);
        EXPECT_EQ(d.mailProgramBox->isVisibleTo(&d), s.programList);
        EXPECT_NE(d.sendByMailProgramRadio->isChecked(), d.sendBySmtpRadio->isChecked()) << "exactly one is chosen";
    }
    EXPECT_EQ(d.mailProgramBox->currentText(), QStringLiteral("Thunderbird"));
}

TEST_F(SettingsDialogTest, OpensWithTheMailProgramWhenStoredSo)
{
    store({{{QStringLiteral("Smtp"), QStringLiteral("ExternalProgram")}, QStringLiteral("1")},
           {{QStringLiteral("Smtp"), QStringLiteral("SMTPAuthenticationType")}, QStringLiteral("1")},
           {{QStringLiteral("Smtp"), QStringLiteral("MailProgram")}, QStringLiteral("Mutt")}});
    SettingsDialog& d = open();
    EXPECT_TRUE(d.sendByMailProgramRadio->isChecked());
    EXPECT_FALSE(d.sendBySmtpRadio->isChecked());
    EXPECT_TRUE(d.mailProgramBox->isVisibleTo(&d));
    EXPECT_EQ(d.mailProgramBox->currentText(), QStringLiteral("Mutt"));
    EXPECT_FALSE(d.smtpPanel->isVisibleTo(&d));
    EXPECT_FALSE(d.smtpLogInPanel->isVisibleTo(&d));
}

TEST_F(SettingsDialogTest, SendPageTakesThePopServerWhenItHasNone)
{
    struct Case {
        const char* name;
        Values stored;
        std::function<void(SettingsDialog&)> act; // after opening
        QString smtpServer;
    };
    const QString pop = QStringLiteral("Pop3"), smtp = QStringLiteral("Smtp"), name = QStringLiteral("ServerName");
    // The SMTP server emptied, the POP server given on its page, then back
    // to the "Sende" page.
    auto popServerTyped = [](const QString& text) {
        return [text](SettingsDialog& d) {
            d.smtpServerEdit->clear();
            d.pageTabs->setCurrentWidget(d.receivePage);
            d.mailServerEdit->setText(text);
            d.pageTabs->setCurrentWidget(d.sendPage);
        };
    };
    const Case cases[] = {
        {"stored POP server, no SMTP server", {{{pop, name}, QStringLiteral("pop.a")}}, [](SettingsDialog&) {},
         QStringLiteral("pop.a")},
        {"stored SMTP server stays", {{{pop, name}, QStringLiteral("pop.a")}, {{smtp, name}, QStringLiteral("smtp.b")}},
         [](SettingsDialog&) {}, QStringLiteral("smtp.b")},
        {"copies the POP server as it stands when the page is shown again", {}, popServerTyped(QStringLiteral("pop.c")),
         QStringLiteral("pop.c")},
        {"stored POP server with its port: the host only", {{{pop, name}, QStringLiteral("pop.x:995")}},
         [](SettingsDialog&) {}, QStringLiteral("pop.x")},
        {"typed IPv6 POP server with its port: the address in brackets", {},
         popServerTyped(QStringLiteral("[::1]:995")), QStringLiteral("[::1]")},
        {"left empty while the POP server is", {}, popServerTyped(QString()), QString()},
        {"not on another page", {},
         [](SettingsDialog& d) {
             d.smtpServerEdit->clear();
             d.pageTabs->setCurrentWidget(d.optionsPage);
         },
         QString()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(userIni());
        if (!c.stored.empty())
            store(c.stored);
        SettingsDialog& d = open();
        c.act(d);
        EXPECT_EQ(d.smtpServerEdit->text(), c.smtpServer);
        d.hide();
    }
}

TEST_F(SettingsDialogTest, EveryWayOfClosingSaves)
{
    struct Way {
        const char* name;
        std::function<void(SettingsDialog&)> close;
    };
    const Way ways[] = {
        {"close box", [](SettingsDialog& d) {
             QCloseEvent event;
             QCoreApplication::sendEvent(&d, &event);
         }},
        {"close()", [](SettingsDialog& d) { d.close(); }},
        {"Escape", [](SettingsDialog& d) { QTest::keyClick(d.senderNameEdit, Qt::Key_Escape); }},
        {"reject()", [](SettingsDialog& d) { d.reject(); }},
        {"accept()", [](SettingsDialog& d) { d.accept(); }},
    };
    int n = 0;
    for (const Way& w : ways) {
        SCOPED_TRACE(w.name);
        const QString before = stored(QStringLiteral("Email"), QStringLiteral("EmailName"));
        const QString name = QStringLiteral("Navn %1").arg(++n);
        SettingsDialog& d = open();
        d.senderNameEdit->setText(name);
        EXPECT_EQ(stored(QStringLiteral("Email"), QStringLiteral("EmailName")), before)
            << "nothing is written while the dialog is open";
        w.close(d);
        EXPECT_FALSE(d.isVisible());
        EXPECT_EQ(stored(QStringLiteral("Email"), QStringLiteral("EmailName")), name);
    }
}

TEST_F(SettingsDialogTest, TestButtonsTestTheirServerOnTheirPort)
{
    Poco::Net::ServerSocket listener(Poco::Net::SocketAddress("127.0.0.1", 0));
    const QString listening = QStringLiteral("127.0.0.1:%1").arg(listener.address().port());
    const QString closed = QStringLiteral("127.0.0.1:%1").arg(closedPort());
    struct Case {
        const char* name;
        QPushButton* SettingsDialog::*button;
        QLineEdit* SettingsDialog::*field;
        QWidget* SettingsDialog::*page;
        QString server;
        QString outcome; // what the window says after the test
    };
    const Case cases[] = {
        {"POP on 110", &SettingsDialog::testMailServerButton, &SettingsDialog::mailServerEdit, &SettingsDialog::receivePage, QString(),
         QStringLiteral("Kan ikke koble til: :110")},
        {"SMTP on 25", &SettingsDialog::testSmtpServerButton, &SettingsDialog::smtpServerEdit, &SettingsDialog::sendPage, QString(),
         QStringLiteral("Kan ikke koble til: :25")},
        {"POP with its own port", &SettingsDialog::testMailServerButton, &SettingsDialog::mailServerEdit, &SettingsDialog::receivePage,
         listening,
         QStringLiteral("Tilkoblingen virker: ") + listening},
        {"SMTP with its own closed port", &SettingsDialog::testSmtpServerButton, &SettingsDialog::smtpServerEdit,
         &SettingsDialog::sendPage, closed,
         QStringLiteral("Kan ikke koble til: ") + closed},
    };
    SettingsDialog& d = open();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        connectionTest.dismiss();
        d.pageTabs->setCurrentWidget(d.*c.page);
        (d.*c.field)->setText(c.server);
        QTest::mouseClick(d.*c.button, Qt::LeftButton);
        EXPECT_TRUE(connectionTest.isVisible());
        EXPECT_EQ(connectionTest.statusLabel->text(), c.outcome);
        EXPECT_EQ((d.*c.field)->text(), c.server) << "the result changes nothing in the dialog";
        EXPECT_TRUE(d.isVisible());
    }
    // With IMAP chosen the receive page's test goes to IMAP's port, 143.
    connectionTest.dismiss();
    d.pageTabs->setCurrentWidget(d.receivePage);
    d.protocolBox->setCurrentText(QStringLiteral("IMAP"));
    d.mailServerEdit->clear();
    QTest::mouseClick(d.testMailServerButton, Qt::LeftButton);
    EXPECT_EQ(connectionTest.statusLabel->text(), QStringLiteral("Kan ikke koble til: :143"));
    EXPECT_EQ(d.mailServerLabel->text(), QStringLiteral("&Inngående epost server (IMAP)"));
    EXPECT_TRUE(listener.poll(Poco::Timespan(5, 0), Poco::Net::Socket::SELECT_READ)) << "the server was reached";
    EXPECT_TRUE(rt::IniFile(userIni()).sections().isEmpty()) << "a test saves nothing";
}

TEST_F(SettingsDialogTest, AcceleratorsReachTheirFields)
{
    store({{{QStringLiteral("Smtp"), QStringLiteral("SMTPAuthenticationType")}, QStringLiteral("1")}});
    SettingsDialog& d = open();
    d.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&d));
    struct Case {
        QWidget* page;
        Qt::Key key;
        QWidget* focus;
    };
    const Case cases[] = {
        {d.addressPage, Qt::Key_E, d.senderAddressEdit},    {d.receivePage, Qt::Key_I, d.mailServerEdit},
        {d.receivePage, Qt::Key_K, d.mailUserEdit},     {d.receivePage, Qt::Key_P, d.mailPasswordEdit},
        {d.sendPage, Qt::Key_B, d.smtpUserEdit}, {d.sendPage, Qt::Key_P, d.smtpPasswordEdit},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.focus->objectName().toStdString());
        d.pageTabs->setCurrentWidget(c.page);
        d.pageTabs->setFocus();
        QTest::keyClick(&d, c.key, Qt::AltModifier);
        EXPECT_EQ(QApplication::focusWidget(), c.focus);
    }
    d.pageTabs->setCurrentWidget(d.sendPage);
    clickText(d.sendByMailProgramRadio);
    ASSERT_FALSE(d.sendBySmtpRadio->isChecked());
    QTest::keyClick(&d, Qt::Key_U, Qt::AltModifier);
    // A mnemonic presses the button visibly, so the click comes a moment later.
    EXPECT_TRUE(QTest::qWaitFor([&] { return d.sendBySmtpRadio->isChecked(); }, 2000));
    EXPECT_TRUE(d.smtpPanel->isVisibleTo(&d));
}

// The main window opens a fresh dialog each time and reads the settings after
// it; while no POP server is stored, the dialog comes back.
TEST_F(SettingsDialogTest, MainWindowReopensTheDialogWhileNoServerIsStored)
{
    app::StripWindow main;
    int openings = 0;
    QStringList serversShown, namesShown;
    main.openSettingsDialog = [&] {
        ++openings;
        QTimer::singleShot(0, [&] {
            auto* d = qobject_cast<SettingsDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(d, nullptr);
            ASSERT_TRUE(d->isModal());
            serversShown.append(d->mailServerEdit->text());
            namesShown.append(d->senderNameEdit->text());
            if (openings == 1) {
                d->mailServerEdit->clear();
                d->senderNameEdit->setText(QStringLiteral("Ola"));
            }
            if (openings > 3) // a dialog that never ends the loop ends it here
                d->mailServerEdit->setText(QStringLiteral("stopp"));
            d->close();
        });
        settingsdialog::showSettingsDialog(&main, connectionTest);
    };
    main.onSettingsChosen();

    EXPECT_EQ(openings, 2);
    EXPECT_EQ(serversShown, (QStringList{QStringLiteral("mail.firma.example"), QStringLiteral("mail.firma.example")}))
        << "each opening proposes the server again";
    EXPECT_EQ(namesShown, (QStringList{QString(), QStringLiteral("Ola")})) << "each opening loads what the last saved";
    EXPECT_EQ(stored(QStringLiteral("Pop3"), QStringLiteral("ServerName")), QStringLiteral("mail.firma.example"));
    EXPECT_EQ(main.watcher().settings().host, QStringLiteral("mail.firma.example"));
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << "no dialog is left open";
    EXPECT_TRUE(main.findChildren<SettingsDialog*>().isEmpty()) << "each dialog is gone once it has closed";
}
