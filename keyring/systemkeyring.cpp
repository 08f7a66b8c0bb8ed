// libsecret first: GLib's headers use names that Qt's headers define as
// macros ("signals").
#include <libsecret/secret.h>

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
#include <QPointer>
#include <QThread>

#include <chrono>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>

namespace keyring {

namespace {

const QString kSecretsName = QStringLiteral("org.freedesktop.secrets");
constexpr int kServiceTimeoutMs = 10000;

using Reply = std::function<void(Result)>;
using Start = std::function<void(const Reply&)>;

// Lives on the keyring thread and runs the calls handed to it one after
// the other: a call may read an entry and then rewrite it, and another
// call's write must not fall in between.
class Calls : public QObject {
public:
    void add(Start start)
    {
        m_waiting.push_back(std::move(start));
        if (!m_running)
            next();
    }

private:
    void next()
    {
        if (m_running || m_waiting.empty())
            return;
        Start start = std::move(m_waiting.front());
        m_waiting.pop_front();
        m_running = true;
        start([self = QPointer<Calls>(this)](Result) {
            if (!self)
                return;
            self->m_running = false;
            // Not from inside the call that ended.
            QMetaObject::invokeMethod(self.data(), [self] { if (self) self->next(); }, Qt::QueuedConnection);
        });
    }

