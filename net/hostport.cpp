#include "hostport.h"

#include <optional>

namespace net {

namespace {

// Digits only, 1-65535; "+80", " 80" or "" are no port.
std::optional<std::uint16_t> parsePort(QStringView text)
{
    if (text.isEmpty() || text.size() > 5)
        return std::nullopt;
    int value = 0;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
        value = value * 10 + (c.unicode() - '0');
    }
    if (value < 1 || value > 65535)
        return std::nullopt;
    return std::uint16_t(value);
}

} // namespace

HostPort splitHostPort(const QString& text, std::uint16_t defaultPort)
{
    const QString t = text.trimmed();
    HostPort result{t, defaultPort};

    if (t.startsWith(QLatin1Char('['))) {
        const qsizetype close = t.indexOf(QLatin1Char(']'));
        if (close < 0)
            return result;
        const QString inner = t.mid(1, close - 1);
        const QStringView rest = QStringView(t).mid(close + 1);
        if (rest.isEmpty()) {
            result.host = inner;
        } else if (rest.startsWith(QLatin1Char(':'))) {
            if (const auto port = parsePort(rest.mid(1))) {
                result.host = inner;
                result.port = *port;
            }
        }
        return result;
    }

    // More than one colon is a bare IPv6 address, which carries no port.
    if (t.count(QLatin1Char(':')) != 1)
        return result;
    const qsizetype colon = t.indexOf(QLatin1Char(':'));
    if (colon == 0)
        return result;
    if (const auto port = parsePort(QStringView(t).mid(colon + 1))) {
        result.host = t.left(colon);
        result.port = *port;
    }
    return result;
}

QString bareHost(const QString& host)
{
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        return host.mid(1, host.size() - 2);
    return host;
}

} // namespace net
