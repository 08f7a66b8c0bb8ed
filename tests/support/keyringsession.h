// The test's own keyring session (tests/support/secret_service_session.sh),
// seen from outside the program: which session the test runs in, what
// secret-tool finds, and the login keyring locked over D-Bus.
#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusConnectionInterface>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTest>
#include <memory>
#include <optional>
#include <signal.h>

namespace testsupport {

// "keyring", "bus" or "nobus" as secret_service_session.sh started the
// test; empty outside it.
inline QString testSession()
{
    return qEnvironmentVariable("BREV_TEST_SESSION");
}

// Skips a test that needs another session than the one it runs in.
#define BREV_REQUIRE_SESSION(kind)                                                                           \
    do {                                                                                                     \
        if (testsupport::testSession() != QStringLiteral(kind))                                              \
            GTEST_SKIP() << "needs tests/support/secret_service_session.sh " << kind << " (ctest runs it so)"; \
    } while (false)

// secret-tool's output for its arguments; nullopt when it finds nothing.
inline std::optional<QString> secretTool(const QStringList& arguments)
{
    QProcess p;
    p.start(QStringLiteral("secret-tool"), arguments);
    if (!p.waitForFinished(20000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return std::nullopt;
    return QString::fromUtf8(p.readAllStandardOutput());
}

// The attributes the program's entry of an account carries: the host, the
// user and the kind ("mailbox" or "smtp").
inline QStringList entryAttributes(const QString& host, const QString& user, const QString& kind)
{
    return {QStringLiteral("server"), host, QStringLiteral("user"), user, QStringLiteral("kind"), kind};
}

// The password the keyring holds under these attributes, as secret-tool
// looks it up.
inline std::optional<QString> secretToolLookup(const QStringList& attributes)
{
    return secretTool(QStringList{QStringLiteral("lookup")} + attributes);
}

// The labels of the entries secret-tool finds with these attributes.
inline QStringList secretToolLabels(const QStringList& attributes)
{
    const std::optional<QString> out = secretTool(QStringList{QStringLiteral("search"), QStringLiteral("--all")} + attributes);
    QStringList labels;
    for (const QString& line : out.value_or(QString()).split(QLatin1Char('\n'))) {
        if (line.startsWith(QStringLiteral("label = ")))
            labels.append(line.mid(8));
    }
    return labels;
}

// Stores an entry as another program (or an earlier version) would.
inline bool secretToolStore(const QString& label, const QStringList& attributes, const QString& password)
{
    QProcess p;
    p.start(QStringLiteral("secret-tool"), QStringList{QStringLiteral("store"), QStringLiteral("--label"), label} + attributes);
    if (!p.waitForStarted(20000))
        return false;
    p.write(password.toUtf8());
    p.closeWriteChannel();
    return p.waitForFinished(20000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// Locks the login keyring, as the desktop does at a screen lock or on the
// user's word. It stays locked: no one in the session can unlock it (there
// is nobody to ask).
inline bool lockLoginKeyring()
{
    qDBusRegisterMetaType<QList<QDBusObjectPath>>();
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.secrets"), QStringLiteral("/org/freedesktop/secrets"),
        QStringLiteral("org.freedesktop.Secret.Service"), QStringLiteral("Lock"));
    const QDBusObjectPath login(QStringLiteral("/org/freedesktop/secrets/collection/login"));
    call << QVariant::fromValue(QList<QDBusObjectPath>{login});
    const QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 10000);
    return reply.type() == QDBusMessage::ReplyMessage;
}

// The login keyring is the service's default: the daemon is ready.
inline bool keyringReady()
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.secrets"), QStringLiteral("/org/freedesktop/secrets"),
        QStringLiteral("org.freedesktop.Secret.Service"), QStringLiteral("ReadAlias"));
    call << QStringLiteral("default");
    const QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 2000);
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()
        && qvariant_cast<QDBusObjectPath>(reply.arguments().first()).path().endsWith(QStringLiteral("/login"));
}

// Ends the session's keyring daemon (the one secret_service_session.sh
// started, found by its bus name) and starts another on the same keyrings,
// unlocked as the script does, as after a crash or an unlock by restart.
// The new daemon belongs to the returned process, which ends it; nullptr
// when either step failed.
inline std::unique_ptr<QProcess> restartKeyringDaemon()
{
    const QDBusConnection bus = QDBusConnection::sessionBus();
    const QDBusReply<uint> pid = bus.interface()->servicePid(QStringLiteral("org.freedesktop.secrets"));
    if (!pid.isValid() || pid.value() == 0 || ::kill(pid_t(pid.value()), SIGTERM) != 0)
        return nullptr;
    if (!QTest::qWaitFor([&] { return !bus.interface()->isServiceRegistered(QStringLiteral("org.freedesktop.secrets")); },
                         10000))
        return nullptr;
    auto daemon = std::make_unique<QProcess>();
    daemon->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    daemon->start(QStringLiteral("gnome-keyring-daemon"),
                  {QStringLiteral("--foreground"), QStringLiteral("--unlock"), QStringLiteral("--components=secrets")});
    if (!daemon->waitForStarted(10000))
        return nullptr;
    daemon->write(qgetenv("KEYRING_UNLOCK_PASSWORD"));
    daemon->closeWriteChannel();
    if (!QTest::qWaitFor(keyringReady, 10000))
        return nullptr;
    return daemon;
}

} // namespace testsupport
