#include "settingsdialog.h"

#include "mailboxsettings.h"
#include "smtpsettings.h"
#include "userfilescope.h"
#include "windowfont.h"

#include "connectiontestwindow.h"
#include "errordisplay.h"
#include "machinefacts.h"
#include "state.h"
#include "username.h"

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

namespace settingsdialog {

namespace {

// Widths of the fields, so that the pages read as forms and not as banners.
constexpr int kFieldWidth = 260;
constexpr int kShortFieldWidth = 180;

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

SettingsDialog::SettingsDialog(connectiontest::ConnectionTestWindow& connectionTest, QWidget* parent)
    : gui::OwnedDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint
                                   | Qt::WindowCloseButtonHint)
    , m_connectionTest(connectionTest)
{
    setObjectName(QStringLiteral("SettingsDialog"));
    setWindowTitle(QStringLiteral("Epost oppsett"));
    setFixedSize(487, 240);
    setFont(gui::windowFont());

    pageTabs = named(new QTabWidget(this), "pageTabs");
    pageTabs->setGeometry(5, 5, 477, 230);
    pageTabs->setUsesScrollButtons(false);

    buildAddressPage();
    buildReceivePage();
    buildSendPage();
    buildOptionsPage();
    pageTabs->addTab(addressPage, QStringLiteral("Adresse"));
    pageTabs->addTab(receivePage, QStringLiteral("Motta"));
    pageTabs->addTab(sendPage, QStringLiteral("Sende"));
    pageTabs->addTab(optionsPage, QStringLiteral("Instillinger"));
    pageTabs->setCurrentWidget(sendPage);

    auto run = [this](void (SettingsDialog::*handler)()) {
        return [this, handler] { rt::runHandler([&] { (this->*handler)(); }); };
    };
    connect(testMailServerButton, &QPushButton::clicked, this, run(&SettingsDialog::testMailServer));
    connect(protocolBox, &QComboBox::currentIndexChanged, this, run(&SettingsDialog::protocolChosen));
    connect(testSmtpServerButton, &QPushButton::clicked, this, run(&SettingsDialog::testSmtpServer));
    // One radio button's change is always the other's too.
    connect(sendByMailProgramRadio, &QRadioButton::toggled, this, run(&SettingsDialog::updateSendPage));
    connect(smtpLogInBox, &QComboBox::currentIndexChanged, this, run(&SettingsDialog::updateSendPage));
    connect(pageTabs, &QTabWidget::currentChanged, this, [this] {
        if (isVisible() && pageTabs->currentWidget() == sendPage)
            rt::runHandler([&] { proposeSmtpServer(); });
    });

    loadSettings();
}

// ---------------------------------------------------------------- pages

void SettingsDialog::buildAddressPage()
{
    addressPage = page("addressPage");
    senderNameEdit = edit(addressPage, "senderNameEdit");
    senderAddressEdit = edit(addressPage, "senderAddressEdit");
    senderNameLabel = label(addressPage, "senderNameLabel", QStringLiteral("Visningsnavn"), senderNameEdit);
    senderAddressLabel = label(addressPage, "senderAddressLabel", QStringLiteral("&Epost adresse"), senderAddressEdit);

    auto* grid = new QVBoxLayout(addressPage);
    grid->setContentsMargins(12, 12, 12, 12);
    grid->setSpacing(2);
    grid->addWidget(senderNameLabel);
    grid->addWidget(senderNameEdit);
    grid->addSpacing(8);
    grid->addWidget(senderAddressLabel);
    grid->addWidget(senderAddressEdit);
    grid->addStretch(1);
}

void SettingsDialog::buildReceivePage()
{
    receivePage = page("receivePage");
    protocolBox = named(new QComboBox(receivePage), "protocolBox");
    protocolBox->addItems({QStringLiteral("POP3"), QStringLiteral("IMAP")});
    protocolBox->setFixedWidth(kShortFieldWidth);
    mailServerEdit = edit(receivePage, "mailServerEdit");
    testMailServerButton = testButton(receivePage, "testMailServerButton");
    mailUserEdit = edit(receivePage, "mailUserEdit", kShortFieldWidth);
    mailPasswordEdit = edit(receivePage, "mailPasswordEdit", kShortFieldWidth);
    mailPasswordEdit->setEchoMode(QLineEdit::Password);
    mailPasswordEdit->setStyleSheet(QStringLiteral("lineedit-password-character: 42")); // '*'
    mailServerLabel =
        label(receivePage, "mailServerLabel", QStringLiteral("&Inngående epost server (POP)"), mailServerEdit);
    mailUserLabel = label(receivePage, "mailUserLabel", QStringLiteral("&Konto"), mailUserEdit);
    mailPasswordLabel = label(receivePage, "mailPasswordLabel", QStringLiteral("&Passord"), mailPasswordEdit);
    protocolLabel = label(receivePage, "protocolLabel", QStringLiteral("P&rotokoll"), protocolBox);

    auto* grid = new QGridLayout(receivePage);
    grid->setContentsMargins(12, 12, 12, 12);
    grid->setHorizontalSpacing(6);
    grid->setVerticalSpacing(2);
    grid->addWidget(protocolLabel, 0, 0, 1, 2);
    grid->addWidget(protocolBox, 1, 0);
    grid->setRowMinimumHeight(2, 6);
    grid->addWidget(mailServerLabel, 3, 0, 1, 2);
    grid->addWidget(mailServerEdit, 4, 0);
    grid->addWidget(testMailServerButton, 4, 1);
    grid->setRowMinimumHeight(5, 6);
    grid->addWidget(mailUserLabel, 6, 0, 1, 2);
    grid->addWidget(mailUserEdit, 7, 0);
    grid->setRowMinimumHeight(8, 6);
    grid->addWidget(mailPasswordLabel, 9, 0, 1, 2);
    grid->addWidget(mailPasswordEdit, 10, 0);
    grid->setRowStretch(11, 1);
    grid->setColumnStretch(2, 1);
}

void SettingsDialog::buildSendPage()
{
    sendPage = page("sendPage");
    sendByMailProgramRadio =
        named(new QRadioButton(QStringLiteral("Bruk epostprogram til sending"), sendPage), "sendByMailProgramRadio");
    mailProgramBox = named(new QComboBox(sendPage), "mailProgramBox");
    mailProgramBox->setEditable(true);
    // Typed names are taken as they stand, never added to the list.
    mailProgramBox->setInsertPolicy(QComboBox::NoInsert);
    mailProgramBox->addItems({QStringLiteral("Lotus Notes"), QStringLiteral("Microsoft Mail"),
                                QStringLiteral("Mozilla"), QStringLiteral("Outlook"),
                                QStringLiteral("Outlook Express"), QStringLiteral("SeaMonkey"),
                                QStringLiteral("Standardprogram for operativsystemet"),
                                QStringLiteral("Thunderbird")});
    mailProgramBox->model()->sort(0);
    mailProgramBox->setFixedWidth(200);
    mailProgramBox->setCurrentIndex(-1);
    mailProgramBox->hide();
    sendBySmtpRadio =
        named(new QRadioButton(QStringLiteral("&Utgående epost server (SMTP)"), sendPage), "sendBySmtpRadio");
    sendBySmtpRadio->setChecked(true);

    smtpPanel = named(new QFrame(sendPage), "smtpPanel");
    smtpPanel->setFrameShape(QFrame::NoFrame);
    smtpServerEdit = edit(smtpPanel, "smtpServerEdit");
    testSmtpServerButton = testButton(smtpPanel, "testSmtpServerButton");
    logSmtpCheck = check(smtpPanel, "logSmtpCheck", QStringLiteral("Logg SMTP hendelser"));
    smtpLogInBox = named(new QComboBox(smtpPanel), "smtpLogInBox");
    smtpLogInBox->addItems({QStringLiteral("Ingen pålogging"), QStringLiteral("Enkel pålogging")});
    smtpLogInBox->setFixedWidth(140);
    auto* panel2Grid = new QGridLayout(smtpPanel);
    panel2Grid->setContentsMargins(20, 0, 0, 0);
    panel2Grid->setHorizontalSpacing(6);
    panel2Grid->setVerticalSpacing(6);
    panel2Grid->addWidget(smtpServerEdit, 0, 0);
    panel2Grid->addWidget(testSmtpServerButton, 0, 1, Qt::AlignLeft);
    panel2Grid->addWidget(logSmtpCheck, 1, 0);
    panel2Grid->addWidget(smtpLogInBox, 1, 1, 1, 2, Qt::AlignLeft);
    panel2Grid->setColumnStretch(3, 1);

    smtpLogInPanel = named(new QFrame(sendPage), "smtpLogInPanel");
    smtpLogInPanel->setFrameShape(QFrame::NoFrame);
    smtpUserEdit = edit(smtpLogInPanel, "smtpUserEdit", kShortFieldWidth);
    smtpPasswordEdit = edit(smtpLogInPanel, "smtpPasswordEdit", kShortFieldWidth);
    smtpUserLabel = label(smtpLogInPanel, "smtpUserLabel", QStringLiteral("&Brukernavn"), smtpUserEdit);
    smtpPasswordLabel = label(smtpLogInPanel, "smtpPasswordLabel", QStringLiteral("&Passord"), smtpPasswordEdit);
    auto* panel1Grid = new QGridLayout(smtpLogInPanel);
    panel1Grid->setContentsMargins(20, 0, 0, 0);
    panel1Grid->setHorizontalSpacing(8);
    panel1Grid->setVerticalSpacing(4);
    panel1Grid->addWidget(smtpUserLabel, 0, 0);
    panel1Grid->addWidget(smtpUserEdit, 0, 1);
    panel1Grid->addWidget(smtpPasswordLabel, 1, 0);
    panel1Grid->addWidget(smtpPasswordEdit, 1, 1);
    panel1Grid->setColumnStretch(2, 1);
    smtpLogInPanel->hide();

    auto* grid = new QGridLayout(sendPage);
    grid->setContentsMargins(12, 10, 12, 10);
    grid->setHorizontalSpacing(6);
    grid->setVerticalSpacing(6);
    grid->addWidget(sendByMailProgramRadio, 0, 0);
    grid->addWidget(mailProgramBox, 0, 1, Qt::AlignLeft);
    grid->addWidget(sendBySmtpRadio, 1, 0, 1, 2);
    grid->addWidget(smtpPanel, 2, 0, 1, 3);
    grid->addWidget(smtpLogInPanel, 3, 0, 1, 3);
    grid->setRowStretch(4, 1);
    grid->setColumnStretch(2, 1);
    // The first row keeps its height while the program list is hidden.
    grid->setRowMinimumHeight(0, mailProgramBox->sizeHint().height());
}

void SettingsDialog::buildOptionsPage()
{
    optionsPage = page("optionsPage");
    generalHeading = named(new QLabel(QStringLiteral("Generelt:"), optionsPage), "generalHeading");
    generalHeading->setFont(gui::windowFont(11, true));
    checkAtStartupCheck =
        check(optionsPage, "checkAtStartupCheck", QStringLiteral("Se etter nye meldinger ved oppstart"));
    checkOnScheduleCheck = check(optionsPage, "checkOnScheduleCheck", QStringLiteral("Se etter nye meldinger hvert"));
    scheduleMinutesEdit = edit(optionsPage, "scheduleMinutesEdit", 36);
    minutesLabel = named(new QLabel(QStringLiteral("minutt(er)"), optionsPage), "minutesLabel");
    hideWhenEmptyCheck = check(optionsPage, "hideWhenEmptyCheck", QStringLiteral("Skjul vindu hvis det ikke er post"));
    showListCheck = check(optionsPage, "showListCheck", QStringLiteral("Vis meldingsliste ved oppstart"));
    onNewMailHeading = named(new QLabel(QStringLiteral("Når ny melding mottas:"), optionsPage), "onNewMailHeading");
    onNewMailHeading->setFont(gui::windowFont(11, true));
    showOnNewCheck = check(optionsPage, "showOnNewCheck", QStringLiteral("Vis meldingstatus"));
    beepOnNewCheck = check(optionsPage, "beepOnNewCheck", QStringLiteral("Spill av en lyd"));
    showListOnNewCheck = check(optionsPage, "showListOnNewCheck", QStringLiteral("Vis meldingslisten"));

    auto* column = new QVBoxLayout(optionsPage);
    column->setContentsMargins(12, 6, 12, 6);
    column->setSpacing(1);
    auto indented = [column](QWidget* w) {
        auto* row = new QHBoxLayout;
        row->setContentsMargins(12, 0, 0, 0);
        row->addWidget(w);
        row->addStretch(1);
        column->addLayout(row);
    };
    column->addWidget(generalHeading);
    indented(checkAtStartupCheck);
    auto* scheduleRow = new QHBoxLayout;
    scheduleRow->setContentsMargins(12, 0, 0, 0);
    scheduleRow->setSpacing(4);
    scheduleRow->addWidget(checkOnScheduleCheck);
    scheduleRow->addWidget(scheduleMinutesEdit);
    scheduleRow->addWidget(minutesLabel);
    scheduleRow->addStretch(1);
    column->addLayout(scheduleRow);
    indented(hideWhenEmptyCheck);
    indented(showListCheck);
    column->addSpacing(4);
    column->addWidget(onNewMailHeading);
    indented(showOnNewCheck);
    indented(beepOnNewCheck);
    indented(showListOnNewCheck);
    column->addStretch(1);
}

// ---------------------------------------------------------------- load and proposals

void SettingsDialog::loadSettings()
{
    settings::StoredMailboxSettings mailbox;
    settings::SmtpSettings smtp;
    settings::SenderIdentity sender;
    {
        const settings::UserFileScope userFile;
        mailbox = settings::readStoredMailboxSettings();
        smtp = settings::readSmtpSettings();
        sender = settings::readSenderIdentity();
    }

    protocolBox->setCurrentText(settings::protocolText(mailbox.protocol));
    mailServerEdit->setText(mailbox.serverName);
    mailUserEdit->setText(mailbox.user);
    checkAtStartupCheck->setChecked(mailbox.startupCheck);
    checkOnScheduleCheck->setChecked(mailbox.scheduler);
    scheduleMinutesEdit->setText(mailbox.scheduleMinutes);
    showListCheck->setChecked(mailbox.showList);
    hideWhenEmptyCheck->setChecked(mailbox.hideWhenEmpty);
    beepOnNewCheck->setChecked(mailbox.beepOnMail);
    showOnNewCheck->setChecked(mailbox.showOnNew);
    showListOnNewCheck->setChecked(mailbox.showListOnNew);

    // The two radio buttons are one group: checking one unchecks the other.
    if (smtp.externalProgram)
        sendByMailProgramRadio->setChecked(true);
    else
        sendBySmtpRadio->setChecked(true);
    mailProgramBox->setCurrentIndex(-1);
    mailProgramBox->setEditText(smtp.mailProgram);
    mailProgramBox->setVisible(sendByMailProgramRadio->isChecked());
    smtpServerEdit->setText(smtp.serverName);
    smtpUserEdit->setText(smtp.user);
    // A number the list does not know means no login.
    const int logIn = smtp.authenticationType;
    smtpLogInBox->setCurrentIndex(logIn >= 0 && logIn < smtpLogInBox->count() ? logIn : 0);
    logSmtpCheck->setChecked(smtp.logSmtp);

    senderAddressEdit->setText(sender.address);
    senderNameEdit->setText(sender.name);

    loadPasswords(mailbox.password.value_or(QString()), smtp.password);
    updateSendPage();
    protocolChosen();
}

void SettingsDialog::protocolChosen()
{
    mailServerLabel->setText(QStringLiteral("&Inngående epost server (%1)")
                                 .arg(chosenProtocol() == settings::MailProtocol::Imap ? QStringLiteral("IMAP")
                                                                                      : QStringLiteral("POP")));
}

settings::MailProtocol SettingsDialog::chosenProtocol() const
{
    return protocolBox->currentIndex() == 1 ? settings::MailProtocol::Imap : settings::MailProtocol::Pop3;
}

void SettingsDialog::loadPasswords(const QString& mailFileValue, const QString& smtpFileValue)
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
    load(mailPasswordEdit, m_mailPassword, keyring::AccountKind::Mailbox, mailServerEdit->text(), mailUserEdit->text(),
         mailFileValue);
    load(smtpPasswordEdit, m_smtpPassword, keyring::AccountKind::Smtp, smtpServerEdit->text(), smtpUserEdit->text(),
         smtpFileValue);
}