    std::deque<Start> m_waiting;
    bool m_running = false;
};

// The thread every keyring call of the process runs on.
struct KeyringThread {
    QThread thread;
    Calls* calls = nullptr;
};

std::mutex g_threadMutex;
KeyringThread* g_thread = nullptr;

// Called as the application object goes: the calls still waiting are
// dropped, in their own thread, and the thread ends.
void stopKeyringThread()
{
    const std::lock_guard lock(g_threadMutex);
    if (!g_thread)
        return;
    Calls* calls = g_thread->calls;
    QMetaObject::invokeMethod(calls, [calls] { delete calls; }, Qt::QueuedConnection);
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
        g_thread->calls = new Calls;
        g_thread->calls->moveToThread(&g_thread->thread);
        g_thread->thread.start();
        qAddPostRoutine(stopKeyringThread);
    }
    return g_thread;
}

// Runs start on the keyring thread, after the calls before it, and waits
// for the answer it hands to its reply: once, at once or from libsecret's
// callback.
Result onKeyringThread(std::function<void(const Reply&)> start)
{
    KeyringThread* k = keyringThread();
    if (!k)
        return {Status::Unavailable, {}, {}, {}};
    if (QThread::currentThread() == &k->thread)
        return {Status::Failed, QStringLiteral("kalt fra nøkkelringens egen tråd"), {}, {}};
    auto promise = std::make_shared<std::promise<Result>>();
    std::future<Result> answer = promise->get_future();
    Calls* calls = k->calls;
    QMetaObject::invokeMethod(
        calls,
        [start = std::move(start), promise, calls] {
            calls->add([start, promise](const Reply& ended) {
                start([promise, ended](Result r) {
                    promise->set_value(r);
                    ended(std::move(r));
                });
            });
        },
        Qt::QueuedConnection);
    // A desktop that asks the user to unlock may take minutes; only the
    // program's end stops the wait. On the window thread the wait runs
    // beside the event loop, so the windows keep painting meanwhile.
    return rt::awaitOffThreadResult([&answer]() -> Result {
        while (answer.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
            if (rt::cancelRequested())
                return {Status::Cancelled, {}, {}, {}};
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

// ---------------------------------------------------------------- the entries' attributes

const char* kindValue(AccountKind kind)
{
    return kind == AccountKind::Mailbox ? "mailbox" : "smtp";
}

// The entries this program writes.
const SecretSchema* entrySchema()
{
    static const SecretSchema schema = [] {
        SecretSchema s{};
        s.name = "no.tavlund.Brevglimt";
        s.flags = SECRET_SCHEMA_NONE;
        s.attributes[0] = {"server", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[1] = {"user", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[2] = {"kind", SECRET_SCHEMA_ATTRIBUTE_STRING};
        return s;
    }();
    return &schema;
}

// The entries of the earlier version (QtKeychain's form: the entry name in
// "server", the schema's name not matched).
const SecretSchema* earlierSchema()
{
    static const SecretSchema schema = [] {
        SecretSchema s{};
        s.name = "org.qt.keychain";
        s.flags = SECRET_SCHEMA_DONT_MATCH_NAME;
        s.attributes[0] = {"user", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[1] = {"server", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[2] = {"type", SECRET_SCHEMA_ATTRIBUTE_STRING};
        return s;
    }();
    return &schema;
}

QMap<QString, QString> entryAttributes(const Account& account)
{
    return {{QStringLiteral("server"), account.host},
            {QStringLiteral("user"), account.user},
            {QStringLiteral("kind"), QString::fromLatin1(kindValue(account.kind))}};
}

QMap<QString, QString> earlierAttributes(const Account& account)
{
    return {{QStringLiteral("server"), entryName(account)}, {QStringLiteral("user"), account.user}};
}

struct HashTableUnref {
    void operator()(GHashTable* t) const { g_hash_table_unref(t); }
};
using Attributes = std::unique_ptr<GHashTable, HashTableUnref>;

Attributes toHashTable(const QMap<QString, QString>& map)
{
    Attributes table(g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free));
    for (auto i = map.constBegin(); i != map.constEnd(); ++i)
        g_hash_table_insert(table.get(), g_strdup(i.key().toUtf8().constData()),
                            g_strdup(i.value().toUtf8().constData()));
    return table;
}

enum class Held { None, Unlocked, Locked, Unknown };

// The entries with these attributes as the service lists them, without
// unlocking anything (so without a question to the user).
Held heldEntries(const QMap<QString, QString>& attributes)
{
    QDBusMessage call = QDBusMessage::createMethodCall(kSecretsName, QStringLiteral("/org/freedesktop/secrets"),
                                                       QStringLiteral("org.freedesktop.Secret.Service"),
                                                       QStringLiteral("SearchItems"));
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

// The account's entries in either form: locked only when none is unlocked.
Held heldEntries(const Account& account)
{
    const Held present = heldEntries(entryAttributes(account));
    if (present == Held::Unlocked)
        return present;
    const Held earlier = heldEntries(earlierAttributes(account));
    if (earlier == Held::Unlocked || earlier == Held::Locked)
        return earlier;
    return present == Held::None ? earlier : present;
}

// ---------------------------------------------------------------- errors

bool isDBusError(const GError* e, GDBusError code)
{
    return g_error_matches(e, G_DBUS_ERROR, code);
}

// The failure of a call made on a connection the service no longer knows:
// its bus name is gone (the daemon was restarted) or the session in which
// secrets travel is.
bool lostConnection(const GError* e)
{
    if (isDBusError(e, G_DBUS_ERROR_SERVICE_UNKNOWN) || isDBusError(e, G_DBUS_ERROR_NAME_HAS_NO_OWNER)
        || isDBusError(e, G_DBUS_ERROR_UNKNOWN_OBJECT) || isDBusError(e, G_DBUS_ERROR_UNKNOWN_METHOD)
        || isDBusError(e, G_DBUS_ERROR_DISCONNECTED))
        return true;
    // gnome-keyring names a missing session in its own words, which reach
    // libsecret as a D-Bus error it does not know.
    if (g_error_matches(e, G_IO_ERROR, G_IO_ERROR_DBUS_ERROR) || g_dbus_error_is_remote_error(e)) {
        gchar* remote = g_dbus_error_is_remote_error(e) ? g_dbus_error_get_remote_error(e) : nullptr;
        const bool noSession = (remote && g_str_equal(remote, "org.freedesktop.Secret.Error.NoSession"))
            || QString::fromUtf8(e->message).contains(QStringLiteral("session"), Qt::CaseInsensitive);
        g_free(remote);
        return noSession;
    }
    return false;
}

// A failure that was not the first on the connection libsecret keeps:
// that connection is dropped, so the next call opens a new one. True when
// the call is to be made once more.
bool reopenAfter(const GError* e, bool retried)
{
    if (retried || !lostConnection(e))
        return false;
    secret_service_disconnect();
    return true;
}

// What went wrong, in Norwegian (libsecret's own text goes to the log).
QString causeOf(const GError* e)
{
    if (lostConnection(e))
        return QStringLiteral("forbindelsen til nøkkelringen ble brutt (ble den startet på nytt?), og en ny "
                              "forbindelse kunne ikke åpnes");
    if (isDBusError(e, G_DBUS_ERROR_NO_REPLY) || isDBusError(e, G_DBUS_ERROR_TIMEOUT)
        || isDBusError(e, G_DBUS_ERROR_TIMED_OUT) || g_error_matches(e, G_IO_ERROR, G_IO_ERROR_TIMED_OUT))
        return QStringLiteral("nøkkelringen svarte ikke");
    if (isDBusError(e, G_DBUS_ERROR_ACCESS_DENIED) || isDBusError(e, G_DBUS_ERROR_AUTH_FAILED))
        return QStringLiteral("nøkkelringen nektet programmet tilgang");
    if (g_error_matches(e, G_IO_ERROR, G_IO_ERROR_CANCELLED))
        return QStringLiteral("spørsmålet fra nøkkelringen ble avbrutt");
    if (g_error_matches(e, SECRET_ERROR, SECRET_ERROR_PROTOCOL))
        return QStringLiteral("nøkkelringen svarte på en måte programmet ikke forstår");
    return QStringLiteral("nøkkelringen meldte en feil");
}

Result resultOf(const GError* e)
{
    const QString technical = QString::fromUtf8(e->message);
    if (g_error_matches(e, SECRET_ERROR, SECRET_ERROR_IS_LOCKED))
        return {Status::Locked, {}, {}, technical};
    if (g_error_matches(e, SECRET_ERROR, SECRET_ERROR_NO_SUCH_OBJECT))
        return {Status::NotFound, {}, {}, technical};
    return {Status::Failed, {}, causeOf(e), technical};
}

// ---------------------------------------------------------------- libsecret's calls

// A callback's state: what to do with the result.
struct Pending {
    std::function<void(GAsyncResult*)> done;
};

void finished(GObject*, GAsyncResult* result, gpointer data)
{
    const std::unique_ptr<Pending> pending(static_cast<Pending*>(data));
    pending->done(result);
}

struct ErrorFree {
    void operator()(GError* e) const { g_error_free(e); }
};
using Error = std::unique_ptr<GError, ErrorFree>;

// The password under these attributes; none when there is no such entry.
void lookup(const SecretSchema* schema, const QMap<QString, QString>& attributes,
            std::function<void(std::optional<QString>, const Error&)> done)
{
    secret_password_lookupv(schema, toHashTable(attributes).get(), nullptr, finished,
                            new Pending{[done = std::move(done)](GAsyncResult* result) {
                                GError* e = nullptr;
                                gchar* password = secret_password_lookup_finish(result, &e);
                                std::optional<QString> found;
                                if (password) {
                                    found = QString::fromUtf8(password);
                                    secret_password_free(password);
                                }
                                done(found, Error(e));
                            }});
}

void store(const Account& account, const QString& password, std::function<void(const Error&)> done)
{
    secret_password_storev(entrySchema(), toHashTable(entryAttributes(account)).get(), SECRET_COLLECTION_DEFAULT,
                           entryName(account).toUtf8().constData(), password.toUtf8().constData(), nullptr, finished,
                           new Pending{[done = std::move(done)](GAsyncResult* result) {
                               GError* e = nullptr;
                               secret_password_store_finish(result, &e);
                               done(Error(e));
                           }});
}

// Removing what is not there is no failure.
void clear(const SecretSchema* schema, const QMap<QString, QString>& attributes,
           std::function<void(const Error&)> done)
{
    secret_password_clearv(schema, toHashTable(attributes).get(), nullptr, finished,
                           new Pending{[done = std::move(done)](GAsyncResult* result) {
                               GError* e = nullptr;
                               secret_password_clear_finish(result, &e);
                               Error error(e);
                               if (g_error_matches(e, SECRET_ERROR, SECRET_ERROR_NO_SUCH_OBJECT))
                                   error.reset();
                               done(error);
                           }});
}

QMap<QString, QString> earlierLookupAttributes(const Account& account)
{
    QMap<QString, QString> a = earlierAttributes(account);
    a.insert(QStringLiteral("type"), QStringLiteral("plaintext"));
    return a;
}

// ---------------------------------------------------------------- the store's calls

void readEntry(const Account& account, bool mayAsk, bool retried, const Reply& reply)
{
    const Held held = heldEntries(account);
    if (held == Held::Locked && !mayAsk)
        return reply({Status::Locked, {}, {}, {}});
    lookup(entrySchema(), entryAttributes(account),
           [account, mayAsk, retried, held, reply](std::optional<QString> password, const Error& e) {
               if (e) {
                   if (reopenAfter(e.get(), retried))
                       return readEntry(account, mayAsk, true, reply);
                   return reply(resultOf(e.get()));
               }
               if (password)
                   return reply({Status::Ok, *password, {}, {}});
               // An entry of the earlier version: read, and rewritten in the
               // present form (its old form removed once the new one is there).
               lookup(earlierSchema(), earlierLookupAttributes(account),
                      [account, mayAsk, retried, held, reply](std::optional<QString> earlier, const Error& e) {
                          if (e) {
                              if (reopenAfter(e.get(), retried))
                                  return readEntry(account, mayAsk, true, reply);
                              return reply(resultOf(e.get()));
                          }
                          if (!earlier) {
                              // An entry the user did not unlock reads as not found.
                              const bool locked = held != Held::None && heldEntries(account) == Held::Locked;
                              return reply({locked ? Status::Locked : Status::NotFound, {}, {}, {}});
                          }
                          const Result found{Status::Ok, *earlier, {}, {}};
                          store(account, *earlier, [account, found, reply](const Error& e) {
                              // Not rewritten: the earlier entry serves as it is.
                              if (e)
                                  return reply(found);
                              clear(earlierSchema(), earlierAttributes(account),
                                    [found, reply](const Error&) { reply(found); });
                          });
                      });
           });
}

void writeEntry(const Account& account, const QString& password, bool retried, const Reply& reply)
{
    store(account, password, [account, password, retried, reply](const Error& e) {
        if (e) {
            if (reopenAfter(e.get(), retried))
                return writeEntry(account, password, true, reply);
            return reply(resultOf(e.get()));
        }
        // An earlier entry would bring an old password back once this one
        // is removed.
        clear(earlierSchema(), earlierAttributes(account), [reply](const Error&) { reply({Status::Ok, {}, {}, {}}); });
    });
}

void removeEntry(const Account& account, bool retried, const Reply& reply)
{
    clear(entrySchema(), entryAttributes(account), [account, retried, reply](const Error& e) {
        if (e) {
            if (reopenAfter(e.get(), retried))
                return removeEntry(account, true, reply);
            return reply(resultOf(e.get()));
        }
        clear(earlierSchema(), earlierAttributes(account), [account, retried, reply](const Error& e) {
            if (e) {
                if (reopenAfter(e.get(), retried))
                    return removeEntry(account, true, reply);
                return reply(resultOf(e.get()));
            }
            reply({Status::Ok, {}, {}, {}});
        });
    });
}

} // namespace

bool SystemKeyring::available()
{
    return onKeyringThread([](const Reply& reply) {
               reply({serviceThere() ? Status::Ok : Status::Unavailable, {}, {}, {}});
           }).ok();
}

Result SystemKeyring::read(const Account& account, bool mayAsk)
{
    return onKeyringThread([account, mayAsk](const Reply& reply) {
        if (!serviceThere())
            return reply({Status::Unavailable, {}, {}, {}});
        readEntry(account, mayAsk, false, reply);
    });
}

Result SystemKeyring::write(const Account& account, const QString& password)
{
    return onKeyringThread([account, password](const Reply& reply) {
        if (!serviceThere())
            return reply({Status::Unavailable, {}, {}, {}});
        writeEntry(account, password, false, reply);
    });
}

Result SystemKeyring::remove(const Account& account)
{
    return onKeyringThread([account](const Reply& reply) {
        if (!serviceThere())
            return reply({Status::Unavailable, {}, {}, {}});
        removeEntry(account, false, reply);
    });
}

} // namespace keyring
