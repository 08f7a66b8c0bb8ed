#include "delayproxy.h"

#include "scriptedserver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

using testsupport::closeFd;

void setNoDelay(int fd)
{
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// What one read returned, to be passed on at `due`; eof stands for the
// sender's end of stream, passed on as a half-close.
struct Chunk {
    Clock::time_point due;
    std::string data;
    bool eof = false;
};

// One way through a relayed connection. The descriptors belong to the Link.
struct Direction {
    int from = -1;
    int to = -1;
    std::deque<Chunk> queue;
    std::size_t offset = 0; // bytes of queue.front() already written
    bool readEnded = false; // the sender closed its side
    bool writeEnded = false; // and that has been passed on
    bool blocked = false; // `to` took no more; wait until it is writable

    // Writes every chunk that is due. False when the receiver is gone.
    bool flush(Clock::time_point now)
    {
        blocked = false;
        while (!queue.empty() && queue.front().due <= now) {
            Chunk& c = queue.front();
            if (c.eof) {
                ::shutdown(to, SHUT_WR);
                writeEnded = true;
                queue.pop_front();
                continue;
            }
            const ssize_t n = ::send(to, c.data.data() + offset, c.data.size() - offset, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                offset += std::size_t(n);
                if (offset == c.data.size()) {
                    queue.pop_front();
                    offset = 0;
                }
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                blocked = true;
                return true;
            }
            return false;
        }
        return true;
    }

    // Takes what the sender has and queues it. False on a broken connection.
    bool read(Clock::time_point due, std::vector<char>& buffer)
    {
        const ssize_t n = ::recv(from, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n > 0) {
            queue.push_back({due, std::string(buffer.data(), std::size_t(n)), false});
            return true;
        }
        if (n == 0) {
            readEnded = true;
            queue.push_back({due, {}, true});
            return true;
        }
        return errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK;
    }

    // The moment this direction next needs attention without socket events.
    std::optional<Clock::time_point> nextDue() const
    {
        if (queue.empty() || blocked)
            return std::nullopt;
        return queue.front().due;
    }

    short pollFrom() const { return readEnded ? 0 : POLLIN; }
    short pollTo() const { return blocked ? POLLOUT : 0; }
};

struct Link {
    Link(int clientFd, int upstreamFd)
        : client(clientFd)
        , upstream(upstreamFd)
    {
        up.from = client;
        up.to = upstream;
        down.from = upstream;
        down.to = client;
    }
    ~Link()
    {
        closeFd(client);
        closeFd(upstream);
    }
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    int client;
    int upstream;
    Direction up; // client to target
    Direction down; // target to client
    bool broken = false;

    bool finished() const { return broken || (up.writeEnded && down.writeEnded); }
};

} // namespace

struct DelayProxy::Impl {
    sockaddr_storage target{};
    socklen_t targetLen = 0;
    Clock::duration delay{};
    int listenFd = -1;
    std::uint16_t port = 0;
    testsupport::WakeUp wake;
    std::thread thread;

    std::vector<std::unique_ptr<Link>> links;
    std::vector<char> buffer = std::vector<char>(64 * 1024);

    void acceptOne()
    {
        int client = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (client < 0)
            return;
        int upstream = ::socket(target.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        // Connecting on the loopback address does not keep the loop waiting.
        if (upstream < 0 || ::connect(upstream, reinterpret_cast<const sockaddr*>(&target), targetLen) < 0) {
            closeFd(upstream);
            closeFd(client);
            return;
        }
        ::fcntl(upstream, F_SETFL, ::fcntl(upstream, F_GETFL) | O_NONBLOCK);
        setNoDelay(client);
        setNoDelay(upstream);
        links.push_back(std::make_unique<Link>(client, upstream));
    }

    void run()
    {
        std::vector<pollfd> fds;
        for (;;) {
            Clock::time_point now = Clock::now();
            for (auto& link : links) {
                if (!link->up.flush(now) || !link->down.flush(now))
                    link->broken = true;
            }
            std::erase_if(links, [](const std::unique_ptr<Link>& l) { return l->finished(); });

            std::optional<Clock::time_point> wakeAt;
            auto earliest = [&](std::optional<Clock::time_point> t) {
                if (t && (!wakeAt || *t < *wakeAt))
                    wakeAt = t;
            };
            fds.assign({{wake.fd(), POLLIN, 0}, {listenFd, POLLIN, 0}});
            for (auto& link : links) {
                // A socket nothing is wanted from stays out: a hung-up one
                // would otherwise wake the loop without pause.
                const short clientEvents = short(link->up.pollFrom() | link->down.pollTo());
                const short upstreamEvents = short(link->down.pollFrom() | link->up.pollTo());
                fds.push_back({clientEvents ? link->client : -1, clientEvents, 0});
                fds.push_back({upstreamEvents ? link->upstream : -1, upstreamEvents, 0});
                earliest(link->up.nextDue());
                earliest(link->down.nextDue());
            }

            timespec wait{};
            timespec* timeout = nullptr;
            if (wakeAt) {
                const auto left = std::max(Clock::duration::zero(), *wakeAt - now);
                const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
                wait.tv_sec = time_t(ns / 1000000000);
                wait.tv_nsec = long(ns % 1000000000);
                timeout = &wait;
            }
            const int rc = ::ppoll(fds.data(), nfds_t(fds.size()), timeout, nullptr);
            if (rc < 0 && errno != EINTR)
                break;
            if (rc <= 0)
                continue;
            if (fds[0].revents)
                break;

            // Everything read now is due one delay after its arrival.
            now = Clock::now();
            const Clock::time_point due = now + delay;
            for (std::size_t i = 0; i < links.size(); ++i) {
                Link& link = *links[i];
                const pollfd& c = fds[2 + 2 * i];
                const pollfd& u = fds[2 + 2 * i + 1];
                if ((c.revents | u.revents) & POLLERR) {
                    link.broken = true;
                    continue;
                }
                if ((c.revents & (POLLIN | POLLHUP)) && !link.up.readEnded && !link.up.read(due, buffer))
                    link.broken = true;
                if ((u.revents & (POLLIN | POLLHUP)) && !link.down.readEnded && !link.down.read(due, buffer))
                    link.broken = true;
            }
            if (fds[1].revents & POLLIN)
                acceptOne();
        }
        links.clear();
    }
};

DelayProxy::DelayProxy(const std::string& targetHost, std::uint16_t targetPort, std::chrono::microseconds oneWayDelay)
    : d(std::make_unique<Impl>())
{
    d->delay = std::chrono::duration_cast<Clock::duration>(oneWayDelay);
    auto* v4 = reinterpret_cast<sockaddr_in*>(&d->target);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&d->target);
    if (::inet_pton(AF_INET, targetHost.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(targetPort);
        d->targetLen = sizeof *v4;
    } else if (::inet_pton(AF_INET6, targetHost.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(targetPort);
        d->targetLen = sizeof *v6;
    } else {
        throw std::runtime_error("delay proxy: not an address: " + targetHost);
    }

    try {
        d->listenFd = testsupport::listenOnLoopback(false, 0, 16, d->port);
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(std::string("delay proxy: ") + e.what());
    }
    d->thread = std::thread([this] { d->run(); });
}

DelayProxy::~DelayProxy()
{
    stop();
}

void DelayProxy::stop()
{
    d->wake.raise();
    if (d->thread.joinable())
        d->thread.join();
    closeFd(d->listenFd);
}

std::uint16_t DelayProxy::port() const
{
    return d->port;
}

} // namespace bench
