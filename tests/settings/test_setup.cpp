// The mail settings dialog on its real widgets, headless, with its own
// per-user settings file.
#include "Setup.h"

#include "fakeplatform.h"
#include "felles.h"
#include "inifile.h"
#include "ipsjekk.h"
#include "state.h"
#include "textfil.h"
#include "mailboxwatcher.h"
#include "visning.h"
#include "zt_reg.h"

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
using setup::TfmSetup;

namespace {

using Values = std::map<std::pair<QString, QString>, QString>; // (section, key) -> value

class SetupTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        QDir::setCurrent(guard.fake.root.path());
        rt::textfilStart();
        rt::locateIniFile();
    }
    void TearDown() override
    {
        dialog.reset();
    }

    QString userIni() const { return rt::state().EtcFolder + rt::username() + QStringLiteral(".INI"); }

    void store(const Values& values)
    {
        rt::IniFileObj ini(userIni());
        for (const auto& [at, value] : values)
            ini.writeString(at.first, at.second, value);
        ASSERT_TRUE(ini.updateFile());
    }

    QString stored(const QString& section, const QString& key) const
    {
        return rt::IniFileObj(userIni()).readString(section, key, QStringLiteral("<absent>"));
    }

    // A fresh dialog, built (which loads) and shown (which proposes).
    TfmSetup& open()
    {
        dialog = std::make_unique<TfmSetup>(connectionTest);
        dialog->show();
        return *dialog;
    }

    RuntimeFixtureGuard guard;
    ipsjekk::TIPTestForm connectionTest;
    std::unique_ptr<TfmSetup> dialog;
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

