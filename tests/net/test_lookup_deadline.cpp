// A name server that never answers: the connection attempt, host lookup
// included, still ends at the connect time-out, for every client, and at
// once on shutdown.
//
// The program enters a network and mount namespace of its own before any
// test runs (a user namespace too when not root): only the loopback, a name
// server on 127.0.0.1:53 that takes queries and never answers, and a
// resolv.conf naming it with long resolver time-outs. Where namespaces are
// not allowed the tests are skipped.
#include "connect.h"
#include "ftpclient.h"
#include "linechannel.h"
#include "pop3client.h"
#include "smtpclient.h"
#include "termination.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

namespace {

std::string g_skipReason;
int g_silentNameServer = -1;

std::string lastError(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

bool writeFile(const std::string& path, const std::string& text)
{
    std::ofstream out(path);
    out << text;
    return bool(out.flush());
}

// Maps root in a new user namespace to the caller, so an unprivileged user
// may make the other namespaces.
bool mapToRoot(uid_t uid, gid_t gid)
{
    return writeFile("/proc/self/setgroups", "deny")
        && writeFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1\n")
        && writeFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1\n");
}

bool loopbackUp(std::string& why)
{
    const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request{};
    std::strcpy(request.ifr_name, "lo");
    bool ok = s >= 0 && ::ioctl(s, SIOCGIFFLAGS, &request) == 0;
    if (ok) {
        request.ifr_flags |= IFF_UP;
        ok = ::ioctl(s, SIOCSIFFLAGS, &request) == 0;
    }
    if (!ok)
        why = lastError("loopback");
    if (s >= 0)
        ::close(s);
    return ok;
}

// A UDP socket on 127.0.0.1:53 that is never read: queries are taken and
// never answered (without it the resolver would learn at once that nobody
// listens).
bool silentNameServer(std::string& why)
{
    g_silentNameServer = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(53);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (g_silentNameServer < 0
        || ::bind(g_silentNameServer, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        why = lastError("name server socket");
        return false;
    }
    return true;
}

// Puts text over the system file at target, for this mount namespace only.
bool overlay(const std::string& folder, const char* target, const std::string& text, std::string& why)
{
    const std::string source = folder + '/' + (std::strrchr(target, '/') + 1);
    if (!writeFile(source, text) || ::mount(source.c_str(), target, nullptr, MS_BIND, nullptr) != 0) {
        why = lastError(target);
        return false;
    }
    return true;
}

bool enterNamespaces(std::string& why)
{
    const uid_t uid = ::getuid();
    const gid_t gid = ::getgid();
    bool entered = ::geteuid() == 0 && ::unshare(CLONE_NEWNS | CLONE_NEWNET) == 0;
    if (!entered)
        entered = ::unshare(CLONE_NEWUSER | CLONE_NEWNS | CLONE_NEWNET) == 0 && mapToRoot(uid, gid);
    if (!entered) {
        why = lastError("namespaces");
        return false;
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        why = lastError("private mounts");
        return false;
    }
    char folder[] = "/tmp/brevglimt-resolver-XXXXXX";
    if (!::mkdtemp(folder)) {
        why = lastError("temporary folder");
        return false;
    }
    // The resolver would give up by itself only after minutes.
    const bool ready = loopbackUp(why) && silentNameServer(why)
        && overlay(folder, "/etc/resolv.conf", "nameserver 127.0.0.1\noptions timeout:30 attempts:5\n", why)
        && overlay(folder, "/etc/nsswitch.conf", "hosts: files dns\n", why);
    // The mounts keep the files; their names can go.
    for (const char* name : {"/resolv.conf", "/nsswitch.conf"})
        ::unlink((std::string(folder) + name).c_str());
    ::rmdir(folder);
    return ready;
}

// The name no file knows, so only the silent name server could answer.
const QString kName = QStringLiteral("treg.brevglimt.example");

std::optional<QString> netError(const std::function<void()>& attempt)
{
    try {
        attempt();
    } catch (const net::NetError& e) {
        return e.text();
    }
    return std::nullopt;
}

class LookupDeadline : public testing::Test {
protected:
    void SetUp() override
    {
        if (!g_skipReason.empty())
            GTEST_SKIP() << "no private network namespace here: " << g_skipReason;
    }
    void TearDown() override { rt::clearCancel(); }
};

// A client's whole connect (log-in included) to the name.
template <class Client>
void connectTo(std::uint16_t port, const net::Timeouts& timeouts)
{
    Client c;
    c.host = kName;
    c.port = port;
    c.user = QStringLiteral("ola");
    c.password = QStringLiteral("hemmelig");
    c.timeouts = timeouts;
    c.connect();
}

TEST_F(LookupDeadline, EndsTheAttemptAtTheConnectTimeOutForEveryClient)
{
    const net::Timeouts timeouts{1000, 1000};
    const struct {
        const char* name;
        std::uint16_t port;
        std::function<void()> attempt;
    } cases[] = {
        {"connection", 110, [&] { net::connectSocket(kName, 110, timeouts); }},
        {"POP3", 110, [&] { connectTo<net::Pop3Client>(110, timeouts); }},
        {"SMTP", 587, [&] { connectTo<net::SmtpClient>(587, timeouts); }},
        {"FTP", 21, [&] { connectTo<net::FtpClient>(21, timeouts); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::optional<QString> error = netError(c.attempt);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->toStdString(),
                  QStringLiteral("Kan ikke koble til %1:%2: fikk ikke svar på 1 sekund").arg(kName).arg(c.port).toStdString());
    }
}

TEST_F(LookupDeadline, ShutdownEndsTheWaitAtOnce)
{
    std::thread shutdown([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        rt::requestCancel();
    });
    const std::optional<QString> error = netError([] { net::connectSocket(kName, 110, {20000, 20000}); });
    shutdown.join();
    ASSERT_TRUE(error);
    EXPECT_EQ(*error, net::cancelledText());
}

} // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    // Before any thread starts: a user namespace cannot be entered later.
    if (!enterNamespaces(g_skipReason) && g_skipReason.empty())
        g_skipReason = "unknown";
    return RUN_ALL_TESTS();
}
