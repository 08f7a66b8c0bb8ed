// The test's own keyring session (tests/support/secret_service_session.sh),
// seen from outside the program: which session the test runs in, what
// secret-tool finds, and the login keyring locked over D-Bus.
#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <optional>

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

// The password the keyring holds under an entry name and user, as
// secret-tool looks it up.
inline std::optional<QString> secretToolLookup(const QString& entry, const QString& user)
{
    return secretTool({QStringLiteral("lookup"), QStringLiteral("server"), entry, QStringLiteral("user"), user});
}

// The labels of the entries secret-tool finds with these attributes.
inline QStringList secretToolLabels(const QString& entry, const QString& user)
{
    const std::optional<QString> out = secretTool({QStringLiteral("search"), QStringLiteral("--all"),
                                                   QStringLiteral("server"), entry, QStringLiteral("user"), user});
    QStringList labels;
    for (const QString& line : out.value_or(QString()).split(QLatin1Char('\n'))) {
        if (line.startsWith(QStringLiteral("label = ")))
            labels.append(line.mid(8));
    }
    return labels;
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

} // namespace testsupport
