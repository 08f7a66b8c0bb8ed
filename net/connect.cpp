#include "connect.h"

#include "linechannel.h"

#include <Poco/Exception.h>
#include <Poco/Net/DNS.h>
#include <Poco/Net/HostEntry.h>
#include <Poco/Net/IPAddress.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Timespan.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
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

bool isLoopbackHost(const QString& host)
{
    QString h = host.trimmed().toLower();
    if (h.startsWith(u'[') && h.endsWith(u']'))
        h = h.mid(1, h.size() - 2);
    if (h == QLatin1String("localhost") || h == QLatin1String("localhost."))
        return true;
    Poco::Net::IPAddress address;
    return Poco::Net::IPAddress::tryParse(h.toStdString(), address) && address.isLoopback();
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

namespace {

using Clock = std::chrono::steady_clock;

// The outcome of one host lookup, shared with its helper thread, which may
// outlive the wait for it.
struct Lookup {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool failed = false;
    std::vector<Poco::Net::IPAddress> addresses;
};

// The addresses of name; nothing on a failed lookup. Throws NetError with
// the reason when the deadline passes or shutdown cancels the wait.
std::vector<Poco::Net::IPAddress> resolve(const std::string& name, Clock::time_point deadline, const QString& where,
                                          int connectMs, const Interrupter* interrupter, const QString& host)
{
    auto lookup = std::make_shared<Lookup>();
    std::thread([lookup, name] {
        std::vector<Poco::Net::IPAddress> found;
        bool failed = false;
        try {
            found = Poco::Net::DNS::hostByName(name).addresses();
        } catch (const Poco::Exception&) {
            failed = true;
        }
        std::lock_guard lock(lookup->mutex);
        lookup->addresses = std::move(found);
        lookup->failed = failed;
        lookup->finished = true;
        lookup->done.notify_all();
    }).detach();
    std::unique_lock lock(lookup->mutex);
    while (!lookup->finished) {
        throwIfCancelled();
        throwIfInterrupted(interrupter, host);
        if (Clock::now() >= deadline)
            throw NetError(QStringLiteral("Kan ikke koble til %1: fikk ikke svar på %2")
                               .arg(where, durationText(connectMs)));
        lookup->done.wait_until(lock, std::min(deadline, Clock::now() + std::chrono::milliseconds(100)));
    }
    if (lookup->failed)
        return {};
    return lookup->addresses;
}

// Connects socket to address before the deadline, in short waits so that
// shutdown can end it. Throws Poco's exception for a failed connect.
void connectBefore(Poco::Net::StreamSocket& socket, const Poco::Net::SocketAddress& address,
                   Clock::time_point deadline, const Interrupter* interrupter, const QString& host)
{
    socket.connectNB(address);
    for (;;) {
        throwIfCancelled();
        throwIfInterrupted(interrupter, host);
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            throw Poco::TimeoutException();
        const Poco::Timespan wait(std::min<Poco::Timespan::TimeDiff>(left.count(), 100000));
        if (socket.poll(wait, Poco::Net::Socket::SELECT_WRITE | Poco::Net::Socket::SELECT_ERROR))
            break;
    }
    const int error = socket.impl()->socketError();
    if (error != 0)
        throw Poco::IOException(std::strerror(error), error);
    socket.setBlocking(true);
}

} // namespace

std::unique_ptr<Poco::Net::StreamSocket> connectSocket(const QString& host, std::uint16_t port,
                                                       const Timeouts& timeouts, const Interrupter* interrupter)
{
    throwIfInterrupted(interrupter, host);
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeouts.connectMs);
    const QString where = hostPortText(host, port);
    const std::string name = host.toStdString();
    std::vector<Poco::Net::IPAddress> addresses;
    Poco::Net::IPAddress literal;
    if (Poco::Net::IPAddress::tryParse(name, literal))
        addresses.push_back(literal);
    else
        addresses = resolve(name, deadline, where, timeouts.connectMs, interrupter, host);
    // Unknown name, no address for it, or no answer from the resolver.
    if (addresses.empty())
        throw NetError(QStringLiteral("Kan ikke koble til %1: fant ikke serveren").arg(where));

    QString reason;
    for (const Poco::Net::IPAddress& address : addresses) {
        auto socket = std::make_unique<Poco::Net::StreamSocket>(address.family());
        try {
            connectBefore(*socket, Poco::Net::SocketAddress(address, port), deadline, interrupter, host);
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
