#include "scriptedpop3server.h"

#include "scriptedserver.h"

#include <QFile>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

Pop3Fault Pop3Fault::error(const QByteArray& verb, const QByteArray& text)
{
    return make(verb, Action::Error, text);
}

Pop3Fault Pop3Fault::drop(const QByteArray& verb)
{
    return make(verb, Action::Drop);
}

Pop3Fault Pop3Fault::stall(const QByteArray& verb, int ms)
{
    return make(verb, Action::Stall, {}, ms);
}

Pop3Fault Pop3Fault::reply(const QByteArray& verb, const QByteArray& line)
{
    return make(verb, Action::Reply, line);
}

Pop3Fault Pop3Fault::reset(const QByteArray& verb)
{
    return make(verb, Action::Reset);
}

Pop3Fault Pop3Fault::endless(const QByteArray& verb, const QByteArray& first)
{
    return make(verb, Action::Endless, first);
}

Pop3Fault Pop3Fault::trickle(const QByteArray& verb, int msPerByte, const QByteArray& text)
{
    return make(verb, Action::Trickle, text, msPerByte);
}

Pop3Fault Pop3Fault::errorAndClose(const QByteArray& verb, const QByteArray& text)
{
    return make(verb, Action::ErrorAndClose, text);
}

namespace {

struct Message {
    QByteArray raw;
    QByteArray uid;
};

// The message as lines without their ends (a final line end adds no line).
QList<QByteArray> splitLines(const QByteArray& raw)
{
    QList<QByteArray> lines = raw.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    for (QByteArray& l : lines)
        if (l.endsWith('\r'))
            l.chop(1);
    return lines;
}

// Dot-stuffed lines with CR LF and the terminating ".".
QByteArray multiLine(const QList<QByteArray>& lines)
{
    QByteArray out;
    for (const QByteArray& l : lines) {
        if (l.startsWith('.'))
            out += '.';
        out += l;
        out += "\r\n";
    }
    out += ".\r\n";
    return out;
}

} // namespace

struct ScriptedPop3Server::Impl {
    mutable std::mutex mutex;
    ScriptedPop3Options options;
    QList<Message> mailbox;
    int nextUid = 1;
    QList<QByteArray> caps{"USER", "UIDL", "TOP", "PIPELINING"};
    bool capaOn = true;
    bool uidlOn = true;
    int replyDelayMs = 0;
    FaultList<Pop3Fault> faults;
    Transcript transcript;
    int maxQueued = 0;
    int notAwaited = 0;
    int ended = 0;
    mutable std::condition_variable endedChanged;

    std::unique_ptr<ServerLoop> loop;
    SSL_CTX* tlsContext = nullptr; // set when the options name a certificate

    ~Impl()
    {
        if (tlsContext)
            SSL_CTX_free(tlsContext);
    }

    QByteArray newUid() { return "uid-" + QByteArray::number(nextUid++); }

    class Session;
};

// One client connection, served on the server's thread.
class ScriptedPop3Server::Impl::Session {
public:
    Session(Impl& server, int fd)
        : s(server)
        , conn(fd, server.loop->wake())
    {
    }

    void run()
    {
        if (s.options.implicitTls && !conn.startTls(s.tlsContext))
            return;
        if (!greet())
            return;
        QByteArray line;
        while (readLine(line)) {
            if (!handle(line))
                return;
        }
    }

private:
    Impl& s;
    ServedConnection conn;
    bool loggedIn = false;
    bool userGiven = false;
    QByteArray user;
    QList<Message> snapshot;
    std::vector<bool> deleted;

    // One answer, after the configured delay.
    bool reply(const QByteArray& data)
    {
        int delay = 0;
        {
            std::lock_guard lock(s.mutex);
            delay = s.replyDelayMs;
        }
        if (delay > 0 && !conn.pause(delay))
            return false;
        if (trickleMs > 0) {
            const int ms = trickleMs;
            trickleMs = 0;
            return conn.sendTrickled(data, ms);
        }
        return conn.send(data);
    }
    int trickleMs = 0; // the next answer goes out one byte at a time

    bool readLine(QByteArray& line)
    {
        if (!conn.readLine(line))
            return false;
        // Count the command just taken plus those still waiting.
        int queued = 1;
        for (char c : conn.pending())
            queued += c == '\n' ? 1 : 0;
        std::lock_guard lock(s.mutex);
        s.maxQueued = std::max(s.maxQueued, queued);
        return true;
    }

