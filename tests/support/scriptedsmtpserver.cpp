#include "scriptedsmtpserver.h"

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
#include <cerrno>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

SmtpFault SmtpFault::reply(const QByteArray& verb, const QByteArray& line)
{
    SmtpFault f;
    f.verb = verb;
    f.action = Action::Reply;
    f.text = line;
    return f;
}

SmtpFault SmtpFault::drop(const QByteArray& verb)
{
    SmtpFault f;
    f.verb = verb;
    f.action = Action::Drop;
    return f;
}

SmtpFault SmtpFault::stall(const QByteArray& verb, int ms)
{
    SmtpFault f;
    f.verb = verb;
    f.action = Action::Stall;
    f.stallMs = ms;
    return f;
}

SmtpFault SmtpFault::onOccurrence(int n) const
{
    SmtpFault f = *this;
    f.occurrence = n;
    return f;
}

SmtpFault SmtpFault::onArgument(const QByteArray& text) const
{
    SmtpFault f = *this;
    f.argument = text;
    return f;
}

namespace {

void closeFd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

std::string opensslError()
{
    std::string text;
    while (const unsigned long e = ERR_get_error()) {
        char buf[256];
        ERR_error_string_n(e, buf, sizeof buf);
        text += text.empty() ? "" : "; ";
        text += buf;
    }
    return text.empty() ? std::string("no detail") : text;
}

// The server side of TLS, made from the options' certificate and key.
SSL_CTX* makeTlsContext(const ScriptedSmtpOptions& options)
{
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx)
        throw std::runtime_error("SSL_CTX_new: " + opensslError());
    const QByteArray cert = QFile::encodeName(options.certificateFile);
    const QByteArray key = QFile::encodeName(options.keyFile);
    if (SSL_CTX_use_certificate_chain_file(ctx, cert.constData()) != 1
        || SSL_CTX_use_PrivateKey_file(ctx, key.constData(), SSL_FILETYPE_PEM) != 1
        || SSL_CTX_check_private_key(ctx) != 1) {
        const std::string reason = opensslError();
        SSL_CTX_free(ctx);
        throw std::runtime_error("cannot load " + cert.toStdString() + " / " + key.toStdString() + ": " + reason);
    }
    return ctx;
}

} // namespace

struct ScriptedSmtpServer::Impl {
    mutable std::mutex mutex;
    ScriptedSmtpOptions options;
    QList<QByteArray> extensions{"SIZE 10485760", "8BITMIME"};
    bool ehloOn = true;
    QList<QByteArray> authMechanisms;
    QByteArray user = "user";
    QByteArray password = "secret";
    QList<QByteArray> receivedInClear;
    QList<SmtpLogin> logins;
    SSL_CTX* tlsContext = nullptr; // set when the options name a certificate

    ~Impl()
    {
        if (tlsContext)
            SSL_CTX_free(tlsContext);
    }
    struct FaultState {
        SmtpFault fault;
        int seen = 0;
    };
    std::vector<FaultState> faults;
    QList<QByteArray> received;
    QList<SmtpDelivery> deliveries;
    int sessions = 0;

    int listenFd = -1;
    int wakeRead = -1;
    int wakeWrite = -1;
    std::uint16_t port = 0;
    std::thread thread;
    std::atomic<bool> stopping{false};

    // Waits up to ms (< 0: for ever) for stop() or the peer closing. False
    // when the session should end.
    bool pause(int fd, int ms)
    {
        pollfd fds[2] = {{wakeRead, POLLIN, 0}, {fd, POLLRDHUP, 0}};
        for (;;) {
            const int rc = ::poll(fds, 2, ms);
            if (rc < 0 && errno == EINTR)
                continue;
            return rc == 0;
        }
    }

    bool takeFault(const QByteArray& verb, const QByteArray& line, SmtpFault& out)
    {
        std::lock_guard lock(mutex);
        bool fired = false;
        for (FaultState& s : faults) {
            if (s.fault.verb != verb)
                continue;
            if (!s.fault.argument.isEmpty() && !line.contains(s.fault.argument))
                continue;
            ++s.seen;
            if (fired || (s.fault.occurrence != 0 && s.fault.occurrence != s.seen))
                continue;
            out = s.fault;
            fired = true;
        }
        return fired;
    }

    class Session;
    void run();
};

