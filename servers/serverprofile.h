// Server profiles in the main settings file: one section
// "SERVER-SETTING-" + kind per profile, and the FTP profile's use as the
// FTP transfer settings. No windows here.
#pragma once

#include <QString>

namespace servers {

// One profile as stored, the password unscrambled.
struct ServerProfile {
    QString name;
    QString server;
    QString folder;
    QString user;
    QString password;
    QString port; // as typed: not checked here
    bool ssl = false;

    bool operator==(const ServerProfile&) const = default;
};

// "SERVER-SETTING-" + kind.
QString profileSection(const QString& kind);
// The port filled in for a kind when the port field is empty; compared
// exactly, so "rdp" has none. Empty for a kind without one.
QString defaultPort(const QString& kind);

// The profile of kind; empty values for what is missing.
ServerProfile readServerProfile(const QString& kind);
// Writes every key of the profile of kind, the password scrambled, as given.
void writeServerProfile(const QString& kind, const ServerProfile& profile);

// Reads the FTP profile into the FTP transfer settings' server, user,
// password, port and explicitTls.
void readFtpProfile();
// Writes the default FTP profile over "SERVER-SETTING-FTP" ("SSL" untouched).
void writeDefaultFtpProfile();

} // namespace servers
