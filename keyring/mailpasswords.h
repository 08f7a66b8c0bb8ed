// Where the mail passwords live: in the desktop's keyring (store()) where
// there is one, else in the per-user settings file as before (section
// "Pop3" scrambled, section "Smtp" as typed). A "ServerPassword" the file
// still holds is the one used, so a file taken to a machine without a
// keyring keeps working; once the keyring has taken a password the file's
// value is empty.
//
// The functions marked "window thread" read or write the settings file
// there and hand the keyring's part to a worker thread (rt::awaitOffThread),
// since a keyring may ask the user to unlock it meanwhile.
#pragma once

#include "secretstore.h"

#include <QMutex>
#include <QString>
#include <atomic>
#include <optional>

namespace keyring {

// Window thread, once at start-up: a password the per-user settings file
// holds for the mailbox or the SMTP account is stored in the keyring, read
// back to compare, and only then emptied in the file, with an "INIFIL: "
// log line. A failure leaves the file as it was ("ADVARSEL: INIFIL: " line
// with the cause). Without a Secret Service nothing changes, and one
// "ADVARSEL: " line says that the passwords stay in the settings file.
void moveOverPasswords();

// Window thread: whether the desktop has a Secret Service; without one the
// same "ADVARSEL: " line as above. Nothing is asked of the user (no keyring
// is opened or unlocked), so it may come before the strip shows.
bool keyringThere();

// What a settings dialog's password field was loaded with.
struct LoadedPassword {
    Account account;
    QString shown;       // the field's text as loaded
    bool inFile = false; // it came from the settings file
    QString failure;     // why the keyring could not give it; empty when it could
};

// Window thread: the account's password for a settings dialog: fileValue
// (the file's, unscrambled) when there is one, else the keyring's; empty
// when neither has one or the keyring cannot give it now.
LoadedPassword loadPassword(const Account& account, const QString& fileValue);

// Window thread: where a dialog's password goes as it saves. Into the
// keyring when it or its account changed, or it still lay in the file (an
// emptied field removes the entry). Returns the password the file is to
// keep: without a keyring or account, an empty password (nothing to keep
// in a keyring), or when the keyring did not take it (a box then says so,
// and the file keeps it so that nothing is lost); nullopt when the keyring
// has it (or an empty field stands for an entry the keyring could not
// give), and the file's value is to be empty.
std::optional<QString> savePassword(const LoadedPassword& loaded, const Account& now, const QString& typed);

// How many times this run a dialog stored or removed a password of that
// kind in the keyring: a change the settings file does not show.
quint64 keyringChanges(AccountKind kind);

// Window thread: the password for a log-in the user asked for (a send),
// when the settings file holds none: the keyring's. nullopt when there is
// none to be had, with the sentence for the user in failure: none stored
// ("Det er ikke lagret noe passord for …"), or the keyring locked or
// failing; logged then too.
std::optional<QString> passwordFromKeyring(const Account& account, QString* failure);

// The mailbox's password for the watcher's checks, when the settings file
// holds none. A locked keyring is asked to unlock (the desktop asks the
// user) at the first check; when that fails, later checks only look
// whether it has been unlocked meanwhile. A failure, or no password stored
// at all, is told once, until the user asks for a check.
class MailboxPassword {
public:
    // Any thread (the watcher's worker): the password; nullopt when there
    // is none to be had now (the keyring is locked or fails, or neither it
    // nor the file holds one), and the check is not to log in.
    std::optional<QString> fetch(const Account& account);
    // Window thread: the notice of a failure the first time (logged
    // then too); empty otherwise.
    QString takeNotice();
    // The user asked for a check: the keyring may ask to unlock again, and
    // a failure is told again.
    void allowAsking();

private:
    std::atomic<bool> m_mayAsk{true};
    QMutex m_mutex;
    // The last failure not told yet: the box's text and the log line.
    QString m_notice;
    QString m_logLine;
    bool m_told = false;
};

} // namespace keyring
