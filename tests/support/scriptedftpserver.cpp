#include "scriptedftpserver.h"

#include "scriptbook.h"
#include "scriptedserver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

namespace testsupport {

namespace {

// How long a session waits for the client's data connection.
constexpr int kAcceptTimeoutMs = 10000;

// A non-blocking listening socket on 127.0.0.1 at a port the system chooses.
int listenData(std::uint16_t& port)
{
    try {
        const int fd = listenOnLoopback(false, 0, 4, port);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        return fd;
    } catch (const std::runtime_error&) {
        return -1;
    }
}

} // namespace

struct ScriptedFtpServer::Impl {
    mutable std::mutex mutex;
    QByteArray user = "ola";
    QByteArray password = "hemmelig";
    std::map<QByteArray, QByteArray> files;
    std::map<QByteArray, QByteArray> replies;
    std::map<QByteArray, int> delays;
    std::map<QByteArray, int> trickles;
    QByteArray passiveHost = "127,0,0,1";
    qint64 pauseAfter = -1;
    int pauseMs = 0;
    qint64 cutAfter = -1;
    QByteArray cutReply;
    Transcript transcript;

    std::unique_ptr<ServerLoop> loop;

    class Session;

    // Waits until fd is ready for events or stop() is called; false on stop,
    // error or time-out (ms < 0: no limit).
    bool wait(int fd, short events, int ms) const { return loop->wake().wait(fd, events, ms) > 0; }

    // Stands still for ms, or until stop() is called; false on stop.
    bool pause(int ms) const { return loop->wake().sleep(ms); }

    bool sendAll(int fd, const char* data, qint64 size) const { return testsupport::sendAll(fd, data, size, loop->wake()); }
};

class ScriptedFtpServer::Impl::Session {
public:
    Session(Impl& server, int fd)
        : s(server)
        , conn(fd, server.loop->wake())
    {
    }
    ~Session() { closeFd(dataListen); }

    void run()
    {
        currentVerb = "GREETING";
        if (!delay(currentVerb) || !reply(scriptedReply(currentVerb).value_or("220 Skriptet FTP-tjener klar.")))
            return;
        QByteArray line;
        while (conn.readLine(line)) {
            if (!handle(line))
                return;
        }
    }

private:
    Impl& s;
    ServedConnection conn;
    int dataListen = -1;
    QByteArray user;
    bool loggedIn = false;
    QByteArray currentVerb; // of the command being answered

    std::optional<QByteArray> scriptedReply(const QByteArray& verb) const
    {
        std::lock_guard lock(s.mutex);
        const auto it = s.replies.find(verb);
        if (it == s.replies.end())
            return std::nullopt;
        return it->second;
    }

    // Waits as delayReply() asked for this verb; false on stop.
    bool delay(const QByteArray& verb) const
    {
        int ms = 0;
        {
            std::lock_guard lock(s.mutex);
            const auto it = s.delays.find(verb);
            if (it != s.delays.end())
                ms = it->second;
        }
        return ms <= 0 || s.pause(ms);
    }

    // Where a data transfer stands still, and for how long.
    std::pair<qint64, int> transferPause() const
    {
        std::lock_guard lock(s.mutex);
        return {s.pauseAfter, s.pauseMs};
    }

    bool reply(const QByteArray& line)
    {
        int msPerByte = 0;
        {
            std::lock_guard lock(s.mutex);
            const auto it = s.trickles.find(currentVerb);
            if (it != s.trickles.end())
                msPerByte = it->second;
        }
        return msPerByte > 0 ? conn.sendTrickled(line + "\r\n", msPerByte) : conn.send(line + "\r\n");
    }