// One client connection, served on the server's thread.
class ScriptedSmtpServer::Impl::Session {
public:
    Session(Impl& server, int fd)
        : s(server)
        , fd(fd)
    {
    }

    ~Session()
    {
        if (ssl) {
            // One close_notify if it goes out at once; no wait for the peer's.
            if (!tlsBroken)
                SSL_shutdown(ssl);
            SSL_free(ssl);
        }
    }

    void run()
    {
        if (s.options.implicitTls && !startTls())
            return;
        const int f = applyFault("GREETING", {});
        if (f < 0 || (f == 0 && !sendRaw("220 scripted.test ESMTP klar\r\n")))
            return;
        QByteArray line;
        while (readLine(line)) {
            if (!handle(line))
                return;
        }
    }

private:
    Impl& s;
    int fd;
    SSL* ssl = nullptr; // set once the session runs over TLS
    bool tlsBroken = false; // a fatal TLS error: no close_notify then
    std::string inbuf;
    bool greeted = false;
    bool haveSender = false;
    SmtpDelivery current;

    // Waits until fd is ready for events (a hang-up counts) or stop().
    bool waitFor(short events)
    {
        pollfd fds[2] = {{s.wakeRead, POLLIN, 0}, {fd, events, 0}};
        for (;;) {
            const int rc = ::poll(fds, 2, -1);
            if (rc < 0 && errno == EINTR)
                continue;
            return rc > 0 && !fds[0].revents;
        }
    }

    // Repeats a call on the non-blocking TLS session until it gets on.
    // Returns its result; <= 0 when the session should end.
    template <class F>
    int tlsCall(F call)
    {
        for (;;) {
            ERR_clear_error();
            const int rc = call();
            if (rc > 0)
                return rc;
            const int err = SSL_get_error(ssl, rc);
            if (err == SSL_ERROR_WANT_READ && waitFor(POLLIN))
                continue;
            if (err == SSL_ERROR_WANT_WRITE && waitFor(POLLOUT))
                continue;
            ERR_clear_error();
            tlsBroken = err == SSL_ERROR_SYSCALL || err == SSL_ERROR_SSL || tlsBroken;
            return rc < 0 ? rc : -1;
        }
    }

    // The handshake as server; false when it failed (the client refused the
    // certificate, went away, ...).
    bool startTls()
    {
        ssl = SSL_new(s.tlsContext);
        if (!ssl || SSL_set_fd(ssl, fd) != 1)
            return false;
        return tlsCall([this] { return SSL_accept(ssl); }) > 0;
    }

    bool startTlsOffered() const { return s.tlsContext && !ssl && !s.options.implicitTls; }

    bool sendRaw(const QByteArray& data)
    {
        if (ssl) {
            // SSL_write sends all of it or fails.
            return data.isEmpty()
                || tlsCall([&] { return SSL_write(ssl, data.constData(), int(data.size())); }) > 0;
        }
        qsizetype done = 0;
        while (done < data.size()) {
            const ssize_t n = ::send(fd, data.constData() + done, std::size_t(data.size() - done), MSG_NOSIGNAL);
            if (n > 0) {
                done += n;
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                pollfd fds[2] = {{s.wakeRead, POLLIN, 0}, {fd, POLLOUT, 0}};
                if (::poll(fds, 2, -1) < 0 && errno != EINTR)
                    return false;
                if (fds[0].revents)
                    return false;
                continue;
            }
            return false;
        }
        return true;
    }

    bool readLine(QByteArray& line)
    {
        for (;;) {
            const std::size_t nl = inbuf.find('\n');
            if (nl != std::string::npos) {
                std::size_t end = nl;
                if (end > 0 && inbuf[end - 1] == '\r')
                    --end;
                line = QByteArray(inbuf.data(), qsizetype(end));
                inbuf.erase(0, nl + 1);
                return true;
            }
            char chunk[16384];
            if (ssl) {
                const int n = tlsCall([&] { return SSL_read(ssl, chunk, int(sizeof chunk)); });
                if (n <= 0)
                    return false;
                inbuf.append(chunk, std::size_t(n));
                continue;
            }
            pollfd fds[2] = {{s.wakeRead, POLLIN, 0}, {fd, POLLIN, 0}};
            const int rc = ::poll(fds, 2, -1);
            if (rc < 0 && errno == EINTR)
                continue;
            if (rc < 0 || fds[0].revents)
                return false;
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
                continue;
            if (n <= 0)
                return false;
            inbuf.append(chunk, std::size_t(n));
        }
    }

