// The dialog that edits one server profile, and the step that makes the FTP
// transfer settings ready from the FTP profile, showing the dialog when the
// profile has no server.
#pragma once

#include "owneddialog.h"
#include "serverprofile.h"

#include <QString>

class QCheckBox;
class QLabel;
class QLineEdit;

namespace servers {

class ServerProfileDialog : public gui::OwnedDialog {
    Q_OBJECT
public:
    explicit ServerProfileDialog(QWidget* parent = nullptr);

    // Sets the caption and the profile kind, shows the dialog modally and
    // returns when it has been closed (closing has saved the profile).
    void editProfile(const QString& caption, const QString& kind);

    // The kind of the profile in use, taken as given (case and blanks kept).
    QString profileKind;

    QLabel* nameLabel;
    QLabel* serverLabel;
    QLabel* folderLabel;
    QLabel* userLabel;
    QLabel* passwordLabel;
    QLabel* portLabel;
    QLineEdit* nameEdit;
    QLineEdit* serverEdit;
    QLineEdit* folderEdit;
    QLineEdit* userEdit;
    QLineEdit* passwordEdit;
    QLineEdit* portEdit;
    QCheckBox* sslCheck;

    // Loads the profile of profileKind into the controls.
    void loadProfile();
    // Saves the controls into the profile of profileKind; an empty port field
    // first gets the kind's default port.
    void saveProfile();
    // The profile as the controls show it.
    ServerProfile shownProfile() const;
    // Switches the masking of the password on or off (a double click on it).
    void togglePasswordMask();
    bool passwordMasked() const;

    // Every way of closing ends here, and every close saves.
    void done(int result) override;

protected:
    void opening() override;
    bool eventFilter(QObject* watched, QEvent* event) override;
};

// Makes the FTP transfer settings ready for a transfer: without a server in
// the profile, writes the defaults and lets the user see them in
// profileDialog; an empty user name or password is taken as "anonymous" /
// "kvistgang" without changing the stored profile.
void prepareFtpSettings(ServerProfileDialog& profileDialog);

} // namespace servers
