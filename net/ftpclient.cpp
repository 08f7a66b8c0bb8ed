#include "ftpclient.h"

#include "clientsession.h"
#include "connect.h"
#include "hostport.h"
#include "linechannel.h"
#include "termination.h"

#include "tls.h"

#include <Poco/Exception.h>
#include <Poco/Net/DNS.h>
#include <Poco/Net/HostEntry.h>
#include <Poco/Net/IPAddress.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/SecureStreamSocket.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Timespan.h>

#include <QIODevice>
#include <QRegularExpression>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace net {

namespace {

// Bytes moved per read or write of a data connection, and so per work event.
constexpr int kBlock = 64 * 1024;

Poco::Timespan span(int ms)
{
    return Poco::Timespan(Poco::Timespan::TimeDiff(ms) * 1000);
}

struct Reply {
    int code = 0;
    QByteArray text; // the first line: code and text, "-" of a multi-line reply dropped
};

} // namespace

// The control connection (ch, TLS after AUTH TLS); openData() is the one
// place a data connection is made, where it is wrapped likewise.
struct FtpClient::Impl : ClientSession {
    explicit Impl(FtpClient& client)
        : q(client)
    {
    }

    FtpClient& q;
    // With TLS, the plain socket below the current data connection.
    Poco::Net::StreamSocket dataPlain;
    // Passive mode failed once in this session: later transfers go active.
    bool passiveFailed = false;
    // Sizes the server announced (SIZE), per path: a download stops there.
    std::map<QString, qint64> announced;
    bool lastPassive = false;
    QByteArray lastReply;

    QString hostText() const { return bareHost(q.host); }

    QString hostPortText() const { return net::hostPortText(hostText(), q.port); }

    // A server may echo what it got; the password never reaches an error text.
    QString scrub(QString text) const override { return hideSecret(std::move(text), q.password); }

    void afterClose(bool notify) override
    {
        if (notify && q.onDisconnected)
            q.onDisconnected();
    }

    QString shown(const QByteArray& line) const { return ch.shown(line); }

    void requireConnected() const
    {
        if (!ch.isOpen())
            throw NetError(QStringLiteral("Ikke tilkoblet %1").arg(hostPortText()));
    }

    // A path or name as a command argument; line breaks would start a new command.
    QByteArray argument(const QString& text) const
    {
        if (hasLineBreak(text))
            throw NetError(QStringLiteral("Ugyldig filnavn for %1: «%2»").arg(hostPortText(), text.simplified()));
        return text.toUtf8();
    }

    void command(const QByteArray& line)
    {
        requireConnected();
        ch.sendLine(line);
    }

