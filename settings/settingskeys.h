// The sections and keys of the per-user settings file that the typed
// settings read and write, each spelled here once.
#pragma once

#include <QLatin1StringView>

namespace settings::keys {

// Section "Pop3": the mailbox, whatever its protocol.
inline constexpr QLatin1StringView kMailboxSection{"Pop3"};
inline constexpr QLatin1StringView kProtocol{"Protocol"};
inline constexpr QLatin1StringView kStartupCheck{"StartupCheck"};
inline constexpr QLatin1StringView kScheduler{"Scheduler"};
inline constexpr QLatin1StringView kScheduleMinutes{"ScheduleMinutes"};
inline constexpr QLatin1StringView kShowList{"ShowList"};
inline constexpr QLatin1StringView kHideWindow{"HideWindow"};
inline constexpr QLatin1StringView kBeepOnMail{"BeepOnMail"};
inline constexpr QLatin1StringView kShowOnNew{"ShowOnNew"};
inline constexpr QLatin1StringView kShowListOnNew{"ShowListOnNew"};
inline constexpr QLatin1StringView kNotifyOnNew{"NotifyOnNew"};
inline constexpr QLatin1StringView kListCacheKey{"ListCacheKey"};

// Section "Smtp": how mail is sent.
inline constexpr QLatin1StringView kSmtpSection{"Smtp"};
inline constexpr QLatin1StringView kExternalProgram{"ExternalProgram"};
inline constexpr QLatin1StringView kMailProgram{"MailProgram"};
inline constexpr QLatin1StringView kSmtpAuthenticationType{"SMTPAuthenticationType"};
inline constexpr QLatin1StringView kLogSmtp{"LogSMTP"};

// The account's keys, the same in "Pop3" and "Smtp".
inline constexpr QLatin1StringView kServerName{"ServerName"};
inline constexpr QLatin1StringView kServerUser{"ServerUser"};
inline constexpr QLatin1StringView kServerPassword{"ServerPassword"};

// Section "Email": the sender of outgoing mail.
inline constexpr QLatin1StringView kSenderSection{"Email"};
inline constexpr QLatin1StringView kPersonalEmail{"PersonalEmail"};
inline constexpr QLatin1StringView kEmailName{"EmailName"};

// Section "STANDARD": what the composer proposes when it opens empty.
inline constexpr QLatin1StringView kStandardSection{"STANDARD"};
inline constexpr QLatin1StringView kLastEmailAddress{"LastEmailAddress"};

} // namespace settings::keys