    // Applies a matching fault. Returns 1 when the fault answered, 0 to go
    // on with the normal answer, -1 to end the session.
    int applyFault(const QByteArray& verb, const QByteArray& arg)
    {
        const std::optional<Pop3Fault> fired =
            s.faults.take(verb, [&](const QByteArray& argument) { return argument == arg; });
        if (!fired)
            return 0;
        const Pop3Fault& f = *fired;
        switch (f.action) {
        case Pop3Fault::Action::Error:
            return reply("-ERR " + f.text + "\r\n") ? 1 : -1;
        case Pop3Fault::Action::ErrorAndClose:
            reply("-ERR " + f.text + "\r\n");
            return -1;
        case Pop3Fault::Action::Drop:
            return -1;
        case Pop3Fault::Action::Stall:
            if (f.stallMs < 0) {
                conn.pause(-1);
                return -1;
            }
            if (conn.pause(f.stallMs))
                return 0;
            {
                std::lock_guard lock(s.mutex);
                ++s.notAwaited;
            }
            return -1;
        case Pop3Fault::Action::Reply:
            return reply(f.text + "\r\n") ? 1 : -1;
        case Pop3Fault::Action::Trickle:
            if (!f.text.isEmpty())
                return conn.sendTrickled(f.text, f.stallMs) ? 1 : -1;
            trickleMs = f.stallMs;
            return 0;
        case Pop3Fault::Action::Endless: {
            if (!reply(f.text + "\r\n"))
                return -1;
            // 64 lines a send, so the stream is not held back by the server.
            const QByteArray lines = (QByteArray(998, 'y') + "\r\n").repeated(64);
            while (conn.send(lines)) {
            }
            return -1;
        }
        case Pop3Fault::Action::Reset:
            // No close_notify either: the connection just breaks.
            conn.resetHard();
            return -1;
        }
        return 0;
    }

    bool greet()
    {
        const int f = applyFault("GREETING", {});
        if (f != 0)
            return f > 0;
        return reply("+OK POP3 server ready\r\n");
    }

    bool stlsOffered() const { return s.tlsContext && !conn.isTls() && !s.options.implicitTls; }

    // Message number n (1-based) not deleted, or -1.
    int messageIndex(const QByteArray& arg) const
    {
        bool ok = false;
        const int n = arg.toInt(&ok);
        if (!ok || n < 1 || n > snapshot.size() || deleted[std::size_t(n - 1)])
            return -1;
        return n - 1;
    }

    bool handle(const QByteArray& line)
    {
        s.transcript.add(line, !conn.isTls());
        const QList<QByteArray> words = line.simplified().split(' ');
        const QByteArray verb = words.value(0).toUpper();
        const QByteArray arg = words.value(1);

        const int f = applyFault(verb, arg);
        if (f < 0)
            return false;
        if (f > 0)
            return true;

        if (verb == "QUIT") {
            if (loggedIn)
                commitDeletions();
            reply("+OK bye\r\n");
            return false;
        }
        if (verb == "CAPA") {
            bool on = false;
            QList<QByteArray> caps;
            {
                std::lock_guard lock(s.mutex);
                on = s.capaOn;
                caps = s.caps;
            }
            if (!on)
                return reply("-ERR unknown command\r\n");
            if (stlsOffered())
                caps.append("STLS");
            return reply("+OK capability list follows\r\n" + multiLine(caps));
        }
        if (verb == "STLS") {
            if (!stlsOffered() || loggedIn)
                return reply("-ERR STLS not available\r\n");
            // Anything the client sent after STLS in clear text is dropped.
            conn.pending().clear();
            return reply("+OK begin TLS negotiation\r\n") && conn.startTls(s.tlsContext);
        }
        if (verb == "NOOP" && loggedIn)
            return reply("+OK\r\n");
        if (!loggedIn)
            return handleLogin(verb, words, line);
        return handleTransaction(verb, words);
    }

    bool handleLogin(const QByteArray& verb, const QList<QByteArray>& words, const QByteArray& line)
    {
        const QByteArray rest = line.mid(line.indexOf(' ') + 1);
        if (verb == "USER") {
            user = line.contains(' ') ? rest : QByteArray();
            userGiven = true;
            return reply("+OK\r\n");
        }
        if (verb == "PASS") {
            const QByteArray pass = line.contains(' ') ? rest : QByteArray();
            const bool given = userGiven;
            userGiven = false;
            return finishLogin(given, user, pass);
        }
        if (verb == "AUTH") {
            if (words.value(1).toUpper() != "PLAIN")
                return reply("-ERR unsupported mechanism\r\n");
            // RFC 5034: the response in the command, or after a "+ ".
            QByteArray response = words.value(2);
            if (words.size() < 3) {
                if (!reply("+ \r\n") || !readLine(response))
                    return false;
                s.transcript.add(response, !conn.isTls());
                if (response == "*")
                    return reply("-ERR authentication cancelled\r\n");
            }
            const QList<QByteArray> parts = QByteArray::fromBase64(response).split('\0');
            if (parts.size() != 3)
                return reply("-ERR malformed response\r\n");
            return finishLogin(true, parts.at(1), parts.at(2));
        }
        return reply("-ERR not logged in\r\n");
    }