    // 1 when the fault answered, 0 to go on with the normal answer, -1 to
    // end the session.
    int applyFault(const QByteArray& verb, const QByteArray& line)
    {
        SmtpFault f;
        if (!s.takeFault(verb, line, f))
            return 0;
        switch (f.action) {
        case SmtpFault::Action::Reply:
            return sendRaw(f.text + "\r\n") ? 1 : -1;
        case SmtpFault::Action::Drop:
            return -1;
        case SmtpFault::Action::Stall:
            if (f.stallMs < 0) {
                s.pause(fd, -1);
                return -1;
            }
            return s.pause(fd, f.stallMs) ? 0 : -1;
        }
        return 0;
    }

    static QByteArray afterColon(const QByteArray& line)
    {
        const qsizetype colon = line.indexOf(':');
        return colon < 0 ? QByteArray() : line.mid(colon + 1).trimmed();
    }

    void resetTransaction()
    {
        haveSender = false;
        current = SmtpDelivery();
    }

    // Reads the message up to the lone ".", removing the dot-stuffing.
    bool readData(QByteArray& data)
    {
        QByteArray line;
        while (readLine(line)) {
            if (line == ".")
                return true;
            data += line.startsWith('.') ? line.mid(1) : line;
            data += "\r\n";
        }
        return false;
    }

    // One line of an AUTH exchange, recorded as a command line is.
    bool readAuthLine(QByteArray& line)
    {
        if (!readLine(line))
            return false;
        std::lock_guard lock(s.mutex);
        s.received.append(line);
        if (!ssl)
            s.receivedInClear.append(line);
        return true;
    }

    // AUTH PLAIN [initial response] or AUTH LOGIN, then 235 or 535.
    bool handleAuth(const QByteArray& line)
    {
        const QList<QByteArray> words = line.simplified().split(' ');
        const QByteArray mechanism = words.value(1).toUpper();
        QList<QByteArray> offered;
        QByteArray wantUser;
        QByteArray wantPassword;
        {
            std::lock_guard lock(s.mutex);
            offered = s.authMechanisms;
            wantUser = s.user;
            wantPassword = s.password;
        }
        if (offered.isEmpty())
            return sendRaw("500 5.5.2 Command not recognized\r\n");
        if (!offered.contains(mechanism) || (mechanism != "PLAIN" && mechanism != "LOGIN"))
            return sendRaw("504 5.5.4 Unrecognized authentication type\r\n");
        SmtpLogin login;
        login.mechanism = mechanism;
        login.overTls = ssl != nullptr;
        if (mechanism == "PLAIN") {
            QByteArray response = words.value(2);
            if (response.isEmpty()) {
                if (!sendRaw("334 \r\n") || !readAuthLine(response))
                    return false;
            }
            if (response == "*")
                return sendRaw("501 5.7.0 Authentication cancelled\r\n");
            const QList<QByteArray> parts = QByteArray::fromBase64(response).split('\0');
            if (parts.size() != 3)
                return sendRaw("501 5.5.2 Malformed PLAIN response\r\n");
            login.user = parts.at(1);
            login.password = parts.at(2);
        } else {
            QByteArray u;
            QByteArray p;
            if (!sendRaw("334 VXNlcm5hbWU6\r\n") || !readAuthLine(u))
                return false;
            if (u == "*")
                return sendRaw("501 5.7.0 Authentication cancelled\r\n");
            if (!sendRaw("334 UGFzc3dvcmQ6\r\n") || !readAuthLine(p))
                return false;
            if (p == "*")
                return sendRaw("501 5.7.0 Authentication cancelled\r\n");
            login.user = QByteArray::fromBase64(u);
            login.password = QByteArray::fromBase64(p);
        }
        login.accepted = login.user == wantUser && login.password == wantPassword;
        {
            std::lock_guard lock(s.mutex);
            s.logins.append(login);
        }
        return sendRaw(login.accepted ? "235 2.7.0 Authentication successful\r\n"
                                      : "535 5.7.8 Authentication credentials invalid\r\n");
    }

