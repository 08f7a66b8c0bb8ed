// The mailbox settings of section "Pop3" in the per-user settings file: as
// stored (what the settings dialog shows and saves) and as the watcher and
// the strip use them.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <optional>

namespace settings {

// How the mailbox is reached: "Protocol" in section "Pop3", POP3 when
// absent.
enum class MailProtocol { Pop3, Imap };

// Section "Pop3" as it stands in the file. The server and the interval are
// kept as typed ("pop.example.no:995", " 5"), since the dialog gives them
// back as they were; MailboxSettings below is what they mean.
struct StoredMailboxSettings {
    MailProtocol protocol = MailProtocol::Pop3; // "Protocol"
    QString serverName;                         // "ServerName": the host, optionally with ":port"
    QString user;                               // "ServerUser"
    // "ServerPassword", unscrambled. nullopt: the value is empty (the
    // keyring holds the password, or nothing does); an empty password is
    // stored scrambled ("z2").
    std::optional<QString> password;
    bool startupCheck = false;  // "StartupCheck"
    bool scheduler = false;     // "Scheduler"
    QString scheduleMinutes;    // "ScheduleMinutes", as typed
    bool showList = false;      // "ShowList"
    bool hideWhenEmpty = false; // "HideWindow"
    bool beepOnMail = false;    // "BeepOnMail"
    bool showOnNew = false;     // "ShowOnNew"
    bool showListOnNew = false; // "ShowListOnNew"
};

struct MailboxSettings {
    MailProtocol protocol = MailProtocol::Pop3;
    QString host;
    std::uint16_t port = 110; // without one in "ServerName": 110 for POP3, 143 for IMAP
    QString user;
    QString password; // unscrambled
    bool startupCheck = false;  // "StartupCheck": the show sequence checks the mailbox
    bool showOnNew = false;     // "ShowOnNew"
    bool showListOnNew = false; // "ShowListOnNew"
    bool beepOnMail = false;    // "BeepOnMail"
    bool hideWhenEmpty = false; // "HideWindow"
    bool showList = false;      // "ShowList"
    bool scheduler = false;     // "Scheduler": checks on a schedule at all
    int scheduleMs = 0;         // "ScheduleMinutes" × 60000, kept also with "Scheduler" off; 0: no schedule
    bool notifyOnNew = true;    // "NotifyOnNew": a desktop notification for new mail; on when absent
    // Where the list of the last check is kept between runs (the user's tmp
    // folder); empty: kept in memory only.
    QString cacheFolder;
    // Seals the list cache file: "ListCacheKey", 32 random bytes made at the
    // first reading and kept in the per-user file, which only the user can
    // read. A cache file sealed with another key is not used.
    QByteArray cacheKey;
};

// "IMAP" (in any case) is IMAP; anything else, or nothing, POP3.
MailProtocol protocolFromText(const QString& text);
QString protocolText(MailProtocol protocol); // "POP3" or "IMAP"
std::uint16_t defaultPort(MailProtocol protocol);

// Longest schedule: 35791 × 60000 ms still fits a signed 32-bit interval.
constexpr int kMaxScheduleMinutes = 35791;

// Reads section "Pop3" of the per-user file as stored. Like every read and
// write here it ends with the settings object back on the main settings
// file and section "STANDARD" (see UserFileScope).
StoredMailboxSettings readStoredMailboxSettings();

// Writes every key of section "Pop3" that the settings dialog edits, in
// the order a new file gets them. "Protocol" only where it says something:
// for IMAP, or where the file has the key already (no key means POP3, as
// earlier versions wrote the file).
void writeMailboxSettings(const StoredMailboxSettings& stored);

// What the stored values mean: the server split into host and port (the
// protocol's port where none is given), the interval in milliseconds (a
// "ScheduleMinutes" that is no whole number, or below 0, gives no
// schedule; one above the longest gives the longest). The keys the dialog
// does not edit keep their defaults.
MailboxSettings mailboxSettingsFrom(const StoredMailboxSettings& stored);

// Reads section "Pop3" for the watcher: the meaning of what is stored,
// with "NotifyOnNew" and the list cache's key (made and written when the
// file has none or a damaged one) and folder.
MailboxSettings readMailboxSettings();

// Whether a and b log in to the same mailbox the same way: server, port,
// user name and password.
bool sameAccount(const MailboxSettings& a, const MailboxSettings& b);

// Empties "ServerPassword" when it still holds password (unscrambled), as
// once the keyring has taken it. False, with the file untouched, when the
// value is another one by now or already empty.
bool clearStoredMailboxPassword(const QString& password);

} // namespace settings