TEST_F(SetupTest, DialogAsDrawn)
{
    TfmSetup& d = open();
    EXPECT_EQ(d.windowTitle(), QStringLiteral("Epost oppsett"));
    EXPECT_EQ(d.size(), QSize(487, 240));
    EXPECT_EQ(d.minimumSize(), d.maximumSize()) << "fixed size";
    EXPECT_EQ(d.font().pixelSize(), 11);
    EXPECT_EQ(d.pcSetup->geometry(), QRect(5, 5, 477, 230));

    QStringList tabs, pages;
    for (int i = 0; i < d.pcSetup->count(); ++i) {
        tabs.append(d.pcSetup->tabText(i));
        pages.append(d.pcSetup->widget(i)->objectName());
    }
    EXPECT_EQ(tabs, (QStringList{QStringLiteral("Adresse"), QStringLiteral("Motta"), QStringLiteral("Sende"),
                                 QStringLiteral("Instillinger")}));
    EXPECT_EQ(pages, (QStringList{QStringLiteral("TabSheet2"), QStringLiteral("tsPop3"), QStringLiteral("tsSmtp"),
                                  QStringLiteral("tsSetup")}));
    EXPECT_EQ(d.pcSetup->currentWidget(), d.tsSmtp) << "opens on the \"Sende\" page";

    struct Labelled {
        QLabel* label;
        const char* text;
        QWidget* buddy;
        QWidget* page;
    };
    const Labelled labels[] = {
        {d.Label5, "Visningsnavn", d.eNavn, d.TabSheet2},
        {d.Label4, "&Epost adresse", d.Email, d.TabSheet2},
        {d.Label1, "&Inngående epost server (POP)", d.POPServer, d.tsPop3},
        {d.Label2, "&Konto", d.Account, d.tsPop3},
        {d.Label3, "&Passord", d.Password, d.tsPop3},
        {d.Label7, "&Brukernavn", d.edtAccount, d.tsSmtp},
        {d.Label8, "&Passord", d.edtPassword, d.tsSmtp},
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
        {d.BitBtn2, "Test", d.tsPop3},
        {d.EksternSMTP, "Bruk epostprogram til sending", d.tsSmtp},
        {d.RadioButton1, "&Utgående epost server (SMTP)", d.tsSmtp},
        {d.Button1, "Test", d.Panel2},
        {d.cLogSMTP, "Logg SMTP hendelser", d.Panel2},
        {d.cNye, "Se etter nye meldinger ved oppstart", d.tsSetup},
        {d.cSchedule, "Se etter nye meldinger hvert", d.tsSetup},
        {d.cHide, "Skjul vindu hvis det ikke er post", d.tsSetup},
        {d.cListe, "Vis meldingsliste ved oppstart", d.tsSetup},
        {d.cVismelding, "Vis meldingstatus", d.tsSetup},
        {d.cBeep, "Spill av en lyd", d.tsSetup},
        {d.VisNyListe, "Vis meldingslisten", d.tsSetup},
    };
    for (const Captioned& b : buttons) {
        EXPECT_EQ(b.button->text(), QString::fromUtf8(b.text));
        EXPECT_TRUE(b.page->isAncestorOf(b.button)) << b.text;
    }
    EXPECT_TRUE(d.Panel2->isAncestorOf(d.SMTPServer));
    EXPECT_TRUE(d.Panel2->isAncestorOf(d.cboAuthType));
    EXPECT_TRUE(d.tsSetup->isAncestorOf(d.eMinutt));
    EXPECT_EQ(d.Label9->text(), QStringLiteral("minutt(er)"));
    EXPECT_EQ(d.Label6->text(), QStringLiteral("Generelt:"));
    EXPECT_TRUE(d.Label6->font().bold());
    EXPECT_EQ(d.Label10->text(), QStringLiteral("Når ny melding mottas:"));
    EXPECT_TRUE(d.Label10->font().bold());

    // The only buttons are the two tests: the dialog has no OK or Cancel.
    QStringList pushButtons;
    for (const QPushButton* b : d.findChildren<QPushButton*>())
        pushButtons.append(b->objectName());
    pushButtons.sort();
    EXPECT_EQ(pushButtons, (QStringList{QStringLiteral("BitBtn2"), QStringLiteral("Button1")}));
    EXPECT_FALSE(d.BitBtn2->autoDefault() || d.Button1->autoDefault()) << "Enter does not start a test";

    QStringList auth;
    for (int i = 0; i < d.cboAuthType->count(); ++i)
        auth.append(d.cboAuthType->itemText(i));
    EXPECT_EQ(auth, (QStringList{QStringLiteral("Ingen pålogging"), QStringLiteral("Enkel pålogging")}));
    EXPECT_FALSE(d.cboAuthType->isEditable());

    QStringList programs;
    for (int i = 0; i < d.eMailProgramName->count(); ++i)
        programs.append(d.eMailProgramName->itemText(i));
    EXPECT_EQ(programs, (QStringList{QStringLiteral("Lotus Notes"), QStringLiteral("Microsoft Mail"),
                                     QStringLiteral("Mozilla"), QStringLiteral("Outlook"),
                                     QStringLiteral("Outlook Express"), QStringLiteral("SeaMonkey"),
                                     QStringLiteral("Standardprogram for operativsystemet"),
                                     QStringLiteral("Thunderbird")}));
    EXPECT_TRUE(d.eMailProgramName->isEditable());
    EXPECT_EQ(d.eMailProgramName->insertPolicy(), QComboBox::NoInsert) << "a typed name is not added to the list";

    d.Password->setText(QStringLiteral("abc"));
    EXPECT_EQ(d.Password->displayText(), QStringLiteral("***"));
    d.edtPassword->setText(QStringLiteral("abc"));
    EXPECT_EQ(d.edtPassword->displayText(), QStringLiteral("abc"));
}