    // Whether a data connection has data (buffered or arriving within the
    // reply time-out): 1 ready, 0 time is up, -1 shutdown cancelled the wait.
    int readable(Poco::Net::StreamSocket& s) const
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(q.timeouts.replyMs);
        for (;;) {
            if (rt::cancelRequested())
                return -1;
            if (s.available() > 0)
                return 1;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return 0;
            if (s.poll(span(int(std::min<long long>(left.count(), 100))), Poco::Net::Socket::SELECT_READ))
                return 1;
        }
    }

    // AUTH TLS and the handshake on the control connection. Anything but
    // 234 ends the session: the login must not go out in clear text.
    void startControlTls()
    {
        const Reply r = ask("AUTH TLS");
        if (r.code != 234)
            failClosed(QStringLiteral("%1 avviste kryptert forbindelse (AUTH TLS): %2")
                           .arg(hostPortText(), refusal(r)));
        upgradeToTls(hostText(), QStringLiteral("Ugyldig svar fra %1: data etter svaret på AUTH TLS").arg(hostPortText()));
    }

    // A command of the TLS setup after login; anything but 2xx ends the session.
    void protection(const QByteArray& line)
    {
        const Reply r = ask(line);
        if (r.code / 100 != 2)
            failClosed(QStringLiteral("%1 avviste %2: %3").arg(hostPortText(), QString::fromLatin1(line), refusal(r)));
    }

    // With TLS, the handshake on a data connection whose transfer command
    // has been accepted, resuming the control connection's session. On
    // failure the server's answer to the broken transfer is read (keeping
    // the control connection in step) and the handshake's reason thrown.
    Poco::Net::StreamSocket secureData(Poco::Net::StreamSocket& plain)
    {
        if (!ch.isTls())
            return plain;
        std::optional<QString> failure;
        try {
            auto* session = static_cast<Poco::Net::SecureStreamSocket*>(&ch.socket());
            const Poco::Net::SecureStreamSocket secure = net::startTls(plain, hostText(), session);
            dataPlain = plain;
            return secure;
        } catch (const NetError& e) {
            failure = QStringLiteral("Kan ikke åpne dataforbindelse til %1: %2").arg(hostPortText(), e.text());
        }
        closeData(plain);
        try {
            readReply();
        } catch (const NetError&) {
            // The control connection went too (and is closed).
        }
        failOpen(*failure);
    }

    // One reply, multi-line ones ("123-" ... "123 ") read to their end.
    Reply readReply()
    {
        requireConnected();
        ch.beginReply();
        const LineChannel::CodedReply coded = ch.readCodedReply(false);
        Reply r;
        r.code = coded.code;
        r.text = (coded.first.left(3) + ' ' + coded.first.mid(4).trimmed()).trimmed();
        lastReply = r.text;
        return r;
    }

    Reply ask(const QByteArray& line)
    {
        command(line);
        return readReply();
    }

    QString refusal(const Reply& r) const { return QString::fromUtf8(r.text); }

    // EPSV, then PASV: the port the server listens on for the data
    // connection, always on the address the control connection goes to (a
    // server behind NAT may name an address of its own network; following
    // another address would also let a server aim our connection anywhere).
    // Nothing when the server refuses both.
    std::optional<Poco::Net::SocketAddress> passiveAddress(QString& refusedWith)
    {
        const Poco::Net::IPAddress peer = ch.socket().peerAddress().host();
        const Reply e = ask("EPSV");
        if (e.code == 229) {
            static const QRegularExpression rx(QStringLiteral("\\((.)\\1\\1(\\d{1,5})\\1\\)"));
            const QRegularExpressionMatch m = rx.match(QString::fromUtf8(e.text));
            const int p = m.hasMatch() ? m.captured(2).toInt() : 0;
            if (p >= 1 && p <= 65535)
                return Poco::Net::SocketAddress(peer, std::uint16_t(p));
        }
        refusedWith = refusal(e);
        if (peer.family() != Poco::Net::IPAddress::IPv4)
            return std::nullopt;
        const Reply p = ask("PASV");
        if (p.code == 227) {
            static const QRegularExpression rx(
                QStringLiteral("(\\d{1,3}),(\\d{1,3}),(\\d{1,3}),(\\d{1,3}),(\\d{1,3}),(\\d{1,3})"));
            const QRegularExpressionMatch m = rx.match(QString::fromUtf8(p.text.mid(4)));
            if (m.hasMatch()) {
                const int hi = m.captured(5).toInt();
                const int lo = m.captured(6).toInt();
                const int port = hi * 256 + lo;
                if (hi <= 255 && lo <= 255 && port >= 1)
                    return Poco::Net::SocketAddress(peer, std::uint16_t(port));
            }
        }
        refusedWith = refusal(p);
        return std::nullopt;
    }

    void setDataTimeouts(Poco::Net::StreamSocket& s) const
    {
        s.setReceiveTimeout(span(q.timeouts.replyMs));
        s.setSendTimeout(span(q.timeouts.replyMs));
    }

    // Sends the transfer command and checks for its preliminary (1xx) reply.
    void startTransfer(const QByteArray& command, const QString& what)
    {
        const Reply r = ask(command);
        if (r.code / 100 != 1) {
            const QString action = command.startsWith("STOR") ? QStringLiteral("opplasting") : QStringLiteral("nedlasting");
            failOpen(QStringLiteral("%1 avviste %2 av %3: %4").arg(hostPortText(), action, what, refusal(r)));
        }
    }

    // Opens the data connection for command (RETR/STOR with its argument)
    // and sends the command.
    Poco::Net::StreamSocket openData(const QByteArray& command, const QString& what)
    {
        requireConnected();
        for (;;) {
            const bool passive = q.dataMode == DataMode::Passive
                || (q.dataMode == DataMode::PassiveFirst && !passiveFailed);
            if (!passive)
                return openActive(command, what);

            QString refusedWith;
            const std::optional<Poco::Net::SocketAddress> address = passiveAddress(refusedWith);
            QString reason;
            if (address) {
                Poco::Net::StreamSocket s;
                try {
                    s.connect(*address, span(q.timeouts.connectMs));
                    setDataTimeouts(s);
                } catch (const Poco::TimeoutException&) {
                    reason = QStringLiteral("%1: tidsavbrudd etter %2")
                                 .arg(QString::fromStdString(address->toString()), durationText(q.timeouts.connectMs));
                } catch (const Poco::Exception& e) {
                    reason = QStringLiteral("%1: %2").arg(QString::fromStdString(address->toString()),
                                                          QString::fromStdString(e.displayText()));
                }
                if (reason.isEmpty()) {
                    startTransfer(command, what);
                    lastPassive = true;
                    return secureData(s);
                }
            } else {
                reason = QStringLiteral("passiv modus avvist: %1").arg(refusedWith);
            }
            if (q.dataMode == DataMode::Passive)
                failOpen(QStringLiteral("Kan ikke åpne dataforbindelse til %1: %2").arg(hostPortText(), reason));
            passiveFailed = true;
        }
    }

    // The client listens on the address of its end of the control
    // connection and announces it with PORT (IPv4) or EPRT (IPv6).
    Poco::Net::StreamSocket openActive(const QByteArray& command, const QString& what)
    {
        const Poco::Net::SocketAddress local = ch.socket().address();
        std::unique_ptr<Poco::Net::ServerSocket> listener;
        try {
            listener = std::make_unique<Poco::Net::ServerSocket>(Poco::Net::SocketAddress(local.host(), 0), 1);
        } catch (const Poco::Exception& e) {
            failOpen(QStringLiteral("Kan ikke åpne dataforbindelse til %1: %2")
                         .arg(hostPortText(), QString::fromStdString(e.displayText())));
        }
        const Poco::Net::SocketAddress bound = listener->address();
        QByteArray announce;
        if (bound.family() == Poco::Net::AddressFamily::IPv4) {
            const QByteArray host = QByteArray::fromStdString(bound.host().toString()).replace('.', ',');
            announce = "PORT " + host + ',' + QByteArray::number(bound.port() / 256) + ','
                + QByteArray::number(bound.port() % 256);
        } else {
            announce = "EPRT |2|" + QByteArray::fromStdString(bound.host().toString()) + '|'
                + QByteArray::number(bound.port()) + '|';
        }
        const Reply r = ask(announce);
        if (r.code / 100 != 2)
            failOpen(QStringLiteral("Kan ikke åpne dataforbindelse til %1: aktiv modus avvist: %2")
                         .arg(hostPortText(), refusal(r)));
        startTransfer(command, what);
        try {
            // Only the server itself may connect: a connection from any other
            // address is closed and the wait goes on until the time is up.
            const Poco::Net::IPAddress server = ch.socket().peerAddress().host();
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(q.timeouts.connectMs);
            Poco::Net::StreamSocket s;
            for (;;) {
                throwIfCancelled();
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now());
                if (left.count() <= 0)
                    failClosed(QStringLiteral("Kan ikke åpne dataforbindelse til %1: tjeneren koblet ikke til innen %2")
                                   .arg(hostPortText(), durationText(q.timeouts.connectMs)));
                if (!listener->poll(span(int(std::min<long long>(left.count(), 100))), Poco::Net::Socket::SELECT_READ))
                    continue;
                Poco::Net::SocketAddress from;
                s = listener->acceptConnection(from);
                if (from.host() == server)
                    break;
                closeData(s);
            }
            setDataTimeouts(s);
            lastPassive = false;
            listener.reset();
            return secureData(s);
        } catch (const Poco::Exception& e) {
            failClosed(QStringLiteral("Kan ikke åpne dataforbindelse til %1: %2")
                           .arg(hostPortText(), QString::fromStdString(e.displayText())));
        }
    }

    static void closeData(Poco::Net::StreamSocket& data)
    {
        SigpipeGuard guard; // a TLS socket sends close_notify
        try {
            data.close();
        } catch (const Poco::Exception&) {
        }
    }

    // Ends a TLS data connection in order: close_notify and FIN, then what
    // the server still sends (session tickets, its close_notify) is read and
    // dropped until it closes, within the reply time-out. Closing a socket
    // with unread bytes would reset the connection, and the server could
    // lose the end of an upload it has not read yet.
    void endTlsData(Poco::Net::StreamSocket& data)
    {
        const int fd = data.impl()->sockfd();
        if (fd < 0)
            return;
        SigpipeGuard guard;
        try {
            // Poco's TLS shutdown also shuts the TCP connection down both
            // ways unless the plain socket below it is marked non-blocking;
            // with the receiving side shut, bytes still arriving (session
            // tickets sent late) would make the kernel reset the connection.
            // So the mark is set, the descriptor kept blocking, and the FIN
            // sent here after the close_notify.
            dataPlain.setBlocking(false);
            const int flags = ::fcntl(fd, F_GETFL);
            if (flags >= 0)
                ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
            data.shutdown();
        } catch (const Poco::Exception&) {
        }
        ::shutdown(fd, SHUT_WR);
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::milliseconds(q.timeouts.replyMs);
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

    // Closes the data connection and reads the transfer's final reply. A
    // failure seen on the data side is thrown after the server's answer to
    // it has been read, which keeps the control connection in step.
    void finishTransfer(Poco::Net::StreamSocket& data, const std::optional<QString>& failure, const QString& what)
    {
        if (ch.isTls() && !failure)
            endTlsData(data);
        closeData(data);
        dataPlain = Poco::Net::StreamSocket();
        if (failure) {
            try {
                readReply();
            } catch (const NetError&) {
                // The control connection went too (and is closed); the data
                // side's reason is the one to tell.
            }
            failOpen(*failure);
        }
        Reply r;
        try {
            r = readReply();
        } catch (const NetError& e) {
            throw NetError(QStringLiteral("%1 under overføringen av %2").arg(e.text(), what));
        }
        if (r.code / 100 != 2)
            failOpen(QStringLiteral("Overføringen av %1 mislyktes hos %2: %3").arg(what, hostPortText(), refusal(r)));
    }

    QString dataBroken(const QString& what) const
    {
        return QStringLiteral("Dataforbindelsen til %1 ble brutt under overføringen av %2").arg(hostPortText(), what);
    }

    [[noreturn]] void dataTimedOut(Poco::Net::StreamSocket& data, const QString& what)
    {
        closeData(data);
        failClosed(QStringLiteral("Tidsavbrudd: ingen data fra %1 innen %2 under overføringen av %3")
                       .arg(hostPortText(), durationText(q.timeouts.replyMs), what));
    }

    void work(qint64 count)
    {
        if (q.onWork)
            q.onWork(count);
    }
};

