// The mail settings dialog: the POP3 mailbox, how mail is sent, the sender,
// and how the watcher behaves. It edits the per-user settings file and
// saves every value whenever it closes; it has no OK or Cancel button.
#pragma once

#include "mailpasswords.h"
#include "owneddialog.h"

#include <QString>

class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTabWidget;

namespace ipsjekk {
class TIPTestForm;
}

namespace setup {

class TfmSetup : public gui::OwnedDialog {
    Q_OBJECT
public:
    // Builds the dialog and loads the stored settings into it (FormCreate).
    // The server tests run in connectionTest.
    explicit TfmSetup(ipsjekk::TIPTestForm& connectionTest, QWidget* parent = nullptr);

    // Controls, named as the rest of the program knows them.
    QTabWidget* pcSetup;

    QWidget* TabSheet2; // "Adresse"
    QLabel* Label5;
    QLineEdit* eNavn;
    QLabel* Label4;
    QLineEdit* Email;

    QWidget* tsPop3; // "Motta"
    QLabel* Label1;
    QComboBox* protocolBox; // "POP3" or "IMAP": how the mailbox is reached
    QLabel* protocolLabel;
    QLineEdit* POPServer;
    QPushButton* BitBtn2;
    QLabel* Label2;
    QLineEdit* Account;
    QLabel* Label3;
    QLineEdit* Password;

    QWidget* tsSmtp; // "Sende"
    QRadioButton* EksternSMTP;
    QComboBox* eMailProgramName;
    QRadioButton* RadioButton1;
    QFrame* Panel2;
    QLineEdit* SMTPServer;
    QPushButton* Button1;
    QCheckBox* cLogSMTP;
    QComboBox* cboAuthType;
    QFrame* Panel1;
    QLabel* Label7;
    QLineEdit* edtAccount;
    QLabel* Label8;
    QLineEdit* edtPassword;

    QWidget* tsSetup; // "Instillinger"
    QLabel* Label6;
    QCheckBox* cNye;
    QCheckBox* cSchedule;
    QLineEdit* eMinutt;
    QLabel* Label9;
    QCheckBox* cHide;
    QCheckBox* cListe;
    QLabel* Label10;
    QCheckBox* cVismelding;
    QCheckBox* cBeep;
    QCheckBox* VisNyListe;

    // Event handlers.
    void FormCreate();
    void FormShow();
    void tsSmtpShow();
    void EksternSMTPClick();
    void BitBtn2Click();
    // The server's caption follows the protocol chosen.
    void protocolChosen();
    void Button1Click();
    void FormClose();
    void LagreKnappClick();

    // Every way of closing (close box, Esc, close(), accept(), reject())
    // ends here: the values are saved before the dialog goes.
    void done(int result) override;

protected:
    void opening() override;

private:
    void buildAddressPage();
    void buildReceivePage();
    void buildSendPage();
    void buildSettingsPage();
    // Where the two password fields' texts came from: the keyring or the
    // settings file. A save puts a password in the keyring only when it
    // changed there or still lies in the file.
    void loadPasswords(const QString& popFileValue, const QString& smtpFileValue);
    ipsjekk::TIPTestForm& m_connectionTest;
    keyring::LoadedPassword m_popPassword;
    keyring::LoadedPassword m_smtpPassword;
};

// The SMTP server the "Sende" page proposes from the POP server text: the
// host only, without a port ("pop.x:995" -> "pop.x"). An IPv6 address is
// given in brackets ("[::1]:995" and "::1" -> "[::1]"), so that a port can
// be written after it.
QString smtpServerProposal(const QString& popServer);

// The main window's "Oppsett": a fresh dialog over owner, shown modally,
// destroyed once it has closed (and saved); its server tests run in
// connectionTest.
void showSetupDialog(QWidget* owner, ipsjekk::TIPTestForm& connectionTest);

} // namespace setup