// Every control of every page lies whole inside its page, its text not cut,
// with the SMTP login fields shown as well.
TEST_F(SetupTest, EveryPageFitsTheDialog)
{
    store({{{QStringLiteral("Smtp"), QStringLiteral("SMTPAuthenticationType")}, QStringLiteral("1")}});
    TfmSetup& d = open();
    ASSERT_TRUE(d.Panel1->isVisibleTo(&d));
    for (int i = 0; i < d.pcSetup->count(); ++i) {
        QWidget* page = d.pcSetup->widget(i);
        d.pcSetup->setCurrentIndex(i);
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

TEST_F(SetupTest, NewUserSeesProposals)
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
        rt::state().OptionUser = c.userOption;
        rt::state().UserNameCache.clear();
        TfmSetup& d = open();
        EXPECT_EQ(d.Account->text(), c.account);
        EXPECT_EQ(d.POPServer->text(), c.server);
        EXPECT_EQ(d.Email->text(), c.email);
        EXPECT_EQ(d.SMTPServer->text(), c.server) << "the \"Sende\" page took the POP server";
        EXPECT_EQ(d.eMinutt->text(), QString());
        EXPECT_EQ(d.Password->text(), QString());
        EXPECT_EQ(d.eNavn->text(), QString());
        for (const QCheckBox* box : d.findChildren<QCheckBox*>())
            EXPECT_FALSE(box->isChecked()) << box->objectName().toStdString();
        EXPECT_EQ(d.cboAuthType->currentText(), QStringLiteral("Ingen pålogging"));
        EXPECT_TRUE(d.RadioButton1->isChecked());
        EXPECT_FALSE(d.EksternSMTP->isChecked());
        EXPECT_FALSE(d.eMailProgramName->isVisibleTo(&d));
        EXPECT_EQ(d.eMailProgramName->currentText(), QString());
        EXPECT_FALSE(d.Panel1->isVisibleTo(&d));
        EXPECT_TRUE(d.Panel2->isVisibleTo(&d));
        d.hide(); // not closed: nothing saved between the cases
    }
}

