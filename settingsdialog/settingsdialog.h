// The mail settings dialog: the mailbox, how mail is sent, the sender, and
// how the strip behaves. It maps its fields to and from the typed settings
// (settings/) and saves every value whenever it closes; it has no OK or
// Cancel button.
#pragma once

#include "mailboxsettings.h"
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

namespace connectiontest {
class ConnectionTestWindow;
}

namespace settingsdialog {

class SettingsDialog : public gui::OwnedDialog {
    Q_OBJECT
public:
    // Builds the dialog and loads the stored settings into it. The server
    // tests run in connectionTest.
    explicit SettingsDialog(connectiontest::ConnectionTestWindow& connectionTest, QWidget* parent = nullptr);

    // Controls, named for what they hold.
    QTabWidget* pageTabs;

    QWidget* addressPage; // "Adresse"
    QLabel* senderNameLabel;
    QLineEdit* senderNameEdit;
    QLabel* senderAddressLabel;
    QLineEdit* senderAddressEdit;

    QWidget* receivePage; // "Motta"
    QLabel* mailServerLabel;
    QComboBox* protocolBox; // "POP3" or "IMAP": how the mailbox is reached
    QLabel* protocolLabel;
    QLineEdit* mailServerEdit;
    QPushButton* testMailServerButton;
    QLabel* mailUserLabel;
    QLineEdit* mailUserEdit;
    QLabel* mailPasswordLabel;
    QLineEdit* mailPasswordEdit;

    QWidget* sendPage; // "Sende"
    QRadioButton* sendByMailProgramRadio;
    QComboBox* mailProgramBox;
    QRadioButton* sendBySmtpRadio;
    QFrame* smtpPanel;
    QLineEdit* smtpServerEdit;
    QPushButton* testSmtpServerButton;
    QCheckBox* logSmtpCheck;
    QComboBox* smtpLogInBox;
    QFrame* smtpLogInPanel;
    QLabel* smtpUserLabel;
    QLineEdit* smtpUserEdit;
    QLabel* smtpPasswordLabel;
    QLineEdit* smtpPasswordEdit;

    QWidget* optionsPage; // "Instillinger": how the strip checks and shows
    QLabel* generalHeading;
    QCheckBox* checkAtStartupCheck;
    QCheckBox* checkOnScheduleCheck;
    QLineEdit* scheduleMinutesEdit;
    QLabel* minutesLabel;
    QCheckBox* hideWhenEmptyCheck;
    QCheckBox* showListCheck;
    QLabel* onNewMailHeading;
    QCheckBox* showOnNewCheck;
    QCheckBox* beepOnNewCheck;
    QCheckBox* showListOnNewCheck;

    // Fills the fields from the stored settings (and the keyring).
    void loadSettings();
    // Where the fields are empty as the dialog shows: the user name, and
    // on a machine with a DNS domain the server and the address.
    void proposeForNewUser();
    // An empty SMTP server takes the mailbox server's host.
    void proposeSmtpServer();
    // The send page shows the mail program's list or the SMTP server, and
    // the log-in fields where a log-in is chosen.
    void updateSendPage();
    // A connection test to the server on the protocol's port (or the one
    // given with it).
    void testMailServer();
    void testSmtpServer();
    // The server's caption follows the protocol chosen.
    void protocolChosen();
    // Builds the settings from the fields and writes them; the passwords
    // go to the keyring where there is one.
    void saveSettings();

    // Every way of closing (close box, Esc, close(), accept(), reject())
    // ends here: the values are saved before the dialog goes.
    void done(int result) override;

protected:
    void opening() override;

private:
    void buildAddressPage();
    void buildReceivePage();
    void buildSendPage();
    void buildOptionsPage();
    settings::MailProtocol chosenProtocol() const;
    // Where the two password fields' texts came from: the keyring or the
    // settings file. A save puts a password in the keyring only when it
    // changed there or still lies in the file.
    void loadPasswords(const QString& mailFileValue, const QString& smtpFileValue);
    connectiontest::ConnectionTestWindow& m_connectionTest;
    keyring::LoadedPassword m_mailPassword;
    keyring::LoadedPassword m_smtpPassword;
};

// The main window's "Oppsett": a fresh dialog over owner, shown modally,
// destroyed once it has closed (and saved); its server tests run in
// connectionTest.
void showSettingsDialog(QWidget* owner, connectiontest::ConnectionTestWindow& connectionTest);

} // namespace settingsdialog