    bool handle(const QByteArray& line)
    {
        {
            std::lock_guard lock(s.mutex);
            s.received.append(line);
            if (!ssl)
                s.receivedInClear.append(line);
        }
        const QByteArray verb = line.simplified().split(' ').value(0).toUpper();
        const int f = applyFault(verb, line);
        if (f < 0)
            return false;
        if (f > 0) {
            if (verb == "MAIL" || verb == "RCPT" || verb == "DATA")
                return true; // a refused step changes nothing
            return verb != "QUIT";
        }

        if (verb == "EHLO") {
            bool on = true;
            QList<QByteArray> ext;
            {
                std::lock_guard lock(s.mutex);
                on = s.ehloOn;
                ext = s.extensions;
                if (!s.authMechanisms.isEmpty())
                    ext.append("AUTH " + s.authMechanisms.join(' '));
            }
            if (startTlsOffered())
                ext.append("STARTTLS");
            if (!on)
                return sendRaw("502 5.5.2 Command not recognized\r\n");
            greeted = true;
            resetTransaction();
            QByteArray answer = "250" + QByteArray(ext.isEmpty() ? " " : "-") + "scripted.test\r\n";
            for (qsizetype i = 0; i < ext.size(); ++i)
                answer += "250" + QByteArray(i + 1 < ext.size() ? "-" : " ") + ext.at(i) + "\r\n";
            return sendRaw(answer);
        }
        if (verb == "HELO") {
            greeted = true;
            resetTransaction();
            return sendRaw("250 scripted.test\r\n");
        }
        if (verb == "QUIT") {
            sendRaw("221 2.0.0 Bye\r\n");
            return false;
        }
        if (verb == "RSET") {
            resetTransaction();
            return sendRaw("250 2.0.0 OK\r\n");
        }
        if (verb == "NOOP")
            return sendRaw("250 2.0.0 OK\r\n");
        if (!greeted)
            return sendRaw("503 5.5.1 Send EHLO first\r\n");
        if (verb == "STARTTLS") {
            if (!startTlsOffered())
                return sendRaw("502 5.5.1 STARTTLS not available\r\n");
            // Anything the client sent after STARTTLS in clear text is dropped,
            // and the session starts afresh.
            inbuf.clear();
            greeted = false;
            resetTransaction();
            return sendRaw("220 2.0.0 Ready to start TLS\r\n") && startTls();
        }
        if (verb == "AUTH")
            return handleAuth(line);
        if (verb == "MAIL") {
            if (haveSender)
                return sendRaw("503 5.5.1 Nested MAIL command\r\n");
            resetTransaction();
            haveSender = true;
            current.mailFrom = afterColon(line);
            return sendRaw("250 2.1.0 OK\r\n");
        }
        if (verb == "RCPT") {
            if (!haveSender)
                return sendRaw("503 5.5.1 Need MAIL first\r\n");
            current.rcptTo.append(afterColon(line));
            return sendRaw("250 2.1.5 OK\r\n");
        }
        if (verb == "DATA") {
            if (!haveSender || current.rcptTo.isEmpty())
                return sendRaw("503 5.5.1 Need RCPT first\r\n");
            if (!sendRaw("354 End data with <CR><LF>.<CR><LF>\r\n"))
                return false;
            if (!readData(current.data))
                return false;
            const int dot = applyFault("DOT", {});
            if (dot < 0)
                return false;
            if (dot == 0) {
                {
                    std::lock_guard lock(s.mutex);
                    s.deliveries.append(current);
                }
                if (!sendRaw("250 2.0.0 Queued\r\n"))
                    return false;
            }
            resetTransaction();
            return true;
        }
        return sendRaw("500 5.5.2 Command not recognized\r\n");
    }
};

void ScriptedSmtpServer::Impl::run()
{
    // OpenSSL writes with write(): a client gone would raise SIGPIPE. One
    // raised on this thread stays pending and dies with it.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

    for (;;) {
        pollfd fds[2] = {{wakeRead, POLLIN, 0}, {listenFd, POLLIN, 0}};
        const int rc = ::poll(fds, 2, -1);
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc < 0 || fds[0].revents)
            return;
        int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0)
            continue;
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        {
            std::lock_guard lock(mutex);
            ++sessions;
        }
        Session(*this, fd).run();
        closeFd(fd);
    }
}

ScriptedSmtpServer::ScriptedSmtpServer(bool ipv6)
    : ScriptedSmtpServer(ScriptedSmtpOptions{ipv6})
{
}