FtpClient::FtpClient()
    : d(std::make_unique<Impl>(*this))
{
}

FtpClient::~FtpClient()
{
    d->close(false);
}

bool FtpClient::connected() const
{
    return d->ch.isOpen();
}

QString FtpClient::lastReply() const
{
    return d->scrub(QString::fromUtf8(d->lastReply));
}

bool FtpClient::lastTransferPassive() const
{
    return d->lastPassive;
}

void FtpClient::connect()
{
    if (d->ch.isOpen())
        d->close(true);
    d->passiveFailed = false;
    // Checked before connecting: nothing is open yet to close.
    d->requireSingleLineLogin(user, password);

    d->connectTo(d->hostPortText(), d->hostText(), port, timeouts);
    if (onConnected)
        onConnected();

    Reply greeting = d->readReply();
    while (greeting.code / 100 == 1) // 120: ready in a while
        greeting = d->readReply();
    if (greeting.code != 220)
        d->failClosed(QStringLiteral("%1 avviste forbindelsen: %2").arg(d->hostPortText(), d->refusal(greeting)));
    if (explicitTls) {
        d->startControlTls();
    } else {
        d->requireClearTextConsent(d->hostText(), port, QStringLiteral("kryptering (FTPS) er ikke slått på"));
    }

    const QString refused = QStringLiteral("Innlogging på %1 avvist: %2");
    const QString account = QStringLiteral("Innlogging på %1 krever en konto (ACCT), som ikke støttes");
    const Reply u = d->ask("USER " + user.toUtf8());
    if (u.code == 332)
        d->failClosed(account.arg(d->hostPortText()));
    if (u.code == 331) {
        const Reply p = d->ask("PASS " + password.toUtf8());
        if (p.code == 332)
            d->failClosed(account.arg(d->hostPortText()));
        if (p.code != 230 && p.code != 202)
            d->failClosed(refused.arg(d->hostPortText(), d->refusal(p)));
    } else if (u.code != 230) {
        d->failClosed(refused.arg(d->hostPortText(), d->refusal(u)));
    }

    if (explicitTls) {
        d->protection("PBSZ 0");
        d->protection("PROT P");
    }

    const Reply t = d->ask("TYPE I");
    if (t.code / 100 != 2)
        d->failClosed(QStringLiteral("%1 avviste binær overføring: %2").arg(d->hostPortText(), d->refusal(t)));
}

