// A server name as the user writes it, with an optional port.
#pragma once

#include <QString>
#include <cstdint>

namespace net {

struct HostPort {
    QString host;
    std::uint16_t port = 0;
};

// "host", "host:port", "[v6]" or "[v6]:port"; a bare IPv6 address (more than
// one colon) has no port. Without a valid port (1-65535) after the host the
// default is used and the text stays the host as written.
HostPort splitHostPort(const QString& text, std::uint16_t defaultPort);

// The host to connect to: "[v6]" without its brackets, anything else as it is.
QString bareHost(const QString& host);

} // namespace net