    bool openPassive(std::uint16_t& port)
    {
        closeFd(dataListen);
        dataListen = listenData(port);
        if (dataListen >= 0 && transferPause().first >= 0) {
            // A small receive window that does not grow, so a paused upload
            // stalls the sender soon instead of filling large buffers.
            const int size = 64 * 1024;
            ::setsockopt(dataListen, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        }
        return dataListen >= 0;
    }

    int acceptData()
    {
        if (dataListen < 0 || !s.wait(dataListen, POLLIN, kAcceptTimeoutMs))
            return -1;
        int data = ::accept4(dataListen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        closeFd(dataListen);
        return data;
    }

    bool handle(const QByteArray& line)
    {
        const int space = line.indexOf(' ');
        const QByteArray verb = (space < 0 ? line : line.left(space)).toUpper();
        currentVerb = verb;
        const QByteArray arg = space < 0 ? QByteArray() : line.mid(space + 1);
        s.transcript.add(verb == "PASS" ? QByteArray("PASS ***") : line, true);
        if (!delay(verb))
            return false;
        if (const std::optional<QByteArray> scripted = scriptedReply(verb)) {
            const bool ok = reply(*scripted);
            return ok && verb != "QUIT";
        }

        if (verb == "QUIT") {
            reply("221 Ha det.");
            return false;
        }
        if (verb == "USER") {
            user = arg;
            loggedIn = false;
            return reply("331 Passord, takk.");
        }
        if (verb == "PASS") {
            bool ok = false;
            {
                std::lock_guard lock(s.mutex);
                ok = user == s.user && arg == s.password;
            }
            loggedIn = ok;
            return reply(ok ? "230 Logget inn." : "530 Innlogging feilet.");
        }
        if (verb == "NOOP")
            return reply("200 OK.");
        if (!loggedIn)
            return reply("530 Ikke logget inn.");
        if (verb == "TYPE")
            return reply("200 Type satt til " + arg + '.');
        if (verb == "SIZE") {
            std::optional<qint64> size;
            {
                std::lock_guard lock(s.mutex);
                const auto it = s.files.find(arg);
                if (it != s.files.end())
                    size = it->second.size();
            }
            return reply(size ? "213 " + QByteArray::number(*size) : QByteArray("550 Finnes ikke."));
        }
        if (verb == "EPSV") {
            std::uint16_t port = 0;
            if (!openPassive(port))
                return reply("425 Kan ikke lytte.");
            return reply("229 Entering Extended Passive Mode (|||" + QByteArray::number(port) + "|)");
        }
        if (verb == "PASV") {
            std::uint16_t port = 0;
            if (!openPassive(port))
                return reply("425 Kan ikke lytte.");
            QByteArray host;
            {
                std::lock_guard lock(s.mutex);
                host = s.passiveHost;
            }
            return reply("227 Entering Passive Mode (" + host + ',' + QByteArray::number(port / 256) + ','
                         + QByteArray::number(port % 256) + ").");
        }
        if (verb == "RETR")
            return retrieve(arg);
        if (verb == "STOR")
            return store(arg);
        return reply("502 Ukjent kommando.");
    }

    // The reply after a data connection has been cut; false ends the session.
    bool afterCut()
    {
        QByteArray text;
        {
            std::lock_guard lock(s.mutex);
            text = s.cutReply;
        }
        if (text.isEmpty())
            return false;
        return reply(text);
    }

    qint64 cutAfter() const
    {
        std::lock_guard lock(s.mutex);
        return s.cutAfter;
    }

    bool retrieve(const QByteArray& path)
    {
        QByteArray content;
        bool found = false;
        {
            std::lock_guard lock(s.mutex);
            const auto it = s.files.find(path);
            if (it != s.files.end()) {
                content = it->second;
                found = true;
            }
        }
        if (dataListen < 0)
            return reply("425 Bruk PASV eller EPSV først.");
        if (!found) {
            closeFd(dataListen);
            return reply("550 Finnes ikke.");
        }
        if (!reply("150 Åpner dataforbindelse."))
            return false;
        int data = acceptData();
        if (data < 0)
            return reply("425 Ingen dataforbindelse.");
        const qint64 cut = cutAfter();
        const qint64 toSend = cut >= 0 ? std::min<qint64>(cut, content.size()) : content.size();
        const auto [pauseAt, pauseMs] = transferPause();
        const qint64 first = pauseAt >= 0 ? std::min(pauseAt, toSend) : toSend;
        bool sent = s.sendAll(data, content.constData(), first);
        if (sent && first < toSend)
            sent = s.pause(pauseMs) && s.sendAll(data, content.constData() + first, toSend - first);
        closeFd(data);
        if (cut >= 0)
            return afterCut();
        return reply(sent ? "226 Overføring fullført." : "426 Overføringen ble avbrutt.");
    }

    bool store(const QByteArray& path)
    {
        if (dataListen < 0)
            return reply("425 Bruk PASV eller EPSV først.");
        if (!reply("150 Åpner dataforbindelse."))
            return false;
        int data = acceptData();
        if (data < 0)
            return reply("425 Ingen dataforbindelse.");
        const qint64 cut = cutAfter();
        auto [pauseAt, pauseMs] = transferPause();
        QByteArray content;
        bool complete = false;
        for (;;) {
            if (cut >= 0 && content.size() >= cut)
                break;
            if (pauseAt >= 0 && content.size() >= pauseAt) {
                if (!s.pause(pauseMs))
                    break;
                pauseAt = -1;
            }
            if (!s.wait(data, POLLIN, kAcceptTimeoutMs))
                break;
            char chunk[65536];
            qint64 want = cut >= 0 ? std::min<qint64>(qint64(sizeof chunk), cut - content.size())
                                   : qint64(sizeof chunk);
            if (pauseAt >= 0)
                want = std::min<qint64>(want, pauseAt - content.size());
            const ssize_t n = ::recv(data, chunk, std::size_t(want), 0);
            if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
                continue;
            if (n == 0) {
                complete = true;
                break;
            }
            if (n < 0)
                break;
            content.append(chunk, n);
        }
        if (cut >= 0) {
            // Reset rather than a clean end, as a dying server would.
            const linger hard{1, 0};
            ::setsockopt(data, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        }
        closeFd(data);
        {
            std::lock_guard lock(s.mutex);
            s.files[path] = content;
        }
        if (cut >= 0)
            return afterCut();
        return reply(complete ? "226 Overføring fullført." : "426 Overføringen ble avbrutt.");
    }
};

ScriptedFtpServer::ScriptedFtpServer()
    : d(std::make_unique<Impl>())
{
    d->loop = std::make_unique<ServerLoop>(false, 0, 4);
    Impl* impl = d.get();
    d->loop->start([impl](int fd) { Impl::Session(*impl, fd).run(); });
}

ScriptedFtpServer::~ScriptedFtpServer()
{
    stop();
}

void ScriptedFtpServer::stop()
{
    d->loop->stop();
}

std::uint16_t ScriptedFtpServer::port() const
{
    return d->loop->port();
}

void ScriptedFtpServer::setCredentials(const QByteArray& user, const QByteArray& password)
{
    std::lock_guard lock(d->mutex);
    d->user = user;
    d->password = password;
}

void ScriptedFtpServer::setFile(const QByteArray& path, const QByteArray& content)
{
    std::lock_guard lock(d->mutex);
    d->files[path] = content;
}

std::optional<QByteArray> ScriptedFtpServer::file(const QByteArray& path) const
{
    std::lock_guard lock(d->mutex);
    const auto it = d->files.find(path);
    if (it == d->files.end())
        return std::nullopt;
    return it->second;
}

void ScriptedFtpServer::setReply(const QByteArray& verb, const QByteArray& line)
{
    std::lock_guard lock(d->mutex);
    d->replies[verb] = line;
}

void ScriptedFtpServer::setPassiveHost(const QByteArray& commaSeparated)
{
    std::lock_guard lock(d->mutex);
    d->passiveHost = commaSeparated;
}

void ScriptedFtpServer::cutTransfersAfter(qint64 bytes, const QByteArray& finalReply)
{
    std::lock_guard lock(d->mutex);
    d->cutAfter = bytes;
    d->cutReply = finalReply;
}

void ScriptedFtpServer::delayReply(const QByteArray& verb, int ms)
{
    std::lock_guard lock(d->mutex);
    d->delays[verb] = ms;
}

void ScriptedFtpServer::trickleReply(const QByteArray& verb, int msPerByte)
{
    std::lock_guard lock(d->mutex);
    d->trickles[verb] = msPerByte;
}

void ScriptedFtpServer::pauseTransfersAfter(qint64 bytes, int ms)
{
    std::lock_guard lock(d->mutex);
    d->pauseAfter = bytes;
    d->pauseMs = ms;
}

QList<QByteArray> ScriptedFtpServer::received() const
{
    return d->transcript.lines();
}

QList<QByteArray> ScriptedFtpServer::receivedVerbs() const
{
    return d->transcript.verbs();
}

int ScriptedFtpServer::sessionCount() const
{
    return d->loop->sessionCount();
}

} // namespace testsupport
