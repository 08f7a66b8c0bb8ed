#include "connect.h"

#include <Poco/Exception.h>
#include <Poco/Net/DNS.h>
#include <Poco/Net/HostEntry.h>
#include <Poco/Net/IPAddress.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Timespan.h>

#include <vector>

namespace net {

namespace {
Poco::Timespan span(int ms)
{
    return Poco::Timespan(Poco::Timespan::TimeDiff(ms) * 1000);
}
} // namespace

QString hostPortText(const QString& host, std::uint16_t port)
{
    return (host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(host) : host) + QLatin1Char(':')
        + QString::number(port);
}

QString durationText(int ms)
{
    if (ms % 1000 != 0)
        return QStringLiteral("%1 millisekunder").arg(ms);
    const int s = ms / 1000;
    return s == 1 ? QStringLiteral("1 sekund") : QStringLiteral("%1 sekunder").arg(s);
}

std::unique_ptr<Poco::Net::StreamSocket> connectSocket(const QString& host, std::uint16_t port,
                                                       const Timeouts& timeouts)
{
    const QString where = hostPortText(host, port);
    const std::string name = host.toStdString();
    std::vector<Poco::Net::IPAddress> addresses;
    try {
        Poco::Net::IPAddress literal;
        if (Poco::Net::IPAddress::tryParse(name, literal))
            addresses.push_back(literal);
        else
            addresses = Poco::Net::DNS::hostByName(name).addresses();
    } catch (const Poco::Exception& e) {
        throw NetError(QStringLiteral("Kan ikke koble til %1: %2").arg(where, QString::fromStdString(e.displayText())));
    }
    if (addresses.empty())
        throw NetError(QStringLiteral("Kan ikke koble til %1: ingen adresse funnet").arg(where));

    QString reason;
    for (const Poco::Net::IPAddress& address : addresses) {
        auto socket = std::make_unique<Poco::Net::StreamSocket>(address.family());
        try {
            socket->connect(Poco::Net::SocketAddress(address, port), span(timeouts.connectMs));
            socket->setReceiveTimeout(span(timeouts.replyMs));
            socket->setSendTimeout(span(timeouts.replyMs));
            socket->setNoDelay(true);
            return socket;
        } catch (const Poco::TimeoutException&) {
            reason = QStringLiteral("tidsavbrudd etter %1").arg(durationText(timeouts.connectMs));
        } catch (const Poco::Exception& e) {
            reason = QString::fromStdString(e.displayText()); // "Connection refused", ...
        }
    }
    throw NetError(QStringLiteral("Kan ikke koble til %1: %2").arg(where, reason));
}

} // namespace net