    bool finishLogin(bool userGivenFirst, const QByteArray& name, const QByteArray& pass)
    {
        bool ok = false;
        {
            std::lock_guard lock(s.mutex);
            ok = userGivenFirst && name == s.options.user && pass == s.options.password;
            if (ok) {
                snapshot = s.mailbox;
                deleted.assign(std::size_t(snapshot.size()), false);
            }
        }
        if (!ok)
            return reply("-ERR [AUTH] authentication failed\r\n");
        loggedIn = true;
        return reply("+OK maildrop ready\r\n");
    }

    bool handleTransaction(const QByteArray& verb, const QList<QByteArray>& words)
    {
        const QByteArray arg = words.value(1);
        if (verb == "STAT") {
            int count = 0;
            qsizetype size = 0;
            for (std::size_t i = 0; i < deleted.size(); ++i) {
                if (!deleted[i]) {
                    ++count;
                    size += snapshot.at(qsizetype(i)).raw.size();
                }
            }
            return reply("+OK " + QByteArray::number(count) + ' ' + QByteArray::number(size) + "\r\n");
        }
        if (verb == "LIST" || verb == "UIDL") {
            const bool uidl = verb == "UIDL";
            if (uidl) {
                bool on = false;
                {
                    std::lock_guard lock(s.mutex);
                    on = s.uidlOn;
                }
                if (!on)
                    return reply("-ERR unknown command\r\n");
            }
            auto item = [&](int index) {
                const Message& m = snapshot.at(index);
                return QByteArray::number(index + 1) + ' ' + (uidl ? m.uid : QByteArray::number(m.raw.size()));
            };
            if (words.size() > 1) {
                const int index = messageIndex(arg);
                if (index < 0)
                    return reply("-ERR no such message\r\n");
                return reply("+OK " + item(index) + "\r\n");
            }
            QList<QByteArray> lines;
            for (int i = 0; i < snapshot.size(); ++i)
                if (!deleted[std::size_t(i)])
                    lines.append(item(i));
            return reply("+OK\r\n" + multiLine(lines));
        }
        if (verb == "TOP" || verb == "RETR") {
            const int index = messageIndex(arg);
            if (index < 0)
                return reply("-ERR no such message\r\n");
            QList<QByteArray> lines = splitLines(snapshot.at(index).raw);
            if (verb == "TOP") {
                bool ok = false;
                const int bodyLines = words.value(2).toInt(&ok);
                if (!ok || bodyLines < 0)
                    return reply("-ERR bad line count\r\n");
                const qsizetype blank = lines.indexOf(QByteArray());
                if (blank >= 0)
                    lines = lines.mid(0, std::min(lines.size(), blank + 1 + bodyLines));
            }
            const QByteArray first = verb == "RETR"
                ? "+OK " + QByteArray::number(snapshot.at(index).raw.size()) + " octets\r\n"
                : QByteArray("+OK\r\n");
            return reply(first + multiLine(lines));
        }
        if (verb == "DELE") {
            const int index = messageIndex(arg);
            if (index < 0)
                return reply("-ERR no such message\r\n");
            deleted[std::size_t(index)] = true;
            return reply("+OK deleted\r\n");
        }
        if (verb == "RSET") {
            deleted.assign(deleted.size(), false);
            return reply("+OK\r\n");
        }
        return reply("-ERR unknown command\r\n");
    }

    // Removes this session's deleted messages from the mailbox by unique id,
    // so that changes made by the test since the login stay.
    void commitDeletions()
    {
        std::lock_guard lock(s.mutex);
        for (std::size_t i = 0; i < deleted.size(); ++i) {
            if (!deleted[i])
                continue;
            const QByteArray& uid = snapshot.at(qsizetype(i)).uid;
            s.mailbox.removeIf([&](const Message& m) { return m.uid == uid; });
        }
    }
};