qint64 FtpClient::size(const QString& path)
{
    d->requireConnected();
    const Reply r = d->ask("SIZE " + d->argument(path));
    if (r.code != 213)
        return -1;
    const QByteArray number = r.text.mid(4).trimmed();
    bool ok = false;
    const qint64 value = number.toLongLong(&ok);
    if (!ok || value < 0 || number.startsWith('+'))
        d->failClosed(QStringLiteral("Ugyldig svar på SIZE fra %1: «%2»").arg(d->hostPortText(), d->shown(r.text)));
    d->announced[path] = value;
    return value;
}

qint64 FtpClient::retrieve(const QString& path, QIODevice& sink)
{
    d->requireConnected();
    const auto known = d->announced.find(path);
    // The size the server announced (never negative), or -1 when it announced none.
    const qint64 limit = known == d->announced.end() ? -1 : known->second;
    Poco::Net::StreamSocket data = d->openData("RETR " + d->argument(path), path);
    qint64 total = 0;
    std::optional<QString> failure;
    std::vector<char> buffer(kBlock);
    try {
        SigpipeGuard guard; // TLS may write while it reads
        for (;;) {
            int n = 0;
            try {
                const int ready = d->readable(data);
                if (ready < 0) {
                    Impl::closeData(data);
                    d->failClosed(cancelledText());
                }
                if (ready == 0)
                    throw Poco::TimeoutException();
                n = data.receiveBytes(buffer.data(), kBlock);
            } catch (const Poco::TimeoutException&) {
                d->dataTimedOut(data, path);
            } catch (const Poco::Exception&) {
                failure = d->dataBroken(path);
                break;
            }
            if (n == 0)
                break;
            if (n < 0) {
                failure = d->dataBroken(path);
                break;
            }
            // More than the server announced: the stream is not the file,
            // and an endless one would fill the disk.
            if (limit >= 0 && total + n > limit) {
                failure = QStringLiteral("%1 sendte mer enn de %2 bytene den oppga for %3")
                              .arg(d->hostPortText())
                              .arg(limit)
                              .arg(path);
                break;
            }
            if (sink.write(buffer.data(), n) != n) {
                failure = QStringLiteral("Kan ikke skrive filen %1 som hentes fra %2: %3")
                              .arg(path, d->hostPortText(), sink.errorString());
                break;
            }
            total += n;
            d->work(total);
        }
    } catch (const NetError&) {
        throw;
    } catch (...) {
        // A failing work handler: the transfer is abandoned with the connection.
        Impl::closeData(data);
        d->close(true);
        throw;
    }
    d->finishTransfer(data, failure, path);
    return total;
}

