#include "Setup.h"

#include "mailboxsettings.h"

#include "errordisplay.h"
#include "felles.h"
#include "ipsjekk.h"
#include "state.h"
#include "zt_reg.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTabWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace setup {

namespace {

const QString kPop3 = QStringLiteral("Pop3");
const QString kSmtp = QStringLiteral("Smtp");
const QString kEmail = QStringLiteral("Email");

// Widths of the fields, so that the pages read as forms and not as banners.
constexpr int kFieldWidth = 260;
constexpr int kShortFieldWidth = 180;

QFont formFont(bool bold = false)
{
    QFont f(QStringLiteral("MS Sans Serif"));
    f.setStyleHint(QFont::SansSerif);
    f.setPixelSize(11);
    f.setBold(bold);
    return f;
}

template <typename W>
W* named(W* widget, const char* name)
{
    widget->setObjectName(QLatin1String(name));
    return widget;
}

QLabel* label(QWidget* parent, const char* name, const QString& caption, QWidget* buddy = nullptr)
{
    auto* l = named(new QLabel(caption, parent), name);
    if (buddy)
        l->setBuddy(buddy);
    return l;
}

QLineEdit* edit(QWidget* parent, const char* name, int width = kFieldWidth)
{
    auto* e = named(new QLineEdit(parent), name);
    e->setFixedWidth(width);
    return e;
}

QPushButton* testButton(QWidget* parent, const char* name)
{
    auto* b = named(new QPushButton(QStringLiteral("Test"), parent), name);
    // Enter in a field must not start a connection test.
    b->setAutoDefault(false);
    return b;
}

QCheckBox* check(QWidget* parent, const char* name, const QString& caption)
{
    return named(new QCheckBox(caption, parent), name);
}

QWidget* page(const char* name)
{
    auto* p = new QWidget;
    p->setObjectName(QLatin1String(name));
    return p;
}

} // namespace

TfmSetup::TfmSetup(ipsjekk::TIPTestForm& connectionTest, QWidget* parent)
    : gui::OwnedDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint
                                   | Qt::WindowCloseButtonHint)
    , m_connectionTest(connectionTest)
{
    setObjectName(QStringLiteral("fmSetup"));
    setWindowTitle(QStringLiteral("Epost oppsett"));
    setFixedSize(487, 240);
    setFont(formFont());

    pcSetup = named(new QTabWidget(this), "pcSetup");
    pcSetup->setGeometry(5, 5, 477, 230);
    pcSetup->setUsesScrollButtons(false);

    buildAddressPage();
    buildReceivePage();
    buildSendPage();
    buildSettingsPage();
    pcSetup->addTab(TabSheet2, QStringLiteral("Adresse"));
    pcSetup->addTab(tsPop3, QStringLiteral("Motta"));
    pcSetup->addTab(tsSmtp, QStringLiteral("Sende"));
    pcSetup->addTab(tsSetup, QStringLiteral("Instillinger"));
    pcSetup->setCurrentWidget(tsSmtp);

    auto run = [this](void (TfmSetup::*handler)()) {
        return [this, handler] { rt::runHandler([&] { (this->*handler)(); }); };
    };
    connect(BitBtn2, &QPushButton::clicked, this, run(&TfmSetup::BitBtn2Click));
    connect(protocolBox, &QComboBox::currentIndexChanged, this, run(&TfmSetup::protocolChosen));
    connect(Button1, &QPushButton::clicked, this, run(&TfmSetup::Button1Click));
    // One radio button's change is always the other's too.
    connect(EksternSMTP, &QRadioButton::toggled, this, run(&TfmSetup::EksternSMTPClick));
    connect(cboAuthType, &QComboBox::currentIndexChanged, this, run(&TfmSetup::EksternSMTPClick));
    connect(pcSetup, &QTabWidget::currentChanged, this, [this] {
        if (isVisible() && pcSetup->currentWidget() == tsSmtp)
            rt::runHandler([&] { tsSmtpShow(); });
    });

    FormCreate();
}

// ---------------------------------------------------------------- pages

