#include "ftpdataconnection.h"

#include "connect.h"
#include "linechannel.h"
#include "termination.h"
#include "tls.h"

#include <Poco/Exception.h>
#include <Poco/Timespan.h>

#include <QIODevice>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <vector>

namespace net {

namespace {

// Bytes moved per read or write, and so per work event.
constexpr int kBlock = 64 * 1024;

Poco::Timespan span(long long ms)
{
    return Poco::Timespan(Poco::Timespan::TimeDiff(ms) * 1000);
}

// Closes a socket that may be a TLS one (close_notify, maybe to a peer gone).
void closeQuietly(Poco::Net::StreamSocket& socket)
{
    SigpipeGuard guard;
    try {
        socket.close();
    } catch (const Poco::Exception&) {
    }
}

} // namespace

FtpDataConnection::FtpDataConnection(QString where, const Timeouts& timeouts)
    : m_where(std::move(where))
    , m_timeouts(timeouts)
{
}

FtpDataConnection::~FtpDataConnection()
{
    close();
}

void FtpDataConnection::setTimeouts()
{
    m_socket.setReceiveTimeout(span(m_timeouts.replyMs));
    m_socket.setSendTimeout(span(m_timeouts.replyMs));
}

std::optional<QString> FtpDataConnection::connect(const Poco::Net::SocketAddress& address)
{
    try {
        m_socket.connect(address, span(m_timeouts.connectMs));
        setTimeouts();
    } catch (const Poco::TimeoutException&) {
        return QStringLiteral("%1: tidsavbrudd etter %2")
            .arg(QString::fromStdString(address.toString()), durationText(m_timeouts.connectMs));
    } catch (const Poco::Exception& e) {
        return QStringLiteral("%1: %2").arg(QString::fromStdString(address.toString()),
                                            QString::fromStdString(e.displayText()));
    }
    return std::nullopt;
}

void FtpDataConnection::listen(const Poco::Net::IPAddress& host)
{
    m_listener = std::make_unique<Poco::Net::ServerSocket>(Poco::Net::SocketAddress(host, 0), 1);
}

Poco::Net::SocketAddress FtpDataConnection::listenAddress() const
{
    return m_listener->address();
}

bool FtpDataConnection::accept(const Poco::Net::IPAddress& server)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_timeouts.connectMs);
    for (;;) {
        throwIfCancelled();
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        if (!m_listener->poll(span(std::min<long long>(left.count(), 100)), Poco::Net::Socket::SELECT_READ))
            continue;
        Poco::Net::SocketAddress from;
        m_socket = m_listener->acceptConnection(from);
        if (from.host() == server)
            break;
        closeQuietly(m_socket);
    }
    setTimeouts();
    m_listener.reset();
    return true;
}

void FtpDataConnection::startTls(const QString& host, Poco::Net::SecureStreamSocket* session)
{
    Poco::Net::StreamSocket plain = m_socket;
    m_socket = net::startTls(plain, host, session);
    m_plain = plain;
    m_tls = true;
}

FtpDataConnection::Wait FtpDataConnection::waitReadable()
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_timeouts.replyMs);
    for (;;) {
        if (rt::cancelRequested())
            return Wait::Cancelled;
        if (m_socket.available() > 0)
            return Wait::Ready;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return Wait::TimeUp;
        if (m_socket.poll(span(std::min<long long>(left.count(), 100)), Poco::Net::Socket::SELECT_READ))
            return Wait::Ready;
    }
}

QString FtpDataConnection::broken(const QString& what) const
{
    return QStringLiteral("Dataforbindelsen til %1 ble brutt under overføringen av %2").arg(m_where, what);
}

FtpDataConnection::Transfer FtpDataConnection::receive(QIODevice& sink, qint64 limit, const QString& what,
                                                       const std::function<void(qint64)>& onWork)
{
    Transfer t;
    const auto failed = [&t](QString text) {
        t.end = End::Failed;
        t.failure = std::move(text);
        return t;
    };
    std::vector<char> buffer(kBlock);
    SigpipeGuard guard; // TLS may write while it reads
    for (;;) {
        int n = 0;
        try {
            const Wait wait = waitReadable();
            if (wait == Wait::Cancelled) {
                t.end = End::Cancelled;
                return t;
            }
            if (wait == Wait::TimeUp)
                throw Poco::TimeoutException();
            n = m_socket.receiveBytes(buffer.data(), kBlock);
        } catch (const Poco::TimeoutException&) {
            t.end = End::TimedOut;
            return t;
        } catch (const Poco::Exception&) {
            return failed(broken(what));
        }
        if (n == 0)
            return t;
        if (n < 0)
            return failed(broken(what));
        // More than the server announced: the stream is not the file, and
        // an endless one would fill the disk.
        if (limit >= 0 && t.bytes + n > limit)
            return failed(QStringLiteral("%1 sendte mer enn de %2 bytene den oppga for %3").arg(m_where).arg(limit).arg(what));
        if (sink.write(buffer.data(), n) != n)
            return failed(QStringLiteral("Kan ikke skrive filen %1 som hentes fra %2: %3")
                              .arg(what, m_where, sink.errorString()));
        t.bytes += n;
        if (onWork)
            onWork(t.bytes);
    }
}

FtpDataConnection::Transfer FtpDataConnection::send(QIODevice& source, const QString& what,
                                                    const std::function<void(qint64)>& onWork)
{
    Transfer t;
    const auto failed = [&t](QString text) {
        t.end = End::Failed;
        t.failure = std::move(text);
        return t;
    };
    std::vector<char> buffer(kBlock);
    SigpipeGuard guard; // MSG_NOSIGNAL does not reach OpenSSL's write()
    for (;;) {
        const qint64 n = source.read(buffer.data(), kBlock);
        if (n < 0)
            return failed(QStringLiteral("Kan ikke lese filen som sendes til %1 som %2: %3")
                              .arg(m_where, what, source.errorString()));
        if (n == 0)
            return t;
        qint64 done = 0;
        while (done < n) {
            int sent = 0;
            try {
                sent = m_socket.sendBytes(buffer.data() + done, int(n - done), MSG_NOSIGNAL);
            } catch (const Poco::TimeoutException&) {
                t.end = End::TimedOut;
                return t;
            } catch (const Poco::Exception&) {
                sent = -1;
            }
            if (sent <= 0)
                return failed(broken(what));
            done += sent;
        }
        t.bytes += n;
        if (onWork)
            onWork(t.bytes);
    }
}

void FtpDataConnection::endTls()
{
    const int fd = m_socket.impl()->sockfd();
    if (fd < 0)
        return;
    SigpipeGuard guard;
    try {
        // Poco's TLS shutdown also shuts the TCP connection down both ways
        // unless the plain socket below it is marked non-blocking; with the
        // receiving side shut, bytes still arriving (session tickets sent
        // late) would make the kernel reset the connection. So the mark is
        // set, the descriptor kept blocking, and the FIN sent here after the
        // close_notify.
        m_plain.setBlocking(false);
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags >= 0)
            ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
        m_socket.shutdown();
    } catch (const Poco::Exception&) {
    }
    ::shutdown(fd, SHUT_WR);
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(m_timeouts.replyMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return;
        pollfd p{fd, POLLIN, 0};
        const int rc = ::poll(&p, 1, int(left.count()));
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc <= 0)
            return;
        char chunk[4096];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            return;
    }
}

void FtpDataConnection::close(bool orderly)
{
    if (orderly && m_tls)
        endTls();
    closeQuietly(m_socket);
    m_plain = Poco::Net::StreamSocket();
    m_tls = false;
    m_listener.reset();
}

} // namespace net
