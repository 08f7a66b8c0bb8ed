#include "systemkeyring.h"

#include "offthread.h"
#include "termination.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QMap>
#include <QThread>
#include <qt6keychain/keychain.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>

namespace keyring {

namespace {

const QString kSecretsName = QStringLiteral("org.freedesktop.secrets");
constexpr int kServiceTimeoutMs = 10000;

using Reply = std::function<void(Result)>;

// The thread every keyring job of the process runs on, and an object living
// there to run calls and own the jobs.
struct KeyringThread {
    QThread thread;
    QObject* context = nullptr;
};

std::mutex g_threadMutex;
KeyringThread* g_thread = nullptr;

// Called as the application object goes: the jobs still waiting are
// dropped, in their own thread, and the thread ends.
void stopKeyringThread()
{
    const std::lock_guard lock(g_threadMutex);
    if (!g_thread)
        return;
    QObject* context = g_thread->context;
    QMetaObject::invokeMethod(context, [context] { delete context; }, Qt::QueuedConnection);
    g_thread->thread.quit();
    g_thread->thread.wait();
    delete g_thread;
    g_thread = nullptr;
}

KeyringThread* keyringThread()
{
    const std::lock_guard lock(g_threadMutex);
    if (!g_thread && QCoreApplication::instance()) {
        qDBusRegisterMetaType<QMap<QString, QString>>();
        qDBusRegisterMetaType<QList<QDBusObjectPath>>();
        g_thread = new KeyringThread;
        g_thread->thread.setObjectName(QStringLiteral("keyring"));
        g_thread->context = new QObject;
        g_thread->context->moveToThread(&g_thread->thread);
        g_thread->thread.start();
        qAddPostRoutine(stopKeyringThread);
    }
    return g_thread;
}

// Runs start on the keyring thread (with the object there that owns the
// jobs) and waits for the answer it hands to its reply: once, at once or
// from a job's end.
Result onKeyringThread(std::function<void(QObject*, const Reply&)> start)
{
    KeyringThread* k = keyringThread();
    if (!k)
        return {Status::Unavailable, {}, {}};
    if (QThread::currentThread() == &k->thread)
        return {Status::Failed, {}, QStringLiteral("kalt fra nøkkelringens egen tråd")};
    auto promise = std::make_shared<std::promise<Result>>();
    std::future<Result> answer = promise->get_future();
    QObject* context = k->context;
    QMetaObject::invokeMethod(
        context,
        [start = std::move(start), promise, context] {
            start(context, [promise](Result r) { promise->set_value(std::move(r)); });
        },
        Qt::QueuedConnection);
    // A desktop that asks the user to unlock may take minutes; only the
    // program's end stops the wait. On the window thread the wait runs
    // beside the event loop, so the windows keep painting meanwhile.
    return rt::awaitOffThreadResult([&answer]() -> Result {
        while (answer.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
            if (rt::cancelRequested())
                return {Status::Cancelled, {}, {}};
        }
        return answer.get();
    });
}

QDBusConnection sessionBus()
{
    return QDBusConnection::sessionBus();
}

bool serviceThere()
{
    const QDBusConnection bus = sessionBus();
    if (!bus.isConnected() || !bus.interface())
        return false;
    if (bus.interface()->isServiceRegistered(kSecretsName))
        return true;
    const QDBusReply<QStringList> startable = bus.interface()->activatableServiceNames();
    return startable.isValid() && startable.value().contains(kSecretsName);
}

enum class Held { None, Unlocked, Locked, Unknown };

// The account's entries as the service lists them, without unlocking
// anything (so without a question to the user). QtKeychain stores the
// entry's name under "server" and the user under "user".
Held heldEntries(const Account& account)
{
    QDBusMessage call = QDBusMessage::createMethodCall(kSecretsName, QStringLiteral("/org/freedesktop/secrets"),
                                                       QStringLiteral("org.freedesktop.Secret.Service"),
                                                       QStringLiteral("SearchItems"));
    const QMap<QString, QString> attributes{{QStringLiteral("server"), entryName(account)},
                                            {QStringLiteral("user"), account.user}};
    call << QVariant::fromValue(attributes);
    const QDBusMessage reply = sessionBus().call(call, QDBus::Block, kServiceTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 2)
        return Held::Unknown;
    const auto paths = [&](int i) { return qdbus_cast<QList<QDBusObjectPath>>(reply.arguments().at(i)); };
    if (!paths(0).isEmpty())
        return Held::Unlocked;
    if (!paths(1).isEmpty())
        return Held::Locked;
    return Held::None;
}

Result resultOf(const QKeychain::Job& job)
{
    switch (job.error()) {
    case QKeychain::NoError:
        return {Status::Ok, {}, {}};
    case QKeychain::EntryNotFound:
        return {Status::NotFound, {}, {}};
    case QKeychain::AccessDenied:
    case QKeychain::AccessDeniedByUser:
        // libsecret's "locked" (a question the user turned down, or none
        // that could be put) arrives as access denied.
        return {Status::Locked, {}, job.errorString()};
    case QKeychain::NoBackendAvailable:
        return {Status::Unavailable, {}, job.errorString()};
    case QKeychain::CouldNotDeleteEntry:
    case QKeychain::NotImplemented:
    case QKeychain::OtherError:
        break;
    }
    return {Status::Failed, {}, job.errorString()};
}

// Starts a job on the keyring thread; its end is handed to done.
void runJob(QKeychain::Job* job, const Account& account, std::function<void(QKeychain::Job&)> done)
{
    job->setInsecureFallback(false);
    job->setAutoDelete(true);
    job->setKey(account.user);
    QObject::connect(job, &QKeychain::Job::finished, job,
                     [done = std::move(done)](QKeychain::Job* finished) { done(*finished); });
    job->start();
}

} // namespace

bool SystemKeyring::available()
{
    return onKeyringThread([](QObject*, const Reply& reply) {
               reply({serviceThere() ? Status::Ok : Status::Unavailable, {}, {}});
           }).ok();
}

Result SystemKeyring::read(const Account& account, bool mayAsk)
{
    return onKeyringThread([account, mayAsk](QObject* context, const Reply& reply) {
        if (!serviceThere())
            return reply({Status::Unavailable, {}, {}});
        const Held held = heldEntries(account);
        if (held == Held::Locked && !mayAsk)
            return reply({Status::Locked, {}, {}});
        auto* job = new QKeychain::ReadPasswordJob(entryName(account), context);
        runJob(job, account, [account, held, reply](QKeychain::Job& finished) {
            Result r = resultOf(finished);
            if (r.ok()) {
                r.password = static_cast<QKeychain::ReadPasswordJob&>(finished).textData();
            } else if (r.status == Status::NotFound && held != Held::None && heldEntries(account) == Held::Locked) {
                // An entry the user did not unlock reads as not found.
                r.status = Status::Locked;
            }
            reply(r);
        });
    });
}

Result SystemKeyring::write(const Account& account, const QString& password)
{
    return onKeyringThread([account, password](QObject* context, const Reply& reply) {
        if (!serviceThere())
            return reply({Status::Unavailable, {}, {}});
        auto* job = new QKeychain::WritePasswordJob(entryName(account), context);
        job->setTextData(password);
        runJob(job, account, [reply](QKeychain::Job& finished) { reply(resultOf(finished)); });
    });
}

Result SystemKeyring::remove(const Account& account)
{
    return onKeyringThread([account](QObject* context, const Reply& reply) {
        if (!serviceThere())
            return reply({Status::Unavailable, {}, {}});
        auto* job = new QKeychain::DeletePasswordJob(entryName(account), context);
        runJob(job, account, [reply](QKeychain::Job& finished) {
            Result r = resultOf(finished);
            if (r.status == Status::NotFound)
                r.status = Status::Ok;
            reply(r);
        });
    });
}

} // namespace keyring
