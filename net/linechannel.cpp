#include "linechannel.h"

#include "connect.h"
#include "termination.h"
#include "tls.h"

#include <Poco/Exception.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/SecureStreamSocket.h>
#include <Poco/Timespan.h>

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

namespace net {

namespace {
// Longest single wait, so that a cancel is seen soon.
constexpr auto kSlice = std::chrono::milliseconds(100);
// Bytes of a send given one reply time-out.
constexpr qsizetype kSendBlock = 256 * 1024;
} // namespace

QString cancelledText()
{
    return QStringLiteral("Avbrutt fordi programmet avsluttes");
}

QString capText(qint64 bytes)
{
    if (bytes % (1 << 20) == 0)
        return QStringLiteral("%1 MiB").arg(bytes >> 20);
    return QStringLiteral("%1 byte").arg(bytes);
}

namespace {

// The shortest piece of a secret hidden where a text begins or ends inside it.
constexpr qsizetype kSecretPiece = 3;

// A text that begins with the end of form, or ends with its beginning (a
// server's line cut off inside an echoed secret, as where an IMAP literal
// ends in its middle), shows that piece as "***".
void hideCutSecret(QString& text, const QString& form, const QString& stars)
{
    for (qsizetype n = form.size() - 1; n >= kSecretPiece; --n) {
        if (text.startsWith(form.right(n))) {
            text.replace(0, n, stars);
            break;
        }
    }
    for (qsizetype n = form.size() - 1; n >= kSecretPiece; --n) {
        if (text.endsWith(form.left(n))) {
            text.replace(text.size() - n, n, stars);
            break;
        }
    }
}

} // namespace

QString hideSecret(QString text, const QString& secret)
{
    if (secret.isEmpty())
        return text;
    const QString stars = QStringLiteral("***");
    text.replace(secret, stars);
    const QString core = secret.trimmed();
    if (!core.isEmpty() && core.size() != secret.size())
        text.replace(core, stars);
    hideCutSecret(text, secret, stars);
    if (!core.isEmpty() && core.size() != secret.size())
        hideCutSecret(text, core, stars);
    return text;
}

QByteArray plainToken(const QString& user, const QString& password)
{
    return ('\0' + user.toUtf8() + '\0' + password.toUtf8()).toBase64();
}

QString hideLogin(QString text, const QString& user, const QString& password)
{
    if (password.isEmpty())
        return text;
    text = hideSecret(std::move(text), QString::fromLatin1(plainToken(user, password)));
    text = hideSecret(std::move(text), QString::fromLatin1(password.toUtf8().toBase64()));
    return hideSecret(std::move(text), password);
}

QString refusalText(const QString& what, const QString& serverWords)
{
    const QString lead = QStringLiteral("Serveren avviste %1").arg(what);
    const QString words = serverWords.trimmed();
    return words.isEmpty() ? lead : lead + QStringLiteral(": ") + words;
}

void throwIfCancelled()
{
    if (rt::cancelRequested())
        throw NetError(cancelledText());
}

QString LineChannel::interruptedText() const
{
    return net::interruptedText(where);
}

void LineChannel::failWith(const QString& text)
{
    if (fail)
        fail(text);
    throw NetError(scrub ? scrub(text) : text);
}

void LineChannel::dropped()
{
    failWith(QStringLiteral("Forbindelsen til %1 ble brutt").arg(where));
}

void LineChannel::timedOut()
{
    failWith(QStringLiteral("Tidsavbrudd: ingen svar fra %1 innen %2").arg(hostPort(), durationText(timeouts.replyMs)));
}

QString LineChannel::hostPort() const
{
    return m_host.isEmpty() ? where : hostPortText(m_host, m_port);
}

QString LineChannel::shown(const QByteArray& text) const
{
    // Scrubbed first: cutting or collapsing blanks could otherwise leave a
    // part of a secret that no longer matches it whole.
    const QString whole = scrub ? scrub(QString::fromUtf8(text)) : QString::fromUtf8(text);
    QString s = whole.left(120).simplified();
    if (whole.size() > 120)
        s += QStringLiteral("…");
    return s;
}

void LineChannel::malformed(const QByteArray& line)
{
    failWith(QStringLiteral("Ugyldig svar fra %1: «%2»").arg(where, shown(line)));
}

void LineChannel::open(const QString& host, std::uint16_t port)
{
    close();
    m_host = host;
    m_port = port;
    m_connectDeadline = Clock::now() + std::chrono::milliseconds(timeouts.connectMs);
    m_connecting = true;
    m_socket = connectSocket(host, port, timeouts, interrupter);
}

void LineChannel::startTls(const QString& host, QString* toleratedRefusal)
{
    // During the connection the handshake gets what is left of the connect
    // time-out; later (STLS, STARTTLS, AUTH TLS) the reply time-out.
    const auto limit = m_connecting ? std::chrono::duration_cast<std::chrono::milliseconds>(
                                          m_connectDeadline - Clock::now())
                                    : std::chrono::milliseconds(timeouts.replyMs);
    m_socket->setReceiveTimeout(Poco::Timespan(std::max<long long>(limit.count(), 1) * 1000));
    std::unique_ptr<Poco::Net::SecureStreamSocket> secure;
    try {
        secure = std::make_unique<Poco::Net::SecureStreamSocket>(
            net::startTls(*m_socket, host, nullptr, toleratedRefusal, interrupter));
    } catch (const CertificateError&) {
        throw;
    } catch (const NetError&) {
        // The server no longer does what it was found to do: the next
        // connection looks again.
        m_tlsFirstAt.clear();
        throw;
    }
    secure->setReceiveTimeout(Poco::Timespan(Poco::Timespan::TimeDiff(timeouts.replyMs) * 1000));
    // Drops the plain handle only; the connection lives on in secure.
    m_socket = std::move(secure);
    m_tls = true;
}

bool LineChannel::knownTlsFromFirstByte() const
{
    return !m_tlsFirstAt.isEmpty() && m_tlsFirstAt == hostPort();
}

void LineChannel::failIfStopped()
{
    if (rt::cancelRequested())
        failWith(cancelledText());
    if (interrupted())
        failWith(interruptedText());
}

LineChannel::FirstWord LineChannel::firstWord(int ms)
{
    switch (waitForInput(Clock::now() + std::chrono::milliseconds(ms))) {
    case InputWait::Interrupted:
        failWith(interruptedText());
    case InputWait::TimeUp:
        return FirstWord::Silent;
    case InputWait::Ready:
        break;
    }
    // Looked at, not taken: a greeting stays for the client to read.
    unsigned char first = 0;
    const ssize_t n = ::recv(m_socket->impl()->sockfd(), &first, 1, MSG_PEEK | MSG_DONTWAIT);
    // A reset too: a server that closes with bytes of ours unread resets.
    if (n == 0 || (n < 0 && errno == ECONNRESET))
        return FirstWord::Closed;
    // A failed read is reported by the client's own read of the greeting.
    if (n < 0)
        return FirstWord::Text;
    // A TLS record begins with its type: 21 an alert, 22 a handshake. No
    // text greeting does.
    return first == 21 || first == 22 ? FirstWord::TlsRecord : FirstWord::Text;
}

void LineChannel::reconnect()
{
    {
        // The object stays until a new connection replaces it, so that the
        // channel counts as open and a failure closes it as any other.
        SigpipeGuard guard;
        try {
            m_socket->close();
        } catch (const Poco::Exception&) {
        }
    }
    m_buf.clear();
    m_pos = 0;
    try {
        m_socket = connectSocket(m_host, m_port, timeouts, interrupter);
    } catch (const NetError& e) {
        failWith(e.text());
    }
}

bool LineChannel::probeTls(int ms, QString& failure)
{
    reconnect();
    m_socket->setReceiveTimeout(Poco::Timespan(Poco::Timespan::TimeDiff(ms) * 1000));
    try {
        auto secure = std::make_unique<Poco::Net::SecureStreamSocket>(
            net::startTls(*m_socket, m_host, nullptr, nullptr, interrupter));
        secure->setReceiveTimeout(Poco::Timespan(Poco::Timespan::TimeDiff(timeouts.replyMs) * 1000));
        m_socket = std::move(secure);
        m_tls = true;
        return true;
    } catch (const CertificateError&) {
        // A TLS server after all, with a certificate the caller must refuse
        // or ask about.
        throw;
    } catch (const NetError& e) {
        failIfStopped();
        failure = e.text();
        return false;
    }
}

bool LineChannel::detectTlsFromFirstByte()
{
    if (!m_socket || m_tls || hasPendingInput())
        return false;
    const int ms = std::min(kTlsProbeMs, timeouts.replyMs);
    const FirstWord word = firstWord(ms);
    if (word == FirstWord::Text)
        return false;
    QString tlsFailure;
    if (probeTls(ms, tlsFailure)) {
        m_tlsFirstAt = hostPort();
        return true;
    }
    switch (word) {
    case FirstWord::Closed:
        dropped();
    case FirstWord::TlsRecord:
        failWith(tlsFailure);
    case FirstWord::Silent:
    case FirstWord::Text:
        break;
    }
    if (ms >= timeouts.replyMs)
        timedOut();
    // Perhaps only slow to greet: a last plain connection with the whole
    // reply time-out for its greeting.
    reconnect();
    return true;
}

void LineChannel::close()
{
    if (m_socket) {
        // Closing a TLS socket sends close_notify, maybe to a peer gone.
        SigpipeGuard guard;
        try {
            m_socket->close();
        } catch (const Poco::Exception&) {
        }
        m_socket.reset();
    }
    m_tls = false;
    m_buf.clear();
    m_pos = 0;
    m_connecting = false;
}

void LineChannel::waitReady(Wait mode)
{
    const int fd = m_socket->impl()->sockfd();
    // The interrupter's slot is ignored by poll() while there is none (-1).
    pollfd p[2] = {{fd, short(mode == Wait::Read ? POLLIN : POLLOUT), 0},
                   {interrupter ? interrupter->fd() : -1, POLLIN, 0}};
    // Ready at once is the common case: no clock, no slices.
    if (mode == Wait::Read && m_tls && m_socket->available() > 0)
        return;
    if (!rt::cancelRequested() && !interrupted() && ::poll(p, 1, 0) > 0)
        return;
    for (;;) {
        if (rt::cancelRequested())
            failWith(cancelledText());
        if (interrupted())
            failWith(interruptedText());
        const auto left = m_deadline - Clock::now();
        if (left <= Clock::duration::zero())
            timedOut();
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(std::min<Clock::duration>(left, kSlice));
        const int rc = ::poll(p, 2, std::max(1, int(wait.count())));
        if (rc > 0 && p[0].revents)
            return; // readable, writable, or an error the next call reports
        if (rc > 0 && p[1].revents && !interrupted())
            interrupter->settle(); // a wake-up left from before a clear()
        if (rc < 0 && errno != EINTR)
            dropped();
    }
}

LineChannel::InputWait LineChannel::waitForInput(Clock::time_point until)
{
    if (!m_socket)
        failWith(QStringLiteral("Ikke tilkoblet %1").arg(where));
    const int fd = m_socket->impl()->sockfd();
    pollfd p[2] = {{fd, POLLIN, 0}, {interrupter ? interrupter->fd() : -1, POLLIN, 0}};
    for (;;) {
        if (rt::cancelRequested())
            failWith(cancelledText());
        if (interrupted())
            return InputWait::Interrupted;
        if (hasPendingInput() || (m_tls && m_socket->available() > 0))
            return InputWait::Ready;
        const auto left = until - Clock::now();
        if (left <= Clock::duration::zero())
            return InputWait::TimeUp;
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(std::min<Clock::duration>(left, kSlice));
        const int rc = ::poll(p, 2, std::max(1, int(wait.count())));
        if (rc > 0 && p[0].revents)
            return InputWait::Ready;
        if (rc > 0 && p[1].revents && !interrupted())
            interrupter->settle();
        if (rc < 0 && errno != EINTR)
            dropped();
    }
}

// One send or receive on the socket after a wait said it is ready. 0 when
// the socket's own time-out ended it inside (a TLS record not yet whole):
// the caller waits again while its deadline holds.
template <class F>
int LineChannel::transfer(F call)
{
    int n = 0;
    try {
        SigpipeGuard guard; // TLS may write while it reads, and SIGPIPE must not end the program
        n = call();
    } catch (const Poco::TimeoutException&) {
        return 0;
    } catch (const Poco::Exception&) {
        dropped();
    }
    if (n <= 0)
        dropped();
    return n;
}

void LineChannel::send(const QByteArray& data)
{
    if (!m_socket)
        failWith(QStringLiteral("Ikke tilkoblet %1").arg(where));
    qsizetype done = 0;
    while (done < data.size()) {
        // The reply time-out for each block of a long message, so a large
        // message on a slow line passes and a stalled server does not.
        if (done % kSendBlock == 0)
            m_deadline = Clock::now() + std::chrono::milliseconds(timeouts.replyMs);
        waitReady(Wait::Write);
        const int chunk = int(std::min<qsizetype>(data.size() - done, kSendBlock - done % kSendBlock));
        // MSG_NOSIGNAL does not reach OpenSSL's write(): transfer() guards.
        done += transfer([&] { return m_socket->sendBytes(data.constData() + done, chunk, MSG_NOSIGNAL); });
    }
}

bool LineChannel::sendNow(const QByteArray& data)
{
    if (!m_socket)
        return false;
    pollfd p{m_socket->impl()->sockfd(), POLLOUT, 0};
    if (::poll(&p, 1, 0) <= 0 || !(p.revents & POLLOUT))
        return false;
    try {
        SigpipeGuard guard;
        return m_socket->sendBytes(data.constData(), int(data.size()), MSG_NOSIGNAL) == data.size();
    } catch (const Poco::Exception&) {
        return false;
    }
}

void LineChannel::beginReply(qint64 cap, QString capFailure)
{
    m_connecting = false;
    m_deadline = Clock::now() + std::chrono::milliseconds(timeouts.replyMs);
    m_left = cap;
    m_capFailure = capFailure.isEmpty()
                       ? QStringLiteral("Ugyldig svar fra %1: svaret er større enn %2").arg(where, capText(cap))
                       : std::move(capFailure);
}

QByteArray LineChannel::readLine(qsizetype maxLine)
{
    if (!m_socket)
        failWith(QStringLiteral("Ikke tilkoblet %1").arg(where));
    const auto tooLong = [this, maxLine] {
        failWith(QStringLiteral("Ugyldig svar fra %1: linjen er lengre enn %2 byte").arg(where).arg(maxLine));
    };
    for (;;) {
        const std::size_t nl = m_buf.find('\n', m_pos);
        if (nl != std::string::npos) {
            std::size_t end = nl;
            if (end > m_pos && m_buf[end - 1] == '\r')
                --end;
            if (qsizetype(end - m_pos) > maxLine)
                tooLong();
            m_left -= qint64(nl + 1 - m_pos);
            if (m_left < 0)
                failWith(m_capFailure);
            QByteArray line(m_buf.data() + m_pos, qsizetype(end - m_pos));
            m_pos = nl + 1;
            if (m_pos == m_buf.size()) {
                m_buf.clear();
                m_pos = 0;
            }
            return line;
        }
        if (qsizetype(m_buf.size() - m_pos) > maxLine)
            tooLong();
        if (qint64(m_buf.size() - m_pos) > m_left)
            failWith(m_capFailure);
        if (m_pos > 0) {
            m_buf.erase(0, m_pos);
            m_pos = 0;
        }
        waitReady(Wait::Read);
        char chunk[16384];
        const int n = transfer([&] { return m_socket->receiveBytes(chunk, int(sizeof chunk)); });
        m_buf.append(chunk, std::size_t(n));
    }
}

QByteArray LineChannel::readBytes(qint64 count)
{
    if (!m_socket)
        failWith(QStringLiteral("Ikke tilkoblet %1").arg(where));
    if (count > m_left)
        failWith(m_capFailure);
    QByteArray out;
    out.reserve(qsizetype(std::min<qint64>(count, kReplyCap)));
    for (;;) {
        const qint64 take = std::min<qint64>(count - out.size(), qint64(m_buf.size() - m_pos));
        out.append(m_buf.data() + m_pos, qsizetype(take));
        m_pos += std::size_t(take);
        if (m_pos == m_buf.size()) {
            m_buf.clear();
            m_pos = 0;
        }
        if (out.size() == count)
            break;
        waitReady(Wait::Read);
        char chunk[16384];
        const int n = transfer([&] { return m_socket->receiveBytes(chunk, int(sizeof chunk)); });
        m_buf.append(chunk, std::size_t(n));
    }
    m_left -= count;
    return out;
}

QByteArray LineChannel::readDotBody()
{
    QByteArray body;
    for (;;) {
        const QByteArray line = readLine();
        if (line == ".")
            return body;
        if (line.startsWith('.'))
            body.append(line.constData() + 1, line.size() - 1);
        else
            body += line;
        body += "\r\n";
    }
}

LineChannel::CodedReply LineChannel::readCodedReply(bool strictLines)
{
    const auto coded = [](const QByteArray& line) {
        return line.size() >= 3 && std::isdigit(uchar(line[0])) && std::isdigit(uchar(line[1]))
            && std::isdigit(uchar(line[2])) && (line.size() == 3 || line[3] == ' ' || line[3] == '-');
    };
    CodedReply reply;
    reply.first = readLine();
    if (!coded(reply.first))
        malformed(reply.first);
    reply.code = reply.first.left(3).toInt();
    const QByteArray code = reply.first.left(3);
    QByteArray line = reply.first;
    for (;;) {
        reply.lines.append(line.mid(4));
        if (line.size() == 3 || line[3] == ' ')
            return reply;
        line = readLine();
        const bool last = line.startsWith(code) && (line.size() == 3 || line[3] == ' ');
        if (strictLines && (!coded(line) || !line.startsWith(code)))
            malformed(line);
        if (!strictLines && !last) {
            reply.lines.append(line);
            // Free text until the closing line.
            while (true) {
                line = readLine();
                if (line.startsWith(code) && (line.size() == 3 || line[3] == ' '))
                    break;
                reply.lines.append(line);
            }
        }
    }
}

} // namespace net
