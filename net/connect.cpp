#include "connect.h"

#include <Poco/Exception.h>
#include <Poco/Net/DNS.h>
#include <Poco/Net/HostEntry.h>
#include <Poco/Net/IPAddress.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Timespan.h>

#include <cerrno>
#include <vector>

namespace net {

namespace {
Poco::Timespan span(int ms)
{
    return Poco::Timespan(Poco::Timespan::TimeDiff(ms) * 1000);
}
} // namespace

QString connectFailureReason(const Poco::Exception& e, int connectMs)
{
    if (dynamic_cast<const Poco::TimeoutException*>(&e))
        return QStringLiteral("fikk ikke svar på %1").arg(durationText(connectMs));
    if (dynamic_cast<const Poco::Net::ConnectionRefusedException*>(&e))
        return QStringLiteral("tilkoblingen ble avvist");
    if (dynamic_cast<const Poco::Net::DNSException*>(&e))
        return QStringLiteral("fant ikke serveren");
    switch (e.code()) {
    case ECONNREFUSED: return QStringLiteral("tilkoblingen ble avvist");
    case ETIMEDOUT: return QStringLiteral("fikk ikke svar på %1").arg(durationText(connectMs));
    case ENETUNREACH: return QStringLiteral("nettverket kan ikke nås");
    case EHOSTUNREACH: return QStringLiteral("serveren kan ikke nås");
    case ECONNRESET: return QStringLiteral("forbindelsen ble brutt");
    case EADDRNOTAVAIL: return QStringLiteral("adressen kan ikke brukes");
    case EACCES:
    case EPERM: return QStringLiteral("tilkoblingen ble stoppet av systemet");
    default: break;
    }
    // Anything else keeps the system's own words after a Norwegian lead.
    return QStringLiteral("nettverksfeil (%1)").arg(QString::fromStdString(e.displayText()));
}

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
    } catch (const Poco::Exception&) {
        // Unknown name, no address for it, or no answer from the resolver.
        throw NetError(QStringLiteral("Kan ikke koble til %1: fant ikke serveren").arg(where));
    }
    if (addresses.empty())
        throw NetError(QStringLiteral("Kan ikke koble til %1: fant ikke serveren").arg(where));

    QString reason;
    for (const Poco::Net::IPAddress& address : addresses) {
        auto socket = std::make_unique<Poco::Net::StreamSocket>(address.family());
        try {
            socket->connect(Poco::Net::SocketAddress(address, port), span(timeouts.connectMs));
            socket->setReceiveTimeout(span(timeouts.replyMs));
            socket->setSendTimeout(span(timeouts.replyMs));
            socket->setNoDelay(true);
            return socket;
        } catch (const Poco::Exception& e) {
            reason = connectFailureReason(e, timeouts.connectMs);
        }
    }
    throw NetError(QStringLiteral("Kan ikke koble til %1: %2").arg(where, reason));
}

} // namespace net
