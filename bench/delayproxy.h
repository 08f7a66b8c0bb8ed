// A TCP relay on the loopback address that holds back every chunk it passes,
// in both directions, for a fixed time: a slow network's latency without
// its bandwidth limit. Order is kept and nothing is throttled; all
// connections are served by one thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace bench {

class DelayProxy {
public:
    // Listens on 127.0.0.1 at a port of the system's choosing and forwards
    // each connection to targetHost (an IPv4 or IPv6 literal) : targetPort.
    // Throws std::runtime_error when it cannot listen.
    DelayProxy(const std::string& targetHost, std::uint16_t targetPort, std::chrono::microseconds oneWayDelay);
    ~DelayProxy(); // stop()
    DelayProxy(const DelayProxy&) = delete;
    DelayProxy& operator=(const DelayProxy&) = delete;

    // Closes the listener and every relayed connection, data still held
    // back included, and joins the thread. Idempotent.
    void stop();

    std::uint16_t port() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace bench