void TfmSetup::buildAddressPage()
{
    TabSheet2 = page("TabSheet2");
    eNavn = edit(TabSheet2, "eNavn");
    Email = edit(TabSheet2, "Email");
    Label5 = label(TabSheet2, "Label5", QStringLiteral("Visningsnavn"), eNavn);
    Label4 = label(TabSheet2, "Label4", QStringLiteral("&Epost adresse"), Email);

    auto* grid = new QVBoxLayout(TabSheet2);
    grid->setContentsMargins(12, 12, 12, 12);
    grid->setSpacing(2);
    grid->addWidget(Label5);
    grid->addWidget(eNavn);
    grid->addSpacing(8);
    grid->addWidget(Label4);
    grid->addWidget(Email);
    grid->addStretch(1);
}

void TfmSetup::buildReceivePage()
{
    tsPop3 = page("tsPop3");
    protocolBox = named(new QComboBox(tsPop3), "protocolBox");
    protocolBox->addItems({QStringLiteral("POP3"), QStringLiteral("IMAP")});
    protocolBox->setFixedWidth(kShortFieldWidth);
    POPServer = edit(tsPop3, "POPServer");
    BitBtn2 = testButton(tsPop3, "BitBtn2");
    Account = edit(tsPop3, "Account", kShortFieldWidth);
    Password = edit(tsPop3, "Password", kShortFieldWidth);
    Password->setEchoMode(QLineEdit::Password);
    Password->setStyleSheet(QStringLiteral("lineedit-password-character: 42")); // '*'
    Label1 = label(tsPop3, "Label1", QStringLiteral("&Inngående epost server (POP)"), POPServer);
    Label2 = label(tsPop3, "Label2", QStringLiteral("&Konto"), Account);
    Label3 = label(tsPop3, "Label3", QStringLiteral("&Passord"), Password);
    protocolLabel = label(tsPop3, "protocolLabel", QStringLiteral("P&rotokoll"), protocolBox);

    auto* grid = new QGridLayout(tsPop3);
    grid->setContentsMargins(12, 12, 12, 12);
    grid->setHorizontalSpacing(6);
    grid->setVerticalSpacing(2);
    grid->addWidget(protocolLabel, 0, 0, 1, 2);
    grid->addWidget(protocolBox, 1, 0);
    grid->setRowMinimumHeight(2, 6);
    grid->addWidget(Label1, 3, 0, 1, 2);
    grid->addWidget(POPServer, 4, 0);
    grid->addWidget(BitBtn2, 4, 1);
    grid->setRowMinimumHeight(5, 6);
    grid->addWidget(Label2, 6, 0, 1, 2);
    grid->addWidget(Account, 7, 0);
    grid->setRowMinimumHeight(8, 6);
    grid->addWidget(Label3, 9, 0, 1, 2);
    grid->addWidget(Password, 10, 0);
    grid->setRowStretch(11, 1);
    grid->setColumnStretch(2, 1);
}

