// The mailbox settings of section "Pop3" in the per-user settings file, as
// the watcher and the strip use them.
#pragma once

#include <QString>
#include <cstdint>

namespace settings {

// How the mailbox is reached: "Protocol" in section "Pop3", POP3 when
// absent.
enum class MailProtocol { Pop3, Imap };

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

// Reads section "Pop3" of the per-user file; ends with the settings object
// back on the main settings file and section "STANDARD". A "ScheduleMinutes"
// below 0 gives no schedule, one above the longest gives the longest.
MailboxSettings readMailboxSettings();

} // namespace settings