// The "Sende" page proposes the POP server's host, never its port: a POP3
// port given to the composer would have it talk SMTP to a POP3 server. (In
// the dialog: SendPageTakesThePopServerWhenItHasNone.)
TEST(SmtpServerProposal, TakesTheHostOnly)
{
    struct Case {
        const char* pop;
        const char* smtp;
    };
    const Case cases[] = {
        {"pop.x:995", "pop.x"},
        {"pop.x", "pop.x"},
        {" pop.x:110 ", "pop.x"},
        {"127.0.0.1:15001", "127.0.0.1"},
        {"pop.x:", "pop.x"},
        {"[::1]:995", "[::1]"},
        {"[::1]", "[::1]"},
        {"::1", "[::1]"},
        {"2001:db8::1", "[2001:db8::1]"},
        {"[::1", "[::1"},
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(setup::smtpServerProposal(QString::fromUtf8(c.pop)), QString::fromUtf8(c.smtp)) << c.pop;
}

TEST_F(SetupTest, ClosingAtOnceWritesEveryKeyInOrder)
{
    open().close();
    const rt::IniFileObj ini(userIni());
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
TEST_F(SetupTest, ProtocolIsWrittenWhereItSaysSomething)
{
    const auto closeWith = [&](const QString& protocol) {
        TfmSetup& d = open();
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

TEST_F(SetupTest, EveryKeyRoundTrips)
{
    struct Key {
        const char* section;
        const char* key;
        QString storedBefore;
        QString shownBefore;
        QString typed;
        QString storedAfter;
        std::function<QString(TfmSetup&)> shown;
        std::function<void(TfmSetup&, const QString&)> type;
    };
    auto text = [](const char* section, const char* key, QLineEdit* TfmSetup::*field, const QString& before,
                   const QString& after) {
        return Key{section, key, before, before, after, after,
                   [field](TfmSetup& d) { return (d.*field)->text(); },
                   [field](TfmSetup& d, const QString& v) { (d.*field)->setText(v); }};
    };
    auto box = [](const char* key, QCheckBox* TfmSetup::*field, const char* section = "Pop3") {
        return Key{section, key, QStringLiteral("1"), QStringLiteral("1"), QStringLiteral("0"), QStringLiteral("0"),
                   [field](TfmSetup& d) { return flag((d.*field)->isChecked()); },
                   [field](TfmSetup& d, const QString& v) {
                       if ((d.*field)->isChecked() != (v == QLatin1String("1")))
                           (d.*field)->click();
                   }};
    };
    const QString pop3Before = QStringLiteral("hemmelig"), pop3After = QStringLiteral("nytt æøå");
    const Key keys[] = {
        Key{"Pop3", "Protocol", QStringLiteral("IMAP"), QStringLiteral("IMAP"), QStringLiteral("POP3"),
            QStringLiteral("POP3"), [](TfmSetup& d) { return d.protocolBox->currentText(); },
            [](TfmSetup& d, const QString& v) { d.protocolBox->setCurrentText(v); }},
        text("Pop3", "ServerName", &TfmSetup::POPServer, QStringLiteral("pop.firma.example"),
             QStringLiteral("pop2.firma.example:1110")),
        text("Pop3", "ServerUser", &TfmSetup::Account, QStringLiteral("ola.nordmann"), QStringLiteral("kari")),
        Key{"Pop3", "ServerPassword", rt::ScrambleText(pop3Before), pop3Before, pop3After,
            rt::ScrambleText(pop3After), [](TfmSetup& d) { return d.Password->text(); },
            [](TfmSetup& d, const QString& v) { d.Password->setText(v); }},
        box("StartupCheck", &TfmSetup::cNye),
        box("Scheduler", &TfmSetup::cSchedule),
        text("Pop3", "ScheduleMinutes", &TfmSetup::eMinutt, QStringLiteral("15"), QStringLiteral("30")),
        box("ShowList", &TfmSetup::cListe),
        box("HideWindow", &TfmSetup::cHide),
        box("BeepOnMail", &TfmSetup::cBeep),
        box("ShowOnNew", &TfmSetup::cVismelding),
        box("ShowListOnNew", &TfmSetup::VisNyListe),
        Key{"Smtp", "ExternalProgram", QStringLiteral("1"), QStringLiteral("1"), QStringLiteral("0"),
            QStringLiteral("0"), [](TfmSetup& d) { return flag(d.EksternSMTP->isChecked()); },
            [](TfmSetup& d, const QString& v) {
                (v == QLatin1String("1") ? d.EksternSMTP : d.RadioButton1)->click();
            }},
        Key{"Smtp", "MailProgram", QStringLiteral("Mutt"), QStringLiteral("Mutt"), QStringLiteral("Thunderbird"),
            QStringLiteral("Thunderbird"), [](TfmSetup& d) { return d.eMailProgramName->currentText(); },
            [](TfmSetup& d, const QString& v) {
                d.eMailProgramName->setCurrentIndex(d.eMailProgramName->findText(v)); // picked from the list
            }},
        text("Smtp", "ServerName", &TfmSetup::SMTPServer, QStringLiteral("smtp.firma.example"),
             QStringLiteral("smtp2.firma.example")),
        text("Smtp", "ServerUser", &TfmSetup::edtAccount, QStringLiteral("ola@firma.example"),
             QStringLiteral("kari@firma.example")),
        text("Smtp", "ServerPassword", &TfmSetup::edtPassword, QStringLiteral("klartekst"),
             QStringLiteral("ny klartekst")),
        Key{"Smtp", "SMTPAuthenticationType", QStringLiteral("1"), QStringLiteral("1"), QStringLiteral("0"),
            QStringLiteral("0"), [](TfmSetup& d) { return QString::number(d.cboAuthType->currentIndex()); },
            [](TfmSetup& d, const QString& v) { d.cboAuthType->setCurrentIndex(v.toInt()); }},
        box("LogSMTP", &TfmSetup::cLogSMTP, "Smtp"),
        text("Email", "PersonalEmail", &TfmSetup::Email, QStringLiteral("ola.privat@hjemme.example"),
             QStringLiteral("kari.privat@hjemme.example")),
        text("Email", "EmailName", &TfmSetup::eNavn, QStringLiteral("Ola Nordmann"),
             QStringLiteral("Kari Nordmann")),
    };
    ASSERT_EQ(std::size(keys), 21u) << "every key the dialog writes";

    Values before;
    for (const Key& k : keys)
        before[{QLatin1String(k.section), QLatin1String(k.key)}] = k.storedBefore;
    store(before);

    // Loaded into the controls, and written back unchanged.
    TfmSetup& d = open();
    for (const Key& k : keys)
        EXPECT_EQ(k.shown(d), k.shownBefore) << k.section << "/" << k.key;
    d.close();
    for (const Key& k : keys)
        EXPECT_EQ(stored(QLatin1String(k.section), QLatin1String(k.key)), k.storedBefore)
            << k.section << "/" << k.key;

    // Changed in the controls, and written as changed.
    TfmSetup& again = open();
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
        std::function<bool(app::TBrevglimtForm&)> strip; // as the strip read it; empty: not read there
    };
    const Flag flags[] = {
        {"StartupCheck", 1, [](app::TBrevglimtForm& f) { return f.watcher().settings().startupCheck; }},
        {"Scheduler", 2, [](app::TBrevglimtForm& f) { return f.scheduleTimer->isActive(); }},
        {"ShowList", 3, [](app::TBrevglimtForm& f) { return f.messageList->isVisibleTo(&f); }},
        {"HideWindow", 4, [](app::TBrevglimtForm& f) { return f.hideWhenEmpty; }},
        {"BeepOnMail", 5, [](app::TBrevglimtForm& f) { return f.beepOnChange; }},
        {"ShowOnNew", 6, [](app::TBrevglimtForm& f) { return f.showWindowOnChange; }},
        {"ShowListOnNew", 7, [](app::TBrevglimtForm& f) { return f.showListOnChange; }},
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
        TfmSetup& d = open();
        for (const Flag& f : flags)
            keyOf(f.key).type(d, flag(on(f)));
        d.close();
        for (const Flag& f : flags)
            EXPECT_EQ(stored(QLatin1String(keyOf(f.key).section), QLatin1String(f.key)), flag(on(f))) << f.key;
        TfmSetup& shown = open();
        for (const Flag& f : flags)
            EXPECT_EQ(keyOf(f.key).shown(shown), flag(on(f))) << f.key;
        dialog.reset();
        app::TBrevglimtForm strip;
        strip.readSettings();
        for (const Flag& f : flags) {
            if (f.strip) {
                EXPECT_EQ(f.strip(strip), on(f)) << f.key << " as the strip read it";
            }
        }
    }
}

TEST_F(SetupTest, PasswordsAreStoredTheirOwnWays)
{
    TfmSetup& d = open();
    d.Password->clear();
    d.edtPassword->setText(QStringLiteral(" Hemmelig æ=;"));
    d.close();
    EXPECT_EQ(stored(QStringLiteral("Pop3"), QStringLiteral("ServerPassword")), QStringLiteral("z2"));
    EXPECT_EQ(stored(QStringLiteral("Smtp"), QStringLiteral("ServerPassword")), QStringLiteral(" Hemmelig æ=;"));

    TfmSetup& again = open();
    EXPECT_EQ(again.Password->text(), QString());
    EXPECT_EQ(again.edtPassword->text(), QStringLiteral(" Hemmelig æ=;"));
}

TEST_F(SetupTest, ScheduleMinutesKeptAsTyped)
{
    for (const QString& typed : {QStringLiteral("15"), QStringLiteral(" 5"), QStringLiteral("fem"),
                                 QStringLiteral("10 min"), QString()}) {
        SCOPED_TRACE(typed.toStdString());
        open().eMinutt->setText(typed);
        dialog->close();
        EXPECT_EQ(stored(QStringLiteral("Pop3"), QStringLiteral("ScheduleMinutes")), typed);
        EXPECT_EQ(open().eMinutt->text(), typed);
        dialog->close();
    }
}

TEST_F(SetupTest, UnknownAuthenticationNumberMeansNoLogin)
{
    struct Case {
        const char* stored;
        int index;
    };
    for (const Case& c : {Case{"1", 1}, Case{"0", 0}, Case{"2", 0}, Case{"-1", 0}, Case{"en", 0}}) {
        SCOPED_TRACE(c.stored);
        store({{{QStringLiteral("Smtp"), QStringLiteral("SMTPAuthenticationType")}, QLatin1String(c.stored)}});
        TfmSetup& d = open();
        EXPECT_EQ(d.cboAuthType->currentIndex(), c.index);
        EXPECT_EQ(d.Panel1->isVisibleTo(&d), c.index == 1);
        d.hide();
    }
}

TEST_F(SetupTest, SendPageVisibilityRule)
{
    store({{{QStringLiteral("Smtp"), QStringLiteral("SMTPAuthenticationType")}, QStringLiteral("1")},
           {{QStringLiteral("Smtp"), QStringLiteral("MailProgram")}, QStringLiteral("Thunderbird")}});
    TfmSetup& d = open();
    struct Step {
        const char* name;
        std::function<void()> act;
        bool smtpPanel;
        bool loginPanel;
        bool programList;
    };
    const Step steps[] = {
        {"as loaded", [] {}, true, true, false},
        {"mail program chosen", [&] { clickText(d.EksternSMTP); }, false, false, true},
        {"login chosen while the mail program is", [&] { d.cboAuthType->setCurrentIndex(1); }, false, false, true},
        {"SMTP chosen again", [&] { clickText(d.RadioButton1); }, true, true, false},
        {"no login", [&] { d.cboAuthType->setCurrentIndex(0); }, true, false, false},
        {"simple login", [&] { d.cboAuthType->setCurrentIndex(1); }, true, true, false},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.name);
        s.act();
        EXPECT_EQ(d.Panel2->isVisibleTo(&d), s.smtpPanel);
        EXPECT_EQ(d.Panel1->isVisibleTo(&d), s.loginPanel);
        EXPECT_EQ(d.eMailProgramName->isVisibleTo(&d), s.programList);
        EXPECT_NE(d.EksternSMTP->isChecked(), d.RadioButton1->isChecked()) << "exactly one is chosen";
    }
    EXPECT_EQ(d.eMailProgramName->currentText(), QStringLiteral("Thunderbird"));
}

TEST_F(SetupTest, OpensWithTheMailProgramWhenStoredSo)
{
    store({{{QStringLiteral("Smtp"), QStringLiteral("ExternalProgram")}, QStringLiteral("1")},
           {{QStringLiteral("Smtp"), QStringLiteral("SMTPAuthenticationType")}, QStringLiteral("1")},
           {{QStringLiteral("Smtp"), QStringLiteral("MailProgram")}, QStringLiteral("Mutt")}});
    TfmSetup& d = open();
    EXPECT_TRUE(d.EksternSMTP->isChecked());
    EXPECT_FALSE(d.RadioButton1->isChecked());
    EXPECT_TRUE(d.eMailProgramName->isVisibleTo(&d));
    EXPECT_EQ(d.eMailProgramName->currentText(), QStringLiteral("Mutt"));
    EXPECT_FALSE(d.Panel2->isVisibleTo(&d));
    EXPECT_FALSE(d.Panel1->isVisibleTo(&d));
}

TEST_F(SetupTest, SendPageTakesThePopServerWhenItHasNone)
{
    struct Case {
        const char* name;
        Values stored;
        std::function<void(TfmSetup&)> act; // after opening
        QString smtpServer;
    };
    const QString pop = QStringLiteral("Pop3"), smtp = QStringLiteral("Smtp"), name = QStringLiteral("ServerName");
    // The SMTP server emptied, the POP server given on its page, then back
    // to the "Sende" page.
    auto popServerTyped = [](const QString& text) {
        return [text](TfmSetup& d) {
            d.SMTPServer->clear();
            d.pcSetup->setCurrentWidget(d.tsPop3);
            d.POPServer->setText(text);
            d.pcSetup->setCurrentWidget(d.tsSmtp);
        };
    };
    const Case cases[] = {
        {"stored POP server, no SMTP server", {{{pop, name}, QStringLiteral("pop.a")}}, [](TfmSetup&) {},
         QStringLiteral("pop.a")},
        {"stored SMTP server stays", {{{pop, name}, QStringLiteral("pop.a")}, {{smtp, name}, QStringLiteral("smtp.b")}},
         [](TfmSetup&) {}, QStringLiteral("smtp.b")},
        {"copies the POP server as it stands when the page is shown again", {}, popServerTyped(QStringLiteral("pop.c")),
         QStringLiteral("pop.c")},
        {"stored POP server with its port: the host only", {{{pop, name}, QStringLiteral("pop.x:995")}},
         [](TfmSetup&) {}, QStringLiteral("pop.x")},
        {"typed IPv6 POP server with its port: the address in brackets", {},
         popServerTyped(QStringLiteral("[::1]:995")), QStringLiteral("[::1]")},
        {"left empty while the POP server is", {}, popServerTyped(QString()), QString()},
        {"not on another page", {},
         [](TfmSetup& d) {
             d.SMTPServer->clear();
             d.pcSetup->setCurrentWidget(d.tsSetup);
         },
         QString()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(userIni());
        if (!c.stored.empty())
            store(c.stored);
        TfmSetup& d = open();
        c.act(d);
        EXPECT_EQ(d.SMTPServer->text(), c.smtpServer);
        d.hide();
    }
}

TEST_F(SetupTest, EveryWayOfClosingSaves)
{
    struct Way {
        const char* name;
        std::function<void(TfmSetup&)> close;
    };
    const Way ways[] = {
        {"close box", [](TfmSetup& d) {
             QCloseEvent event;
             QCoreApplication::sendEvent(&d, &event);
         }},
        {"close()", [](TfmSetup& d) { d.close(); }},
        {"Escape", [](TfmSetup& d) { QTest::keyClick(d.eNavn, Qt::Key_Escape); }},
        {"reject()", [](TfmSetup& d) { d.reject(); }},
        {"accept()", [](TfmSetup& d) { d.accept(); }},
    };
    int n = 0;
    for (const Way& w : ways) {
        SCOPED_TRACE(w.name);
        const QString before = stored(QStringLiteral("Email"), QStringLiteral("EmailName"));
        const QString name = QStringLiteral("Navn %1").arg(++n);
        TfmSetup& d = open();
        d.eNavn->setText(name);
        EXPECT_EQ(stored(QStringLiteral("Email"), QStringLiteral("EmailName")), before)
            << "nothing is written while the dialog is open";
        w.close(d);
        EXPECT_FALSE(d.isVisible());
        EXPECT_EQ(stored(QStringLiteral("Email"), QStringLiteral("EmailName")), name);
    }
}

TEST_F(SetupTest, TestButtonsTestTheirServerOnTheirPort)
{
    Poco::Net::ServerSocket listener(Poco::Net::SocketAddress("127.0.0.1", 0));
    const QString listening = QStringLiteral("127.0.0.1:%1").arg(listener.address().port());
    const QString closed = QStringLiteral("127.0.0.1:%1").arg(closedPort());
    struct Case {
        const char* name;
        QPushButton* TfmSetup::*button;
        QLineEdit* TfmSetup::*field;
        QWidget* TfmSetup::*page;
        QString server;
        QString outcome; // what the window says after the test
    };
    const Case cases[] = {
        {"POP on 110", &TfmSetup::BitBtn2, &TfmSetup::POPServer, &TfmSetup::tsPop3, QString(),
         QStringLiteral("Kan ikke koble til: :110")},
        {"SMTP on 25", &TfmSetup::Button1, &TfmSetup::SMTPServer, &TfmSetup::tsSmtp, QString(),
         QStringLiteral("Kan ikke koble til: :25")},
        {"POP with its own port", &TfmSetup::BitBtn2, &TfmSetup::POPServer, &TfmSetup::tsPop3, listening,
         QStringLiteral("Tilkoblingen virker: ") + listening},
        {"SMTP with its own closed port", &TfmSetup::Button1, &TfmSetup::SMTPServer, &TfmSetup::tsSmtp, closed,
         QStringLiteral("Kan ikke koble til: ") + closed},
    };
    TfmSetup& d = open();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        connectionTest.dismiss();
        d.pcSetup->setCurrentWidget(d.*c.page);
        (d.*c.field)->setText(c.server);
        QTest::mouseClick(d.*c.button, Qt::LeftButton);
        EXPECT_TRUE(connectionTest.isVisible());
        EXPECT_EQ(connectionTest.statusLabel->text(), c.outcome);
        EXPECT_EQ((d.*c.field)->text(), c.server) << "the result changes nothing in the dialog";
        EXPECT_TRUE(d.isVisible());
    }
    // With IMAP chosen the receive page's test goes to IMAP's port, 143.
    connectionTest.dismiss();
    d.pcSetup->setCurrentWidget(d.tsPop3);
    d.protocolBox->setCurrentText(QStringLiteral("IMAP"));
    d.POPServer->clear();
    QTest::mouseClick(d.BitBtn2, Qt::LeftButton);
    EXPECT_EQ(connectionTest.statusLabel->text(), QStringLiteral("Kan ikke koble til: :143"));
    EXPECT_EQ(d.Label1->text(), QStringLiteral("&Inngående epost server (IMAP)"));
    EXPECT_TRUE(listener.poll(Poco::Timespan(5, 0), Poco::Net::Socket::SELECT_READ)) << "the server was reached";
    EXPECT_TRUE(rt::IniFileObj(userIni()).sections().isEmpty()) << "a test saves nothing";
}

TEST_F(SetupTest, AcceleratorsReachTheirFields)
{
    store({{{QStringLiteral("Smtp"), QStringLiteral("SMTPAuthenticationType")}, QStringLiteral("1")}});
    TfmSetup& d = open();
    d.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&d));
    struct Case {
        QWidget* page;
        Qt::Key key;
        QWidget* focus;
    };
    const Case cases[] = {
        {d.TabSheet2, Qt::Key_E, d.Email},    {d.tsPop3, Qt::Key_I, d.POPServer},
        {d.tsPop3, Qt::Key_K, d.Account},     {d.tsPop3, Qt::Key_P, d.Password},
        {d.tsSmtp, Qt::Key_B, d.edtAccount}, {d.tsSmtp, Qt::Key_P, d.edtPassword},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.focus->objectName().toStdString());
        d.pcSetup->setCurrentWidget(c.page);
        d.pcSetup->setFocus();
        QTest::keyClick(&d, c.key, Qt::AltModifier);
        EXPECT_EQ(QApplication::focusWidget(), c.focus);
    }
    d.pcSetup->setCurrentWidget(d.tsSmtp);
    clickText(d.EksternSMTP);
    ASSERT_FALSE(d.RadioButton1->isChecked());
    QTest::keyClick(&d, Qt::Key_U, Qt::AltModifier);
    // A mnemonic presses the button visibly, so the click comes a moment later.
    EXPECT_TRUE(QTest::qWaitFor([&] { return d.RadioButton1->isChecked(); }, 2000));
    EXPECT_TRUE(d.Panel2->isVisibleTo(&d));
}