void TfmSetup::buildSendPage()
{
    tsSmtp = page("tsSmtp");
    EksternSMTP = named(new QRadioButton(QStringLiteral("Bruk epostprogram til sending"), tsSmtp), "EksternSMTP");
    eMailProgramName = named(new QComboBox(tsSmtp), "eMailProgramName");
    eMailProgramName->setEditable(true);
    // Typed names are taken as they stand, never added to the list.
    eMailProgramName->setInsertPolicy(QComboBox::NoInsert);
    eMailProgramName->addItems({QStringLiteral("Lotus Notes"), QStringLiteral("Microsoft Mail"),
                                QStringLiteral("Mozilla"), QStringLiteral("Outlook"),
                                QStringLiteral("Outlook Express"), QStringLiteral("SeaMonkey"),
                                QStringLiteral("Standardprogram for operativsystemet"),
                                QStringLiteral("Thunderbird")});
    eMailProgramName->model()->sort(0);
    eMailProgramName->setFixedWidth(200);
    eMailProgramName->setCurrentIndex(-1);
    eMailProgramName->hide();
    RadioButton1 = named(new QRadioButton(QStringLiteral("&Utgående epost server (SMTP)"), tsSmtp), "RadioButton1");
    RadioButton1->setChecked(true);

    Panel2 = named(new QFrame(tsSmtp), "Panel2");
    Panel2->setFrameShape(QFrame::NoFrame);
    SMTPServer = edit(Panel2, "SMTPServer");
    Button1 = testButton(Panel2, "Button1");
    cLogSMTP = check(Panel2, "cLogSMTP", QStringLiteral("Logg SMTP hendelser"));
    cboAuthType = named(new QComboBox(Panel2), "cboAuthType");
    cboAuthType->addItems({QStringLiteral("Ingen pålogging"), QStringLiteral("Enkel pålogging")});
    cboAuthType->setFixedWidth(140);
    auto* panel2Grid = new QGridLayout(Panel2);
    panel2Grid->setContentsMargins(20, 0, 0, 0);
    panel2Grid->setHorizontalSpacing(6);
    panel2Grid->setVerticalSpacing(6);
    panel2Grid->addWidget(SMTPServer, 0, 0);
    panel2Grid->addWidget(Button1, 0, 1, Qt::AlignLeft);
    panel2Grid->addWidget(cLogSMTP, 1, 0);
    panel2Grid->addWidget(cboAuthType, 1, 1, 1, 2, Qt::AlignLeft);
    panel2Grid->setColumnStretch(3, 1);

    Panel1 = named(new QFrame(tsSmtp), "Panel1");
    Panel1->setFrameShape(QFrame::NoFrame);
    edtAccount = edit(Panel1, "edtAccount", kShortFieldWidth);
    edtPassword = edit(Panel1, "edtPassword", kShortFieldWidth);
    Label7 = label(Panel1, "Label7", QStringLiteral("&Brukernavn"), edtAccount);
    Label8 = label(Panel1, "Label8", QStringLiteral("&Passord"), edtPassword);
    auto* panel1Grid = new QGridLayout(Panel1);
    panel1Grid->setContentsMargins(20, 0, 0, 0);
    panel1Grid->setHorizontalSpacing(8);
    panel1Grid->setVerticalSpacing(4);
    panel1Grid->addWidget(Label7, 0, 0);
    panel1Grid->addWidget(edtAccount, 0, 1);
    panel1Grid->addWidget(Label8, 1, 0);
    panel1Grid->addWidget(edtPassword, 1, 1);
    panel1Grid->setColumnStretch(2, 1);
    Panel1->hide();

    auto* grid = new QGridLayout(tsSmtp);
    grid->setContentsMargins(12, 10, 12, 10);
    grid->setHorizontalSpacing(6);
    grid->setVerticalSpacing(6);
    grid->addWidget(EksternSMTP, 0, 0);
    grid->addWidget(eMailProgramName, 0, 1, Qt::AlignLeft);
    grid->addWidget(RadioButton1, 1, 0, 1, 2);
    grid->addWidget(Panel2, 2, 0, 1, 3);
    grid->addWidget(Panel1, 3, 0, 1, 3);
    grid->setRowStretch(4, 1);
    grid->setColumnStretch(2, 1);
    // The first row keeps its height while the program list is hidden.
    grid->setRowMinimumHeight(0, eMailProgramName->sizeHint().height());
}