ScriptedPop3Server::ScriptedPop3Server(const ScriptedPop3Options& options)
    : d(std::make_unique<Impl>())
{
    d->options = options;
    if (!options.certificateFile.isEmpty())
        d->tlsContext = makeServerTlsContext(options.certificateFile, options.keyFile);
    d->loop = std::make_unique<ServerLoop>(options.ipv6, options.port);
    Impl* impl = d.get();
    d->loop->start([impl](int fd) {
        Impl::Session(*impl, fd).run();
        std::lock_guard lock(impl->mutex);
        ++impl->ended;
        impl->endedChanged.notify_all();
    });
}

ScriptedPop3Server::~ScriptedPop3Server()
{
    stop();
}

void ScriptedPop3Server::stop()
{
    d->loop->stop();
}

std::uint16_t ScriptedPop3Server::port() const
{
    return d->loop->port();
}

QString ScriptedPop3Server::host() const
{
    return d->options.ipv6 ? QStringLiteral("::1") : QStringLiteral("127.0.0.1");
}

void ScriptedPop3Server::setMessages(const QList<QByteArray>& messages)
{
    std::lock_guard lock(d->mutex);
    d->mailbox.clear();
    for (const QByteArray& raw : messages)
        d->mailbox.append({raw, d->newUid()});
}

QByteArray ScriptedPop3Server::addMessage(const QByteArray& raw, const QByteArray& uid)
{
    std::lock_guard lock(d->mutex);
    const QByteArray id = uid.isEmpty() ? d->newUid() : uid;
    d->mailbox.append({raw, id});
    return id;
}

void ScriptedPop3Server::removeMessage(int index)
{
    std::lock_guard lock(d->mutex);
    if (index >= 0 && index < d->mailbox.size())
        d->mailbox.removeAt(index);
}

QList<QByteArray> ScriptedPop3Server::messages() const
{
    std::lock_guard lock(d->mutex);
    QList<QByteArray> out;
    for (const Message& m : d->mailbox)
        out.append(m.raw);
    return out;
}

QList<QByteArray> ScriptedPop3Server::uniqueIds() const
{
    std::lock_guard lock(d->mutex);
    QList<QByteArray> out;
    for (const Message& m : d->mailbox)
        out.append(m.uid);
    return out;
}

void ScriptedPop3Server::setCredentials(const QByteArray& user, const QByteArray& password)
{
    std::lock_guard lock(d->mutex);
    d->options.user = user;
    d->options.password = password;
}

void ScriptedPop3Server::setCapabilities(const QList<QByteArray>& lines)
{
    std::lock_guard lock(d->mutex);
    d->caps = lines;
}

QList<QByteArray> ScriptedPop3Server::capabilities() const
{
    std::lock_guard lock(d->mutex);
    return d->caps;
}

void ScriptedPop3Server::setPipelining(bool on)
{
    std::lock_guard lock(d->mutex);
    d->caps.removeAll("PIPELINING");
    if (on)
        d->caps.append("PIPELINING");
}

void ScriptedPop3Server::setUidl(bool on)
{
    std::lock_guard lock(d->mutex);
    d->uidlOn = on;
    d->caps.removeAll("UIDL");
    if (on)
        d->caps.append("UIDL");
}

void ScriptedPop3Server::setCapa(bool on)
{
    std::lock_guard lock(d->mutex);
    d->capaOn = on;
}

void ScriptedPop3Server::setReplyDelayMs(int ms)
{
    std::lock_guard lock(d->mutex);
    d->replyDelayMs = ms;
}

void ScriptedPop3Server::addFault(const Pop3Fault& fault)
{
    d->faults.add(fault);
}

void ScriptedPop3Server::clearFaults()
{
    d->faults.clear();
}

QList<QByteArray> ScriptedPop3Server::received() const
{
    return d->transcript.lines();
}

QList<QByteArray> ScriptedPop3Server::receivedVerbs() const
{
    return d->transcript.verbs();
}

QList<QByteArray> ScriptedPop3Server::receivedInClear() const
{
    return d->transcript.inClear();
}

void ScriptedPop3Server::clearReceived()
{
    d->transcript.clear();
    std::lock_guard lock(d->mutex);
    d->maxQueued = 0;
}

int ScriptedPop3Server::sessionCount() const
{
    return d->loop->sessionCount();
}

int ScriptedPop3Server::maxQueuedCommands() const
{
    std::lock_guard lock(d->mutex);
    return d->maxQueued;
}

int ScriptedPop3Server::answersNotAwaited() const
{
    std::lock_guard lock(d->mutex);
    return d->notAwaited;
}

bool ScriptedPop3Server::waitForEndedSessions(int count, int timeoutMs) const
{
    std::unique_lock lock(d->mutex);
    return d->endedChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return d->ended >= count; });
}

} // namespace testsupport
