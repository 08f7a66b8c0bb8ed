// The mail accounts' passwords in a secret store: what names an entry, what
// an operation on the store can end in, and the store the program uses.
#pragma once

#include <QString>
#include <utility>

namespace keyring {

enum class AccountKind {
    Mailbox, // the mailbox the strip watches
    Smtp,    // the server the composer sends through
};

// One account: one entry in the keyring. The port is no part of it, so a
// move to another port of the same server keeps the password.
struct Account {
    AccountKind kind = AccountKind::Mailbox;
    QString host; // lower case, without port or brackets
    QString user;

    // Only an account with a server gets an entry; without one the password
    // stays where the settings file keeps it.
    bool valid() const { return !host.isEmpty(); }
    friend bool operator==(const Account&, const Account&) = default;
};

// The account of a "ServerName" setting ("pop.example.no:995",
// "[::1]:110") and a user name.
Account accountFor(AccountKind kind, const QString& serverName, const QString& user);

// The account as the log and boxes name it: "ola på pop.example.no
// (innboks)", "smtp.example.no (SMTP)" without a user name.
QString accountText(const Account& account);
// What the keyring manager shows for the account's entry: "Brevglimt: "
// and the account's text.
QString entryName(const Account& account);

enum class Status {
    Ok,          // read: found; write, remove: done
    NotFound,    // read: the keyring holds no password for the account
    Unavailable, // no Secret Service on the session bus (or no session bus)
    Locked,      // the keyring is locked, and was not unlocked when asked
    Failed,      // the service refused or broke off, or gave back another password; detail says how
    Cancelled,   // the program is ending (SIGTERM) and stopped waiting
};

struct Result {
    Result(Status s = Status::Failed, QString pw = {}, QString d = {}, QString t = {})
        : status(s), password(std::move(pw)), detail(std::move(d)), technical(std::move(t))
    {
    }
    Status status;
    QString password;  // read with Ok: the password
    QString detail;    // Failed: what went wrong, in Norwegian
    QString technical; // the service's own words (English as a rule): for the log, never for a box
    bool ok() const { return status == Status::Ok; }
};

// The cause in Norwegian, for a box: "nøkkelringen er låst".
QString describe(const Result& result);
// The same for a log line, with the service's own words in parentheses
// when it gave any.
QString describeForLog(const Result& result);

// A store of passwords, one per account. Every call blocks until the store
// has answered: call it off the window thread. A keyring that is locked may
// make the desktop ask the user to unlock it; read() asks only when
// mayAsk is set, write() always does.
class SecretStore {
public:
    virtual ~SecretStore() = default;
    // A Secret Service is there to be used.
    virtual bool available() = 0;
    virtual Result read(const Account& account, bool mayAsk) = 0;
    virtual Result write(const Account& account, const QString& password) = 0;
    // Removing an entry that is not there is Ok.
    virtual Result remove(const Account& account) = 0;
};

// The store the program's windows and watcher use; nullptr (the default)
// behaves as a desktop without a Secret Service.
SecretStore* store();
void setStore(SecretStore* store);

} // namespace keyring
