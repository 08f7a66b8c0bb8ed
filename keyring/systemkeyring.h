// The desktop's keyring through the Secret Service on the session bus
// (GNOME Keyring, KWallet, KeePassXC): QtKeychain's jobs for the passwords,
// with its plain-text fallback off, so a password is never written anywhere
// else when the keyring cannot take it.
//
// QtKeychain's jobs need an event loop in the thread that runs them, and its
// queue of jobs belongs to the thread that ran the first one; so every job
// of the process runs on one thread of the store's own, which lives until
// the application object goes. The calls below hand their job to that
// thread and wait for its answer on the calling thread (a worker thread of
// the window, or the watcher's). A wait ends early, as Cancelled, once the
// program is ending (rt::cancelRequested()).
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
    // QtKeychain does not tell a locked keyring from an empty one (a locked
    // entry is "not found"); so the service is asked first which entries of
    // the account it holds and whether they are locked. A locked one is
    // unlocked (the desktop asks the user) only when mayAsk.
    Result read(const Account& account, bool mayAsk) override;
    Result write(const Account& account, const QString& password) override;
    Result remove(const Account& account) override;
};

} // namespace keyring
