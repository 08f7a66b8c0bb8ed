// Server profiles: one section "SERVER-SETTING-" + kind of the main settings
// file per profile, the dialog that edits one, and the routines that prepare
// the FTP transfer settings from the FTP profile.
#pragma once

#include "owneddialog.h"

#include <QString>

class QCheckBox;
class QLabel;
class QLineEdit;

namespace servers {

class TServerOppsettForm : public gui::OwnedDialog {
    Q_OBJECT
public:
    explicit TServerOppsettForm(QWidget* parent = nullptr);

    // Sets the caption and the profile kind, shows the dialog modally and
    // returns when it has been closed (closing has saved the profile).
    void editProfile(const QString& caption, const QString& kind);

    // The kind of the profile in use, taken as given (case and blanks kept).
    QString C_tag;

    QLabel* Label1;
    QLabel* Label2;
    QLabel* Label3;
    QLabel* Label4;
    QLabel* Label5;
    QLabel* Label6;
    QLineEdit* navn;
    QLineEdit* server;
    QLineEdit* mappe;
    QLineEdit* brukernavn;
    QLineEdit* passord;
    QLineEdit* port;
    QCheckBox* SSLL;

    // Loads the profile of C_tag into the controls.
    void FormShow();
    // Saves the controls into the profile of C_tag; an empty port field
    // first gets the kind's default port.
    void FormClose();
    // Switches the masking of the password on or off.
    void passordDblClick();
    bool passwordMasked() const;

    // Every way of closing ends here, and every close saves.
    void done(int result) override;

protected:
    void opening() override;
    bool eventFilter(QObject* watched, QEvent* event) override;
};

// "SERVER-SETTING-" + kind.
QString profileSection(const QString& kind);
// The port filled in for a kind when the port field is empty; compared
// exactly, so "rdp" has none. Empty for a kind without one.
QString defaultPort(const QString& kind);

// Reads the FTP profile into FTPserver, FTPbrukernavn, FTPpassord, FTPport
// and FTPssl.
void LesFTPOppsett();
// Writes the default FTP profile over "SERVER-SETTING-FTP" ("SSL" untouched).
void LagStandardFTPOppsett();
// Makes the FTP transfer settings ready for a transfer: without a server in
// the profile, writes the defaults and lets the user see them in
// profileDialog; an empty user name or password is taken as "anonymous" /
// "kvistgang" without changing the stored profile.
void HentFTPOppsett(TServerOppsettForm& profileDialog);

} // namespace servers
