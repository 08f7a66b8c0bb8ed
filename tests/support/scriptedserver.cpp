#include "scriptedserver.h"

#include <QFile>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace testsupport {

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

SSL_CTX* makeServerTlsContext(const QString& certificateFile, const QString& keyFile)
{
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx)
        throw std::runtime_error("SSL_CTX_new: " + opensslError());
    const QByteArray cert = QFile::encodeName(certificateFile);
    const QByteArray key = QFile::encodeName(keyFile);
    if (SSL_CTX_use_certificate_chain_file(ctx, cert.constData()) != 1
        || SSL_CTX_use_PrivateKey_file(ctx, key.constData(), SSL_FILETYPE_PEM) != 1
        || SSL_CTX_check_private_key(ctx) != 1) {
        const std::string reason = opensslError();
        SSL_CTX_free(ctx);
        throw std::runtime_error("cannot load " + cert.toStdString() + " / " + key.toStdString() + ": " + reason);
    }
    return ctx;
}

int listenOnLoopback(bool ipv6, std::uint16_t port, int backlog, std::uint16_t& boundPort)
{
    int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    int rc = 0;
    if (ipv6) {
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_loopback;
        a.sin6_port = htons(port);
        rc = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    } else {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        rc = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    if (rc < 0 || ::listen(fd, backlog) < 0) {
        const std::string reason = std::strerror(errno);
        closeFd(fd);
        throw std::runtime_error("bind/listen: " + reason);
    }
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
    boundPort = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                           : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    return fd;
}

bool sendAll(int fd, const char* data, qint64 size, const WakeUp& wake)
{
    qint64 done = 0;
    while (done < size) {
        const ssize_t n = ::send(fd, data + done, std::size_t(size - done), MSG_NOSIGNAL);
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (wake.wait(fd, POLLOUT, -1) <= 0)
                return false;
            continue;
        }
        return false;
    }
    return true;
}

WakeUp::WakeUp()
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) < 0)
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    m_read = fds[0];
    m_write = fds[1];
}

WakeUp::~WakeUp()
{
    closeFd(m_read);
    closeFd(m_write);
}

void WakeUp::raise()
{
    if (m_raised.exchange(true))
        return;
    const char byte = 1;
    while (::write(m_write, &byte, 1) < 0 && errno == EINTR) {
    }
}

int WakeUp::wait(int fd, short events, int ms) const
{
    pollfd fds[2] = {{m_read, POLLIN, 0}, {fd, events, 0}};
    for (;;) {
        const int rc = ::poll(fds, 2, ms);
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc < 0 || fds[0].revents)
            return -1;
        return rc == 0 ? 0 : 1;
    }
}

bool WakeUp::sleep(int ms) const
{
    pollfd wake{m_read, POLLIN, 0};
    for (;;) {
        const int rc = ::poll(&wake, 1, ms);
        if (rc < 0 && errno == EINTR)
            continue;
        return rc == 0;
    }
}

ServedConnection::ServedConnection(int fd, const WakeUp& wake)
    : m_fd(fd)
    , m_wake(wake)
{
}

ServedConnection::~ServedConnection()
{
    if (m_ssl) {
        // One close_notify if it goes out at once; no wait for the peer's.
        if (!m_tlsBroken)
            SSL_shutdown(m_ssl);
        SSL_free(m_ssl);
    }
    closeFd(m_fd);
}

bool ServedConnection::waitFor(short events)
{
    return m_wake.wait(m_fd, events, -1) > 0;
}

// Repeats a call on the non-blocking TLS session until it gets on. Returns
// its result; <= 0 when the session should end.
template <class F>
int ServedConnection::tlsCall(F call)
{
    for (;;) {
        ERR_clear_error();
        const int rc = call();
        if (rc > 0)
            return rc;
        const int err = SSL_get_error(m_ssl, rc);
        if (err == SSL_ERROR_WANT_READ && waitFor(POLLIN))
            continue;
        if (err == SSL_ERROR_WANT_WRITE && waitFor(POLLOUT))
            continue;
        ERR_clear_error();
        m_tlsBroken = err == SSL_ERROR_SYSCALL || err == SSL_ERROR_SSL || m_tlsBroken;
        return rc < 0 ? rc : -1;
    }
}