void SettingsDialog::proposeForNewUser()
{
    rt::userName(); // makes sure the name as found is cached
    if (mailUserEdit->text().isEmpty())
        mailUserEdit->setText(rt::state().userNameCache);
    // Proposals only where the machine has a DNS domain: "mail." or
    // "root@" alone would only have to be erased.
    const QString domain = rt::domainName();
    if (domain.isEmpty())
        return;
    if (mailServerEdit->text().isEmpty())
        mailServerEdit->setText(QStringLiteral("mail.") + domain);
    if (senderAddressEdit->text().isEmpty() && !mailUserEdit->text().isEmpty())
        senderAddressEdit->setText(mailUserEdit->text() + QLatin1Char('@') + domain);
}

void SettingsDialog::proposeSmtpServer()
{
    // The POP3 port (110, 995 or the user's own) is no SMTP port.
    if (smtpServerEdit->text().isEmpty())
        smtpServerEdit->setText(settings::smtpServerProposal(mailServerEdit->text()));
}

void SettingsDialog::updateSendPage()
{
    const bool external = sendByMailProgramRadio->isChecked();
    smtpPanel->setVisible(!external);
    mailProgramBox->setVisible(external);
    smtpLogInPanel->setVisible(smtpLogInBox->currentIndex() >= 1 && !external);
}