// The main window opens a fresh dialog each time and reads the settings after
// it; while no POP server is stored, the dialog comes back.
TEST_F(SetupTest, MainWindowReopensTheDialogWhileNoServerIsStored)
{
    app::TBrevglimtForm main;
    int openings = 0;
    QStringList serversShown, namesShown;
    main.settingsDialog = [&] {
        ++openings;
        QTimer::singleShot(0, [&] {
            auto* d = qobject_cast<TfmSetup*>(QApplication::activeModalWidget());
            ASSERT_NE(d, nullptr);
            ASSERT_TRUE(d->isModal());
            serversShown.append(d->POPServer->text());
            namesShown.append(d->eNavn->text());
            if (openings == 1) {
                d->POPServer->clear();
                d->eNavn->setText(QStringLiteral("Ola"));
            }
            if (openings > 3) // a dialog that never ends the loop ends it here
                d->POPServer->setText(QStringLiteral("stopp"));
            d->close();
        });
        setup::showSetupDialog(&main, connectionTest);
    };
    main.onSettingsChosen();

    EXPECT_EQ(openings, 2);
    EXPECT_EQ(serversShown, (QStringList{QStringLiteral("mail.firma.example"), QStringLiteral("mail.firma.example")}))
        << "each opening proposes the server again";
    EXPECT_EQ(namesShown, (QStringList{QString(), QStringLiteral("Ola")})) << "each opening loads what the last saved";
    EXPECT_EQ(stored(QStringLiteral("Pop3"), QStringLiteral("ServerName")), QStringLiteral("mail.firma.example"));
    EXPECT_EQ(main.watcher().settings().host, QStringLiteral("mail.firma.example"));
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << "no dialog is left open";
    EXPECT_TRUE(main.findChildren<TfmSetup*>().isEmpty()) << "each dialog is gone once it has closed";
}
