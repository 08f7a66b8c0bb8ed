// Opening a TCP connection the way every protocol client here does it.
#pragma once

#include "interrupter.h"
#include "neterror.h"

#include <Poco/Exception.h>
#include <Poco/Net/StreamSocket.h>

#include <QString>
#include <cstdint>
#include <memory>

namespace net {

// True when host names the machine itself: "localhost", an IPv4 address in
// 127.0.0.0/8 or ::1 (brackets and case ignored). Decided from the text
// alone, without a name lookup, so a name that only resolves to a loopback
// address does not count. A password may go unencrypted only to such a host.
bool isLoopbackHost(const QString& host);

// "host:port", an IPv6 address in brackets.
QString hostPortText(const QString& host, std::uint16_t port);
// A time limit as the error texts say it: "1 sekund", "60 sekunder", "300 millisekunder".
QString durationText(int ms);
// Why a connection attempt failed, in Norwegian: "tilkoblingen ble avvist",
// "fikk ikke svar på 30 sekunder", ...
QString connectFailureReason(const Poco::Exception& e, int connectMs);
// Resolves the host and connects to the first of its addresses that answers,
// lookup and connect together within the connect time-out (the lookup runs
// on a helper thread, which is left to finish on its own when it is late);
// reads and writes then wait at most the reply time-out. Shutdown
// (rt::cancelRequested()) ends the wait at once, and so does interrupter
// when given ("Ventingen på <host> ble avbrutt"). Throws NetError
// "Kan ikke koble til host:port: reason", as
// "Kan ikke koble til pop.example.no:110: tilkoblingen ble avvist".
std::unique_ptr<Poco::Net::StreamSocket> connectSocket(const QString& host, std::uint16_t port,
                                                       const Timeouts& timeouts,
                                                       const Interrupter* interrupter = nullptr);

} // namespace net
