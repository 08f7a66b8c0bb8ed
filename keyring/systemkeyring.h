// The desktop's keyring through the Secret Service on the session bus
// (GNOME Keyring, KWallet, KeePassXC), by libsecret. Nothing is ever written
// anywhere else when the keyring cannot take a password.
//
// An entry is labelled with entryName() ("Brevglimt: ola på pop.example.no
// (innboks)", what the keyring manager shows) and carries the attributes
// other programs search by: "server" (the host name), "user", and "kind"
// ("mailbox" or "smtp", so a mailbox and an SMTP account on one server with
// one user name are two entries), under the schema "no.tavlund.Brevglimt".
// The earlier version wrote the entry name into "server" (schema
// "org.qt.keychain", "type" "plaintext"); such an entry is still read, and
// rewritten in the present form when found.
//
// libsecret's calls need an event loop in the thread that makes them; so
// every call of the process runs on one thread of the store's own, one at a
// time, which lives until the application object goes. The calls below
// hand their work to that thread and wait for its answer on the calling
// thread (a worker thread of the window, or the watcher's). A wait ends
// early, as Cancelled, once the program is ending (rt::cancelRequested()).
//
// libsecret keeps one connection to the service for the whole process: the
// service's bus name and an open session, in which secrets travel. A
// keyring daemon that restarts (or crashes and is started again) knows
// neither, and every later call would fail ("The name :1.5 was not provided
// by any .service files", "The session wrapping the secret does not
// exist"); such a failure drops that connection and the call is made once
// more on a new one.
#pragma once

#include "secretstore.h"

namespace keyring {

class SystemKeyring : public SecretStore {
public:
    // Needs a QCoreApplication.
    SystemKeyring() = default;

    // The Secret Service's name is on the session bus, or the bus can start
    // the service on demand.
    bool available() override;
    // libsecret does not tell a locked keyring from an empty one (a locked
    // entry the user does not unlock is "not found"); so the service is
    // asked first which entries of the account it holds and whether they
    // are locked. A locked one is unlocked (the desktop asks the user) only
    // when mayAsk.
    Result read(const Account& account, bool mayAsk) override;
    // Also removes an entry of the earlier form, which would otherwise come
    // back with an old password once this one is removed.
    Result write(const Account& account, const QString& password) override;
    // Removes the entry in both forms.
    Result remove(const Account& account) override;
};

} // namespace keyring