bool ServedConnection::startTls(SSL_CTX* context)
{
    m_ssl = SSL_new(context);
    if (!m_ssl || SSL_set_fd(m_ssl, m_fd) != 1)
        return false;
    return tlsCall([this] { return SSL_accept(m_ssl); }) > 0;
}

bool ServedConnection::send(const QByteArray& data)
{
    if (m_ssl) {
        // SSL_write sends all of it or fails.
        return data.isEmpty() || tlsCall([&] { return SSL_write(m_ssl, data.constData(), int(data.size())); }) > 0;
    }
    return sendAll(m_fd, data.constData(), data.size(), m_wake);
}

bool ServedConnection::receive()
{
    char chunk[8192];
    for (;;) {
        if (m_ssl) {
            const int n = tlsCall([&] { return SSL_read(m_ssl, chunk, int(sizeof chunk)); });
            if (n <= 0)
                return false;
            m_in.append(chunk, std::size_t(n));
            return true;
        }
        if (!waitFor(POLLIN))
            return false;
        const ssize_t n = ::recv(m_fd, chunk, sizeof chunk, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (n <= 0)
            return false;
        m_in.append(chunk, std::size_t(n));
        return true;
    }
}

bool ServedConnection::readLine(QByteArray& line)
{
    for (;;) {
        const std::size_t nl = m_in.find('\n');
        if (nl != std::string::npos) {
            std::size_t end = nl;
            if (end > 0 && m_in[end - 1] == '\r')
                --end;
            line = QByteArray(m_in.data(), qsizetype(end));
            m_in.erase(0, nl + 1);
            return true;
        }
        if (!receive())
            return false;
    }
}

QByteArray ServedConnection::readSome(int max)
{
    if (m_in.empty() && !receive())
        return {};
    const std::size_t n = std::min<std::size_t>(std::size_t(max), m_in.size());
    QByteArray out(m_in.data(), qsizetype(n));
    m_in.erase(0, n);
    return out;
}

bool ServedConnection::sendTrickled(const QByteArray& data, int msPerByte)
{
    for (const char byte : data) {
        if (!send(QByteArray(1, byte)) || !pause(msPerByte))
            return false;
    }
    return true;
}

bool ServedConnection::pause(int ms) const
{
    // A hang-up of the peer also ends the wait.
    return m_wake.wait(m_fd, POLLRDHUP, ms) == 0;
}

int ServedConnection::waitInput(int ms) const
{
    if (!m_in.empty() || (m_ssl && SSL_pending(m_ssl) > 0))
        return 1;
    return m_wake.wait(m_fd, POLLIN, ms);
}

void ServedConnection::resetHard()
{
    if (m_ssl) {
        SSL_free(m_ssl);
        m_ssl = nullptr;
    }
    const linger hard{1, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
}

ServerLoop::ServerLoop(bool ipv6, std::uint16_t port, int backlog)
    : m_listen(listenOnLoopback(ipv6, port, backlog, m_port))
{
}

ServerLoop::~ServerLoop()
{
    stop();
}

void ServerLoop::start(std::function<void(int fd)> serve)
{
    m_thread = std::thread([this, serve = std::move(serve)] {
        // OpenSSL writes with write(): a client gone would raise SIGPIPE. One
        // raised on this thread stays pending and dies with it.
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        for (;;) {
            if (m_wake.wait(m_listen, POLLIN, -1) < 0)
                return;
            const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd < 0)
                continue;
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            ++m_sessions;
            serve(fd);
        }
    });
}

void ServerLoop::stop()
{
    m_wake.raise();
    if (m_thread.joinable())
        m_thread.join();
    closeFd(m_listen);
}

} // namespace testsupport
