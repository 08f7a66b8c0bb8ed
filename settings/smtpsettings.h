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

// Each reads or writes its section of the per-user file and leaves the
// settings object on the main file and section "STANDARD" (see
// UserFileScope). A write puts every key of its section, in the order a new
// file gets them.
SmtpSettings readSmtpSettings();
void writeSmtpSettings(const SmtpSettings& smtp);
SenderIdentity readSenderIdentity();
void writeSenderIdentity(const SenderIdentity& sender);

// Empties "ServerPassword" of section "Smtp" when it still holds password,
// as once the keyring has taken it. False, with the file untouched, when
// the value is another one by now or already empty.
bool clearStoredSmtpPassword(const QString& password);

// "LastEmailAddress" in section "STANDARD": the recipients of the last send
// the user started, sent or not, proposed again when the composer opens
// empty.
QString readLastRecipients();
void writeLastRecipients(const QString& recipients);

// The SMTP server to propose from the mailbox's server text: the host only,
// without a port ("pop.x:995" -> "pop.x"), since a POP3 or IMAP port is no
// SMTP port. An IPv6 address is given in brackets ("[::1]:995" and "::1"
// -> "[::1]"), so that a port can be written after it.
QString smtpServerProposal(const QString& mailServer);

} // namespace settings