ScriptedSmtpServer::ScriptedSmtpServer(const ScriptedSmtpOptions& options)
    : d(std::make_unique<Impl>())
{
    d->options = options;
    if (!options.certificateFile.isEmpty())
        d->tlsContext = makeTlsContext(options);
    const bool ipv6 = options.ipv6;
    const int family = ipv6 ? AF_INET6 : AF_INET;
    d->listenFd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (d->listenFd < 0)
        throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    const int one = 1;
    ::setsockopt(d->listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);

    int rc = 0;
    if (ipv6) {
        ::setsockopt(d->listenFd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_loopback;
        rc = ::bind(d->listenFd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    } else {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        rc = ::bind(d->listenFd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    if (rc < 0 || ::listen(d->listenFd, 16) < 0) {
        const std::string reason = std::strerror(errno);
        closeFd(d->listenFd);
        throw std::runtime_error("bind/listen: " + reason);
    }
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    ::getsockname(d->listenFd, reinterpret_cast<sockaddr*>(&bound), &len);
    d->port = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                         : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) < 0) {
        closeFd(d->listenFd);
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    d->wakeRead = pipeFds[0];
    d->wakeWrite = pipeFds[1];
    d->thread = std::thread([this] { d->run(); });
}

ScriptedSmtpServer::~ScriptedSmtpServer()
{
    stop();
}

void ScriptedSmtpServer::stop()
{
    if (d->stopping.exchange(true))
        return;
    // The pipe stays readable from now on, which wakes every wait.
    const char byte = 1;
    while (::write(d->wakeWrite, &byte, 1) < 0 && errno == EINTR) {
    }
    if (d->thread.joinable())
        d->thread.join();
    closeFd(d->listenFd);
    closeFd(d->wakeRead);
    closeFd(d->wakeWrite);
}

std::uint16_t ScriptedSmtpServer::port() const
{
    return d->port;
}

QString ScriptedSmtpServer::host() const
{
    return d->options.ipv6 ? QStringLiteral("::1") : QStringLiteral("127.0.0.1");
}

QString ScriptedSmtpServer::hostPort() const
{
    return (d->options.ipv6 ? QStringLiteral("[::1]") : host()) + QLatin1Char(':') + QString::number(d->port);
}

void ScriptedSmtpServer::setExtensions(const QList<QByteArray>& lines)
{
    std::lock_guard lock(d->mutex);
    d->extensions = lines;
}

void ScriptedSmtpServer::setEhlo(bool on)
{
    std::lock_guard lock(d->mutex);
    d->ehloOn = on;
}

void ScriptedSmtpServer::setAuthMechanisms(const QList<QByteArray>& mechanisms)
{
    std::lock_guard lock(d->mutex);
    d->authMechanisms = mechanisms;
}

void ScriptedSmtpServer::setCredentials(const QByteArray& user, const QByteArray& password)
{
    std::lock_guard lock(d->mutex);
    d->user = user;
    d->password = password;
}

void ScriptedSmtpServer::addFault(const SmtpFault& fault)
{
    std::lock_guard lock(d->mutex);
    SmtpFault f = fault;
    f.verb = f.verb.toUpper();
    d->faults.push_back({f, 0});
}

void ScriptedSmtpServer::clearFaults()
{
    std::lock_guard lock(d->mutex);
    d->faults.clear();
}

QList<QByteArray> ScriptedSmtpServer::received() const
{
    std::lock_guard lock(d->mutex);
    return d->received;
}

QList<QByteArray> ScriptedSmtpServer::receivedVerbs() const
{
    std::lock_guard lock(d->mutex);
    QList<QByteArray> out;
    for (const QByteArray& line : d->received)
        out.append(line.simplified().split(' ').value(0).toUpper());
    return out;
}

QList<QByteArray> ScriptedSmtpServer::receivedInClear() const
{
    std::lock_guard lock(d->mutex);
    return d->receivedInClear;
}

QList<SmtpLogin> ScriptedSmtpServer::logins() const
{
    std::lock_guard lock(d->mutex);
    return d->logins;
}

QList<SmtpDelivery> ScriptedSmtpServer::deliveries() const
{
    std::lock_guard lock(d->mutex);
    return d->deliveries;
}

int ScriptedSmtpServer::sessionCount() const
{
    std::lock_guard lock(d->mutex);
    return d->sessions;
}

} // namespace testsupport
