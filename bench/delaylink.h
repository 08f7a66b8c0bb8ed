// A slow network at the packet level for machines without the kernel's
// netem: two network namespaces of their own, each with a point-to-point
// TUN device, and a thread here that carries every IP packet from one to
// the other after a fixed delay, in both directions. The TCP handshake,
// every segment and every acknowledgement wait as on a real link, which a
// relay of the byte stream cannot show. Order is kept; nothing is lost or
// throttled. Needs root (namespaces and TUN devices).
#pragma once

#include <chrono>
#include <memory>
#include <string>

namespace bench {

class DelayLink {
public:
    // Why the link cannot be set up here; empty when it can.
    static std::string problem();

    // Creates the namespaces "brevglimt-bench-<pid>-client" and
    // "-server", the devices and their addresses, and starts carrying.
    // Throws std::runtime_error with what failed.
    explicit DelayLink(std::chrono::microseconds oneWayDelay);
    ~DelayLink(); // stop()
    DelayLink(const DelayLink&) = delete;
    DelayLink& operator=(const DelayLink&) = delete;

    // Ends the thread and removes both namespaces. Idempotent.
    void stop();

    // Moves the calling thread into the client namespace; threads and
    // processes it starts afterwards are there too. Throws on failure.
    void enterClientSide() const;
    // The server namespace's handle, for setns() in a child process.
    std::string serverNamespacePath() const;
    static const char* clientAddress() { return "10.213.0.1"; }
    static const char* serverAddress() { return "10.213.0.2"; }

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace bench
