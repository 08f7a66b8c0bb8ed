// Opening a TCP connection the way every protocol client here does it.
#pragma once

#include "neterror.h"

#include <Poco/Net/StreamSocket.h>

#include <QString>
#include <cstdint>
#include <memory>

namespace net {

// "host:port", an IPv6 address in brackets.
QString hostPortText(const QString& host, std::uint16_t port);
// A time limit as the error texts say it: "1 sekund", "60 sekunder", "300 millisekunder".
QString durationText(int ms);
// Resolves the host and connects to the first of its addresses that answers
// within the connect time-out; reads and writes then wait at most the reply
// time-out. Throws NetError "Kan ikke koble til host:port: reason".
std::unique_ptr<Poco::Net::StreamSocket> connectSocket(const QString& host, std::uint16_t port,
                                                       const Timeouts& timeouts);

} // namespace net
