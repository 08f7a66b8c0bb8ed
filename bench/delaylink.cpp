#include "delaylink.h"

#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <thread>

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kDevice = "bgdelay";

// Runs a shell command from /, its output (standard error included) in
// output. The bench may have removed the folder it runs in by then.
bool run(const std::string& command, std::string* output = nullptr)
{
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return false;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(out[1], STDERR_FILENO);
        if (::chdir("/") != 0)
            ::_exit(127);
        ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    std::string text;
    char buf[512];
    for (;;) {
        const ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n > 0)
            text.append(buf, std::size_t(n));
        else if (n == 0 || errno != EINTR)
            break;
    }
    ::close(out[0]);
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid)
        return false;
    if (output)
        *output = text;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void enterNamespace(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
    const int rc = ::setns(fd, CLONE_NEWNET);
    const int err = errno;
    ::close(fd);
    if (rc != 0)
        throw std::runtime_error("setns " + path + ": " + std::strerror(err));
}

// A TUN device named kDevice in the namespace at path, opened non-blocking.
// Done on a thread of its own so the caller's namespace stays as it is.
int openTunIn(const std::string& path)
{
    int fd = -1;
    std::string failure;
    std::thread([&] {
        try {
            enterNamespace(path);
        } catch (const std::exception& e) {
            failure = e.what();
            return;
        }
        fd = ::open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            failure = std::string("/dev/net/tun: ") + std::strerror(errno);
            return;
        }
        ifreq req{};
        req.ifr_flags = IFF_TUN | IFF_NO_PI;
        std::strncpy(req.ifr_name, kDevice, IFNAMSIZ - 1);
        if (::ioctl(fd, TUNSETIFF, &req) != 0) {
            failure = std::string("TUNSETIFF: ") + std::strerror(errno);
            ::close(fd);
            fd = -1;
        }
    }).join();
    if (fd < 0)
        throw std::runtime_error(failure);
    return fd;
}

struct Packet {
    Clock::time_point due;
    std::string data;
};

// Packets read from one device, waiting to be written to the other.
struct Direction {
    int from = -1;
    int to = -1;
    std::deque<Packet> queue;

    void readAll(Clock::time_point due)
    {
        char buf[65536];
        for (;;) {
            const ssize_t n = ::read(from, buf, sizeof buf);
            if (n <= 0)
                return; // EAGAIN: all read
            queue.push_back({due, std::string(buf, std::size_t(n))});
        }
    }

    void writeDue(Clock::time_point now)
    {
        while (!queue.empty() && queue.front().due <= now) {
            const std::string& p = queue.front().data;
            if (::write(to, p.data(), p.size()) < 0 && errno == EAGAIN)
                return; // the next round tries again
            queue.pop_front();
        }
    }
};

} // namespace

struct DelayLink::Impl {
    std::chrono::microseconds delay{};
    std::string client;
    std::string server;
    bool namespacesMade = false;
    int tunClient = -1;
    int tunServer = -1;
    int wake = -1;
    std::thread thread;

    std::string path(const std::string& name) const { return "/run/netns/" + name; }

    void carry()
    {
        Direction up{tunClient, tunServer, {}};
        Direction down{tunServer, tunClient, {}};
        for (;;) {
            const auto now = Clock::now();
            up.writeDue(now);
            down.writeDue(now);
            timespec wait{};
            timespec* timeout = nullptr;
            Clock::time_point next = Clock::time_point::max();
            for (const Direction* d : {&up, &down}) {
                if (!d->queue.empty())
                    next = std::min(next, d->queue.front().due);
            }
            if (next != Clock::time_point::max()) {
                const auto ns = std::max<long long>(
                    0, std::chrono::duration_cast<std::chrono::nanoseconds>(next - Clock::now()).count());
                wait.tv_sec = time_t(ns / 1000000000);
                wait.tv_nsec = long(ns % 1000000000);
                timeout = &wait;
            }
            pollfd fds[3] = {{tunClient, POLLIN, 0}, {tunServer, POLLIN, 0}, {this->wake, POLLIN, 0}};
            if (::ppoll(fds, 3, timeout, nullptr) < 0 && errno != EINTR)
                return;
            if (fds[2].revents)
                return;
            const auto due = Clock::now() + delay;
            if (fds[0].revents & POLLIN)
                up.readAll(due);
            if (fds[1].revents & POLLIN)
                down.readAll(due);
        }
    }
};

std::string DelayLink::problem()
{
    if (::geteuid() != 0)
        return "needs root (network namespaces and TUN devices)";
    const int fd = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return std::string("/dev/net/tun: ") + std::strerror(errno);
    ::close(fd);
    const std::string name = "brevglimt-probe-" + std::to_string(::getpid());
    std::string output;
    if (!run("ip netns add " + name, &output))
        return "ip netns add: " + output;
    run("ip netns del " + name);
    return {};
}

DelayLink::DelayLink(std::chrono::microseconds oneWayDelay)
    : d(std::make_unique<Impl>())
{
    d->delay = oneWayDelay;
    const std::string stem = "brevglimt-bench-" + std::to_string(::getpid());
    d->client = stem + "-client";
    d->server = stem + "-server";
    try {
        std::string output;
        d->namespacesMade = true; // stop() removes whichever was made
        for (const std::string& ns : {d->client, d->server}) {
            if (!run("ip netns add " + ns, &output))
                throw std::runtime_error("ip netns add " + ns + ": " + output);
        }
        d->tunClient = openTunIn(d->path(d->client));
        d->tunServer = openTunIn(d->path(d->server));
        const struct {
            const std::string& ns;
            const char* local;
            const char* peer;
        } sides[] = {{d->client, clientAddress(), serverAddress()}, {d->server, serverAddress(), clientAddress()}};
        for (const auto& s : sides) {
            const std::string ip = "ip -n " + s.ns + " ";
            for (const std::string& command :
                 {ip + "link set lo up", ip + "addr add " + s.local + " peer " + s.peer + " dev " + kDevice,
                  ip + "link set " + kDevice + " up"}) {
                if (!run(command, &output))
                    throw std::runtime_error(command + ": " + output);
            }
        }
        d->wake = ::eventfd(0, EFD_CLOEXEC);
        if (d->wake < 0)
            throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
        Impl* impl = d.get();
        d->thread = std::thread([impl] { impl->carry(); });
    } catch (...) {
        stop();
        throw;
    }
}

DelayLink::~DelayLink()
{
    stop();
}

void DelayLink::stop()
{
    if (d->thread.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(d->wake, &one, sizeof one);
        d->thread.join();
    }
    for (int* fd : {&d->tunClient, &d->tunServer, &d->wake}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
    if (d->namespacesMade) {
        d->namespacesMade = false;
        run("ip netns del " + d->client);
        run("ip netns del " + d->server);
    }
}

void DelayLink::enterClientSide() const
{
    enterNamespace(d->path(d->client));
}

std::string DelayLink::serverNamespacePath() const
{
    return d->path(d->server);
}

} // namespace bench
