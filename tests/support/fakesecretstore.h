// A secret store in memory, for tests of what the program does with the
// keyring's answers: the entries it holds, every call it got, and the
// failures to give instead (no service, a locked keyring, a refusal). It
// can hold every call until released, as a keyring does whose question
// (create a keyring, unlock it) the user has not answered yet, and run a
// test's step as a call arrives.
#pragma once

#include "secretstore.h"

#include <QMap>
#include <QMutex>
#include <QMutexLocker>
#include <QStringList>
#include <QWaitCondition>
#include <functional>
#include <optional>
#include <utility>

namespace testsupport {

class FakeSecretStore : public keyring::SecretStore {
public:
    using Account = keyring::Account;
    using Result = keyring::Result;
    using Status = keyring::Status;

    bool available() override
    {
        // Looking for the service asks the user nothing: never held.
        arrive(QStringLiteral("available"), false, false);
        const QMutexLocker lock(&mutex);
        return there;
    }
    Result read(const Account& account, bool mayAsk) override
    {
        arrive(QStringLiteral("read %1%2").arg(keyring::entryName(account), mayAsk ? QStringLiteral(" ask") : QString()));
        const QMutexLocker lock(&mutex);
        if (!there)
            return {Status::Unavailable, {}, {}};
        if (locked && !(mayAsk && unlockWhenAsked))
            return {Status::Locked, {}, {}};
        locked = false;
        if (readAnswer)
            return *readAnswer;
        const auto found = entries.constFind(keyring::entryName(account));
        if (found == entries.constEnd())
            return {Status::NotFound, {}, {}};
        return {Status::Ok, readBackOther ? *found + QStringLiteral("-annet") : *found, {}};
    }
    Result write(const Account& account, const QString& password) override
    {
        arrive(QStringLiteral("write %1").arg(keyring::entryName(account)));
        const QMutexLocker lock(&mutex);
        if (!there)
            return {Status::Unavailable, {}, {}};
        if (locked)
            return {Status::Locked, {}, {}};
        if (writeAnswer)
            return *writeAnswer;
        entries.insert(keyring::entryName(account), password);
        return {Status::Ok, {}, {}};
    }
    Result remove(const Account& account) override
    {
        arrive(QStringLiteral("remove %1").arg(keyring::entryName(account)));
        const QMutexLocker lock(&mutex);
        if (!there)
            return {Status::Unavailable, {}, {}};
        if (locked)
            return {Status::Locked, {}, {}};
        entries.remove(keyring::entryName(account));
        return {Status::Ok, {}, {}};
    }

    QStringList takeCalls()
    {
        const QMutexLocker lock(&mutex);
        return std::exchange(calls, {});
    }

    // Every read, write and removal from now on waits until release().
    void hold()
    {
        const QMutexLocker lock(&mutex);
        held = true;
    }
    void release()
    {
        const QMutexLocker lock(&mutex);
        held = false;
        released.wakeAll();
    }
    // Calls waiting for release() now.
    int waitingCalls()
    {
        const QMutexLocker lock(&mutex);
        return waiting;
    }

    QMutex mutex;
    QMap<QString, QString> entries; // entry name -> password
    QStringList calls;              // "read <entry>[ ask]", "write <entry>", "remove <entry>"
    bool there = true;              // false: no Secret Service
    bool locked = false;            // every call answers Locked...
    bool unlockWhenAsked = false;   // ...unless a read may ask, and the user unlocks
    std::optional<Result> readAnswer;  // every read that gets through answers this
    std::optional<Result> writeAnswer; // every write that gets through answers this
    bool readBackOther = false;        // reads give another password than was stored
    // Run as a call arrives ("available", or a call as in calls), on the
    // caller's thread, before it is recorded or held.
    std::function<void(const QString& call)> onCall;

private:
    void arrive(const QString& call, bool record = true, bool holdable = true)
    {
        if (onCall)
            onCall(call);
        const QMutexLocker lock(&mutex);
        if (record)
            calls.append(call);
        ++waiting;
        while (held && holdable)
            released.wait(&mutex);
        --waiting;
    }

    QWaitCondition released;
    bool held = false;
    int waiting = 0;
};

// Installs a store as the program's for one test.
class StoreGuard {
public:
    explicit StoreGuard(keyring::SecretStore* s) { keyring::setStore(s); }
    ~StoreGuard() { keyring::setStore(nullptr); }
    StoreGuard(const StoreGuard&) = delete;
    StoreGuard& operator=(const StoreGuard&) = delete;
};

} // namespace testsupport
