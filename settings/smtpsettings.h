// How mail is sent and who it is from: sections "Smtp" and "Email" of the
// per-user settings file.
#pragma once

#include <QString>

namespace settings {

struct SmtpSettings {
    bool externalProgram = false; // "ExternalProgram": the user's own mail program sends
    QString mailProgram;          // "MailProgram"
    QString serverName;           // "ServerName" as typed: the host, optionally with ":port"
    QString user;                 // "ServerUser"
    QString password;             // "ServerPassword", stored as typed; empty: none, or in the keyring
    int authenticationType = 0;   // "SMTPAuthenticationType": 0 no log-in, 1 user name and password
    bool logSmtp = false;         // "LogSMTP": the send writes "SMTP: " lines to the log

    // "Enkel pålogging": the server is logged in to with user and password.
    bool logsIn() const { return authenticationType == 1; }
};

// The sender of outgoing mail.
struct SenderIdentity {
    QString address; // "PersonalEmail"
    QString name;    // "EmailName"
};

// Each reads its section of the per-user file and leaves the settings
// object on the main file and section "STANDARD".
SmtpSettings readSmtpSettings();
SenderIdentity readSenderIdentity();

} // namespace settings