// ---------------------------------------------------------------- tests

void SettingsDialog::testMailServer()
{
    m_connectionTest.testConnection(mailServerEdit->text(), settings::defaultPort(chosenProtocol()), true);
}

void SettingsDialog::testSmtpServer()
{
    m_connectionTest.testConnection(smtpServerEdit->text(), 25, true);
}

// ---------------------------------------------------------------- save

void SettingsDialog::saveSettings()
{
    // The keyring first, before the settings file is opened: it may ask the
    // user to unlock it. What it takes, the file keeps empty.
    settings::StoredMailboxSettings mailbox;
    mailbox.password = keyring::savePassword(
        m_mailPassword,
        keyring::accountFor(keyring::AccountKind::Mailbox, mailServerEdit->text(), mailUserEdit->text()),
        mailPasswordEdit->text());
    settings::SmtpSettings smtp;
    smtp.password = keyring::savePassword(m_smtpPassword,
                                          keyring::accountFor(keyring::AccountKind::Smtp, smtpServerEdit->text(),
                                                              smtpUserEdit->text()),
                                          smtpPasswordEdit->text())
                        .value_or(QString());

    mailbox.protocol = chosenProtocol();
    mailbox.serverName = mailServerEdit->text();
    mailbox.user = mailUserEdit->text();
    mailbox.startupCheck = checkAtStartupCheck->isChecked();
    mailbox.scheduler = checkOnScheduleCheck->isChecked();
    mailbox.scheduleMinutes = scheduleMinutesEdit->text();
    mailbox.showList = showListCheck->isChecked();
    mailbox.hideWhenEmpty = hideWhenEmptyCheck->isChecked();
    mailbox.beepOnMail = beepOnNewCheck->isChecked();
    mailbox.showOnNew = showOnNewCheck->isChecked();
    mailbox.showListOnNew = showListOnNewCheck->isChecked();

    smtp.externalProgram = sendByMailProgramRadio->isChecked();
    smtp.mailProgram = mailProgramBox->currentText();
    smtp.serverName = smtpServerEdit->text();
    smtp.user = smtpUserEdit->text();
    smtp.authenticationType = smtpLogInBox->currentIndex();
    smtp.logSmtp = logSmtpCheck->isChecked();

    settings::SenderIdentity sender;
    sender.address = senderAddressEdit->text();
    sender.name = senderNameEdit->text();

    // One save of the per-user file for all three sections.
    const settings::UserFileScope userFile;
    settings::writeMailboxSettings(mailbox);
    settings::writeSmtpSettings(smtp);
    settings::writeSenderIdentity(sender);
}

// ---------------------------------------------------------------- showing and closing

void SettingsDialog::opening()
{
    // The proposals come first, so that the "Sende" page, on which the
    // dialog opens, can take the proposed POP server.
    rt::runHandler([&] {
        proposeForNewUser();
        if (pageTabs->currentWidget() == sendPage)
            proposeSmtpServer();
    });
}

void SettingsDialog::done(int result)
{
    rt::runHandler([&] { saveSettings(); });
    QDialog::done(result);
}

void showSettingsDialog(QWidget* owner, connectiontest::ConnectionTestWindow& connectionTest)
{
    // Parented to the owner so that the window system keeps it above the
    // always-on-top strip; the pointer notices if the owner takes it along.
    const QPointer<SettingsDialog> dialog = new SettingsDialog(connectionTest, owner);
    dialog->setOwner(owner);
    dialog->exec();
    delete dialog.data();
}

} // namespace settingsdialog
