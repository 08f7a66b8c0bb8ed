#include "cleartext.h"

#include "certtrust.h"
#include "connect.h"
#include "platform.h"
#include "settingsaccess.h"
#include "tls.h"

#include <mutex>
#include <set>

namespace net {

namespace {

std::mutex g_mutex;
std::set<QString> g_allowed;

} // namespace

bool clearTextAllowed(const QString& host, std::uint16_t port)
{
    std::lock_guard lock(g_mutex);
    return g_allowed.count(CertificatePins::key(host, port)) > 0;
}

void requireClearTextConsent(const QString& host, std::uint16_t port, const QString& why)
{
    if (isLoopbackHost(host) || clearTextAllowed(host, port))
        return;
    throw ClearTextError(QStringLiteral("Vil ikke sende passordet til %1 ukryptert: %2").arg(host, why), host, port);
}

void loadClearTextConsents()
{
    std::set<QString> allowed;
    {
        UserSection user(kClearTextSection);
        for (const QString& key : rt::settingsFile().keys(kClearTextSection)) {
            if (rt::readSetting(key).trimmed() == QLatin1String("1"))
                allowed.insert(key.toLower());
        }
    }
    std::lock_guard lock(g_mutex);
    g_allowed = std::move(allowed);
}

void allowClearText(const QString& host, std::uint16_t port)
{
    const QString key = CertificatePins::key(host, port);
    {
        UserSection user(kClearTextSection);
        rt::writeSetting(key, QStringLiteral("1"));
    }
    std::lock_guard lock(g_mutex);
    g_allowed.insert(key);
}

void clearClearTextConsents()
{
    std::lock_guard lock(g_mutex);
    g_allowed.clear();
}

QString clearTextQuestion(const ClearTextError& error)
{
    return QStringLiteral("%1.\n\nServer: %2\n\nLogger du på likevel, går passordet ditt ukryptert over nettet, "
                          "og alle som kan se trafikken på veien kan lese det.\n\nVil du logge på %2 uten "
                          "kryptering? Svaret huskes for denne serveren.")
        .arg(error.text(), hostPortText(error.host(), error.port()));
}

void withClearTextConsent(const std::function<void()>& step)
{
    try {
        step();
        return;
    } catch (const ClearTextError& e) {
        if (!askAboutServer(QStringLiteral("klartekst/") + CertificatePins::key(e.host(), e.port()),
                            clearTextQuestion(e)))
            throw;
        allowClearText(e.host(), e.port());
    }
    step();
}

} // namespace net