void TfmSetup::buildSettingsPage()
{
    tsSetup = page("tsSetup");
    Label6 = named(new QLabel(QStringLiteral("Generelt:"), tsSetup), "Label6");
    Label6->setFont(formFont(true));
    cNye = check(tsSetup, "cNye", QStringLiteral("Se etter nye meldinger ved oppstart"));
    cSchedule = check(tsSetup, "cSchedule", QStringLiteral("Se etter nye meldinger hvert"));
    eMinutt = edit(tsSetup, "eMinutt", 36);
    Label9 = named(new QLabel(QStringLiteral("minutt(er)"), tsSetup), "Label9");
    cHide = check(tsSetup, "cHide", QStringLiteral("Skjul vindu hvis det ikke er post"));
    cListe = check(tsSetup, "cListe", QStringLiteral("Vis meldingsliste ved oppstart"));
    Label10 = named(new QLabel(QStringLiteral("Når ny melding mottas:"), tsSetup), "Label10");
    Label10->setFont(formFont(true));
    cVismelding = check(tsSetup, "cVismelding", QStringLiteral("Vis meldingstatus"));
    cBeep = check(tsSetup, "cBeep", QStringLiteral("Spill av en lyd"));
    VisNyListe = check(tsSetup, "VisNyListe", QStringLiteral("Vis meldingslisten"));

    auto* column = new QVBoxLayout(tsSetup);
    column->setContentsMargins(12, 6, 12, 6);
    column->setSpacing(1);
    auto indented = [column](QWidget* w) {
        auto* row = new QHBoxLayout;
        row->setContentsMargins(12, 0, 0, 0);
        row->addWidget(w);
        row->addStretch(1);
        column->addLayout(row);
    };
    column->addWidget(Label6);
    indented(cNye);
    auto* scheduleRow = new QHBoxLayout;
    scheduleRow->setContentsMargins(12, 0, 0, 0);
    scheduleRow->setSpacing(4);
    scheduleRow->addWidget(cSchedule);
    scheduleRow->addWidget(eMinutt);
    scheduleRow->addWidget(Label9);
    scheduleRow->addStretch(1);
    column->addLayout(scheduleRow);
    indented(cHide);
    indented(cListe);
    column->addSpacing(4);
    column->addWidget(Label10);
    indented(cVismelding);
    indented(cBeep);
    indented(VisNyListe);
    column->addStretch(1);
}

// ---------------------------------------------------------------- load and proposals

void TfmSetup::FormCreate()
{
    rt::useuserini();

    rt::iniselect(kPop3);
    protocolBox->setCurrentText(settings::protocolText(settings::protocolFromText(rt::inireadstring(QStringLiteral("Protocol")))));
    POPServer->setText(rt::inireadstring(QStringLiteral("ServerName")));
    Account->setText(rt::inireadstring(QStringLiteral("ServerUser")));
    const QString popPassword = rt::UnscrambleText(rt::inireadstring(QStringLiteral("ServerPassword")));
    cNye->setChecked(rt::inireadbool(QStringLiteral("StartupCheck")));
    cSchedule->setChecked(rt::inireadbool(QStringLiteral("Scheduler")));
    eMinutt->setText(rt::inireadstring(QStringLiteral("ScheduleMinutes")));
    cListe->setChecked(rt::inireadbool(QStringLiteral("ShowList")));
    cHide->setChecked(rt::inireadbool(QStringLiteral("HideWindow")));
    cBeep->setChecked(rt::inireadbool(QStringLiteral("BeepOnMail")));
    cVismelding->setChecked(rt::inireadbool(QStringLiteral("ShowOnNew")));
    VisNyListe->setChecked(rt::inireadbool(QStringLiteral("ShowListOnNew")));

    rt::iniselect(kSmtp);
    // The two radio buttons are one group: checking one unchecks the other.
    if (rt::inireadbool(QStringLiteral("ExternalProgram")))
        EksternSMTP->setChecked(true);
    else
        RadioButton1->setChecked(true);
    eMailProgramName->setCurrentIndex(-1);
    eMailProgramName->setEditText(rt::inireadstring(QStringLiteral("MailProgram")));
    eMailProgramName->setVisible(EksternSMTP->isChecked());
    SMTPServer->setText(rt::inireadstring(QStringLiteral("ServerName")));
    edtAccount->setText(rt::inireadstring(QStringLiteral("ServerUser")));
    const QString smtpPassword = rt::inireadstring(QStringLiteral("ServerPassword"));
    // A number the list does not know means no login.
    const qint32 auth = rt::inireadint(QStringLiteral("SMTPAuthenticationType"));
    cboAuthType->setCurrentIndex(auth >= 0 && auth < cboAuthType->count() ? auth : 0);
    cLogSMTP->setChecked(rt::inireadbool(QStringLiteral("LogSMTP")));

    rt::iniselect(kEmail);
    Email->setText(rt::inireadstring(QStringLiteral("PersonalEmail")));
    eNavn->setText(rt::inireadstring(QStringLiteral("EmailName")));

    rt::inistandard();
    rt::usemainini();

    loadPasswords(popPassword, smtpPassword);
    EksternSMTPClick();
    protocolChosen();
}