qint64 FtpClient::store(QIODevice& source, const QString& path)
{
    d->requireConnected();
    Poco::Net::StreamSocket data = d->openData("STOR " + d->argument(path), path);
    qint64 total = 0;
    std::optional<QString> failure;
    std::vector<char> buffer(kBlock);
    try {
        SigpipeGuard guard; // MSG_NOSIGNAL does not reach OpenSSL's write()
        while (!failure) {
            const qint64 n = source.read(buffer.data(), kBlock);
            if (n < 0) {
                failure = QStringLiteral("Kan ikke lese filen som sendes til %1 som %2: %3")
                              .arg(d->hostPortText(), path, source.errorString());
                break;
            }
            if (n == 0)
                break;
            qint64 done = 0;
            while (done < n) {
                int sent = 0;
                try {
                    sent = data.sendBytes(buffer.data() + done, int(n - done), MSG_NOSIGNAL);
                } catch (const Poco::TimeoutException&) {
                    d->dataTimedOut(data, path);
                } catch (const Poco::Exception&) {
                    sent = -1;
                }
                if (sent <= 0) {
                    failure = d->dataBroken(path);
                    break;
                }
                done += sent;
            }
            if (failure)
                break;
            total += n;
            d->work(total);
        }
    } catch (const NetError&) {
        throw;
    } catch (...) {
        Impl::closeData(data);
        d->close(true);
        throw;
    }
    d->finishTransfer(data, failure, path);
    return total;
}

void FtpClient::disconnect()
{
    if (!d->ch.isOpen())
        return;
    try {
        d->ask("QUIT");
    } catch (const NetError&) {
        // Already closed and reported by the failing step.
    }
    d->close(true);
}

} // namespace net