void TfmSetup::protocolChosen()
{
    Label1->setText(QStringLiteral("&Inngående epost server (%1)")
                        .arg(protocolBox->currentIndex() == 1 ? QStringLiteral("IMAP") : QStringLiteral("POP")));
}

void TfmSetup::loadPasswords(const QString& popFileValue, const QString& smtpFileValue)
{
    // A password the file does not hold is read from the keyring; the
    // settings file is closed meanwhile, since the desktop may first ask
    // the user to unlock the keyring.
    const auto load = [](QLineEdit* field, keyring::LoadedPassword& loaded, keyring::AccountKind kind,
                         const QString& server, const QString& user, const QString& fileValue) {
        loaded = keyring::loadPassword(keyring::accountFor(kind, server, user), fileValue);
        field->setText(loaded.shown);
        // An empty field whose password the keyring would not give says why.
        field->setPlaceholderText(loaded.failure.isEmpty() ? QString() : QStringLiteral("(%1)").arg(loaded.failure));
    };
    load(Password, m_popPassword, keyring::AccountKind::Mailbox, POPServer->text(), Account->text(), popFileValue);
    load(edtPassword, m_smtpPassword, keyring::AccountKind::Smtp, SMTPServer->text(), edtAccount->text(),
         smtpFileValue);
}

void TfmSetup::FormShow()
{
    rt::username(); // makes sure the name as found is cached
    if (Account->text().isEmpty())
        Account->setText(rt::state().UserNameCache);
    // Proposals only where the machine has a DNS domain: "mail." or
    // "root@" alone would only have to be erased.
    const QString domain = rt::domainname();
    if (domain.isEmpty())
        return;
    if (POPServer->text().isEmpty())
        POPServer->setText(QStringLiteral("mail.") + domain);
    if (Email->text().isEmpty() && !Account->text().isEmpty())
        Email->setText(Account->text() + QLatin1Char('@') + domain);
}

QString smtpServerProposal(const QString& popServer)
{
    const QString text = popServer.trimmed();
    if (text.startsWith(QLatin1Char('['))) {
        const qsizetype close = text.indexOf(QLatin1Char(']'));
        return close < 0 ? text : text.left(close + 1);
    }
    const qsizetype colons = text.count(QLatin1Char(':'));
    if (colons == 1)
        return text.left(text.indexOf(QLatin1Char(':')));
    // More than one colon: a bare IPv6 address, which has no port.
    if (colons > 1)
        return QLatin1Char('[') + text + QLatin1Char(']');
    return text;
}

void TfmSetup::tsSmtpShow()
{
    // The POP3 port (110, 995 or the user's own) is no SMTP port.
    if (SMTPServer->text().isEmpty())
        SMTPServer->setText(smtpServerProposal(POPServer->text()));
}

void TfmSetup::EksternSMTPClick()
{
    const bool external = EksternSMTP->isChecked();
    Panel2->setVisible(!external);
    eMailProgramName->setVisible(external);
    Panel1->setVisible(cboAuthType->currentIndex() >= 1 && !external);
}

// ---------------------------------------------------------------- tests

void TfmSetup::BitBtn2Click()
{
    m_connectionTest.testConnection(POPServer->text(), settings::defaultPort(settings::protocolFromText(protocolBox->currentText())), true);
}

void TfmSetup::Button1Click()
{
    m_connectionTest.testConnection(SMTPServer->text(), 25, true);
}

// ---------------------------------------------------------------- save

void TfmSetup::FormClose()
{
    LagreKnappClick();
}

void TfmSetup::LagreKnappClick()
{
    // The keyring first, before the settings file is opened: it may ask the
    // user to unlock it. What it takes, the file keeps empty.
    const std::optional<QString> popPassword = keyring::savePassword(
        m_popPassword, keyring::accountFor(keyring::AccountKind::Mailbox, POPServer->text(), Account->text()),
        Password->text());
    const std::optional<QString> smtpPassword = keyring::savePassword(
        m_smtpPassword, keyring::accountFor(keyring::AccountKind::Smtp, SMTPServer->text(), edtAccount->text()),
        edtPassword->text());

    rt::useuserini();
    rt::IniFileObj& ini = rt::IniFile();

    // Only where it says something: a POP3 user's file stays as earlier
    // versions wrote it (no key means POP3); once written, it follows the
    // choice, so a return to POP3 is kept too.
    if (protocolBox->currentIndex() == 1 || ini.valueExists(kPop3, QStringLiteral("Protocol")))
        ini.writeString(kPop3, QStringLiteral("Protocol"), protocolBox->currentText());
    ini.writeString(kPop3, QStringLiteral("ServerName"), POPServer->text());
    ini.writeString(kPop3, QStringLiteral("ServerUser"), Account->text());
    ini.writeString(kPop3, QStringLiteral("ServerPassword"), popPassword ? rt::ScrambleText(*popPassword) : QString());
    ini.writeBool(kPop3, QStringLiteral("StartupCheck"), cNye->isChecked());
    ini.writeBool(kPop3, QStringLiteral("Scheduler"), cSchedule->isChecked());
    ini.writeString(kPop3, QStringLiteral("ScheduleMinutes"), eMinutt->text());
    ini.writeBool(kPop3, QStringLiteral("ShowList"), cListe->isChecked());
    ini.writeBool(kPop3, QStringLiteral("HideWindow"), cHide->isChecked());
    ini.writeBool(kPop3, QStringLiteral("BeepOnMail"), cBeep->isChecked());
    ini.writeBool(kPop3, QStringLiteral("ShowOnNew"), cVismelding->isChecked());
    ini.writeBool(kPop3, QStringLiteral("ShowListOnNew"), VisNyListe->isChecked());

    ini.writeBool(kSmtp, QStringLiteral("ExternalProgram"), EksternSMTP->isChecked());
    ini.writeString(kSmtp, QStringLiteral("MailProgram"), eMailProgramName->currentText());
    ini.writeString(kSmtp, QStringLiteral("ServerName"), SMTPServer->text());
    ini.writeString(kSmtp, QStringLiteral("ServerUser"), edtAccount->text());
    ini.writeString(kSmtp, QStringLiteral("ServerPassword"), smtpPassword.value_or(QString()));

    ini.writeString(kEmail, QStringLiteral("PersonalEmail"), Email->text());
    ini.writeString(kEmail, QStringLiteral("EmailName"), eNavn->text());

    ini.writeInteger(kSmtp, QStringLiteral("SMTPAuthenticationType"), cboAuthType->currentIndex());
    ini.writeBool(kSmtp, QStringLiteral("LogSMTP"), cLogSMTP->isChecked());

    rt::usemainini();
}

// ---------------------------------------------------------------- showing and closing

void TfmSetup::opening()
{
    // The proposals come first, so that the "Sende" page, on which the
    // dialog opens, can take the proposed POP server.
    rt::runHandler([&] {
        FormShow();
        if (pcSetup->currentWidget() == tsSmtp)
            tsSmtpShow();
    });
}

void TfmSetup::done(int result)
{
    rt::runHandler([&] { FormClose(); });
    QDialog::done(result);
}

void showSetupDialog(QWidget* owner, ipsjekk::TIPTestForm& connectionTest)
{
    // Parented to the owner so that the window system keeps it above the
    // always-on-top strip; the pointer notices if the owner takes it along.
    const QPointer<TfmSetup> dialog = new TfmSetup(connectionTest, owner);
    dialog->setOwner(owner);
    dialog->exec();
    delete dialog.data();
}

} // namespace setup
