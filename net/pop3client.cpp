#include "pop3client.h"

#include "connect.h"
#include "tls.h"

#include <Poco/Exception.h>
#include <Poco/Net/DNS.h>
#include <Poco/Net/HostEntry.h>
#include <Poco/Net/IPAddress.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/SecureStreamSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Timespan.h>
#include <Poco/Timestamp.h>

#include <sys/socket.h>

#include <algorithm>
#include <exception>
#include <string>
#include <vector>

namespace net {

namespace {

// Longest reply line accepted; anything longer means the stream is not POP3.
constexpr std::size_t kMaxLine = 64 * 1024;
// TOP commands written at once when the server allows pipelining.
constexpr int kPipelineBatch = 64;

struct Reply {
    bool ok = false;
    QByteArray text; // after "+OK " / "-ERR "
};

} // namespace

struct Pop3Client::Impl {
    explicit Impl(Pop3Client& client)
        : q(client)
    {
    }

    Pop3Client& q;
    // The one place the transport lives; a TLS socket derived from
    // StreamSocket can take its place.
    std::unique_ptr<Poco::Net::StreamSocket> socket;
    bool tls = false; // socket is a SecureStreamSocket
    std::string inbuf;
    std::size_t inpos = 0;
    QStringList capabilities;

    QString hostText() const
    {
        QString h = q.host;
        if (h.startsWith(QLatin1Char('[')) && h.endsWith(QLatin1Char(']')))
            h = h.mid(1, h.size() - 2);
        return h;
    }

    QString hostPortText() const { return net::hostPortText(hostText(), q.port); }

    // A server may echo what it got; the password never reaches an error text.
    QString scrub(QString text) const
    {
        if (!q.password.isEmpty())
            text.replace(q.password, QStringLiteral("***"));
        return text;
    }

    void close(bool notify)
    {
        if (!socket)
            return;
        {
            // Closing a TLS socket sends close_notify, maybe to a peer gone.
            SigpipeGuard guard;
            try {
                socket->close();
            } catch (const Poco::Exception&) {
            }
            socket.reset();
        }
        tls = false;
        inbuf.clear();
        inpos = 0;
        if (notify && q.onDisconnected)
            q.onDisconnected();
    }

    [[noreturn]] void failClosed(const QString& text)
    {
        close(true);
        throw NetError(scrub(text));
    }

    [[noreturn]] void failOpen(const QString& text) { throw NetError(scrub(text)); }

    [[noreturn]] void dropped() { failClosed(QStringLiteral("Forbindelsen til %1 ble brutt").arg(hostText())); }

    [[noreturn]] void malformed(const QByteArray& line)
    {
        QString shown = QString::fromUtf8(line.left(120)).simplified();
        if (line.size() > 120)
            shown += QStringLiteral("…");
        failClosed(QStringLiteral("Ugyldig svar fra %1: «%2»").arg(hostText(), shown));
    }

    [[noreturn]] void tooLong()
    {
        failClosed(QStringLiteral("Ugyldig svar fra %1: linjen er lengre enn %2 byte").arg(hostText()).arg(kMaxLine));
    }

    // A Norwegian lead naming what was refused, then the server's own words
    // as it sent them: "Serveren avviste innloggingen: [AUTH] authentication failed".
    static QString refusal(const QByteArray& serverText, const QString& what)
    {
        const QString text = QString::fromUtf8(serverText).trimmed();
        const QString lead = QStringLiteral("Serveren avviste %1").arg(what);
        return text.isEmpty() ? lead : lead + QStringLiteral(": ") + text;
    }
    static QString refusal(const Reply& r, const QString& what) { return refusal(r.text, what); }

    void openSocket()
    {
        try {
            socket = connectSocket(hostText(), q.port, q.timeouts);
        } catch (const NetError& e) {
            failOpen(e.text());
        }
    }

    // Replaces the plain socket by a TLS socket over the same connection.
    void startTls()
    {
        try {
            auto secure = std::make_unique<Poco::Net::SecureStreamSocket>(net::startTls(*socket, hostText()));
            // Drops the plain handle only; the connection lives on in secure.
            socket = std::move(secure);
        } catch (const CertificateError&) {
            // Passed on whole: the user may choose to trust the certificate.
            close(true);
            throw;
        } catch (const NetError& e) {
            failClosed(e.text());
        }
        tls = true;
    }

    [[noreturn]] void replyTimeout()
    {
        failClosed(QStringLiteral("Tidsavbrudd: ingen svar fra %1 innen %2")
                       .arg(hostText(), durationText(q.timeouts.replyMs)));
    }

    void send(const QByteArray& data)
    {
        if (!socket)
            failOpen(QStringLiteral("Ikke tilkoblet %1").arg(hostText()));
        int done = 0;
        while (done < data.size()) {
            int n = 0;
            try {
                SigpipeGuard guard; // MSG_NOSIGNAL does not reach OpenSSL's write()
                n = socket->sendBytes(data.constData() + done, int(data.size() - done), MSG_NOSIGNAL);
            } catch (const Poco::TimeoutException&) {
                replyTimeout();
            } catch (const Poco::Exception&) {
                dropped();
            }
            if (n <= 0)
                dropped();
            done += n;
        }
    }

    void command(const QByteArray& line) { send(line + "\r\n"); }

    // One line of a reply. A line that has not arrived whole within the reply
    // time-out is given up, so a server trickling bytes cannot hold the
    // session for long.
    QByteArray readLine()
    {
        Poco::Timestamp started;
        const Poco::Timestamp::TimeDiff limit = Poco::Timestamp::TimeDiff(q.timeouts.replyMs) * 1000;
        for (;;) {
            const std::size_t nl = inbuf.find('\n', inpos);
            if (nl != std::string::npos) {
                std::size_t end = nl;
                if (end > inpos && inbuf[end - 1] == '\r')
                    --end;
                if (end - inpos > kMaxLine)
                    tooLong();
                QByteArray line(inbuf.data() + inpos, qsizetype(end - inpos));
                inpos = nl + 1;
                if (inpos == inbuf.size()) {
                    inbuf.clear();
                    inpos = 0;
                }
                return line;
            }
            if (inbuf.size() - inpos > kMaxLine)
                tooLong();
            if (inpos > 0) {
                inbuf.erase(0, inpos);
                inpos = 0;
            }
            char chunk[16384];
            int n = 0;
            try {
                SigpipeGuard guard; // TLS may write while it reads
                // A line still incomplete when its time is up ends here; each
                // single wait is bounded by the socket's receive time-out.
                const Poco::Timestamp::TimeDiff left = limit - started.elapsed();
                if (left <= 0)
                    throw Poco::TimeoutException();
                // Poco waits out the socket's receive timeout inside OpenSSL's
                // read and then once more; one bounded wait here instead.
                if (tls && socket->available() == 0
                    && !socket->poll(Poco::Timespan(left), Poco::Net::Socket::SELECT_READ))
                    throw Poco::TimeoutException();
                n = socket->receiveBytes(chunk, int(sizeof chunk));
            } catch (const Poco::TimeoutException&) {
                replyTimeout();
            } catch (const Poco::Exception&) {
                dropped();
            }
            if (n <= 0)
                dropped();
            inbuf.append(chunk, std::size_t(n));
        }
    }

    static bool statusIs(const QByteArray& line, const char* status)
    {
        const QByteArray s(status);
        return line.startsWith(s) && (line.size() == s.size() || line.at(s.size()) == ' ' || line.at(s.size()) == '\t');
    }

    Reply readReply()
    {
        if (!socket)
            failOpen(QStringLiteral("Ikke tilkoblet %1").arg(hostText()));
        const QByteArray line = readLine();
        if (statusIs(line, "+OK"))
            return {true, line.mid(3).trimmed()};
        if (statusIs(line, "-ERR"))
            return {false, line.mid(4).trimmed()};
        malformed(line);
    }

    // The lines after a "+OK" up to the lone ".", unstuffed, CR LF ended.
    QByteArray readMultiLine()
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

    // CAPA; a refusal leaves no capabilities.
    void readCapabilities()
    {
        capabilities.clear();
        command("CAPA");
        const Reply capa = readReply();
        if (!capa.ok)
            return;
        const QByteArray list = readMultiLine();
        for (const QByteArray& line : list.split('\n')) {
            const QByteArray word = line.trimmed().split(' ').value(0).trimmed();
            if (!word.isEmpty())
                capabilities.append(QString::fromUtf8(word).toUpper());
        }
    }

    // One command with a single-line answer; "-ERR" throws with the server's text.
    Reply expectOk(const QByteArray& line, const QString& what)
    {
        command(line);
        Reply r = readReply();
        if (!r.ok)
            failOpen(refusal(r, what));
        return r;
    }
};

Pop3Client::Pop3Client()
    : d(std::make_unique<Impl>(*this))
{
}

Pop3Client::~Pop3Client()
{
    d->close(false);
}

bool Pop3Client::connected() const
{
    return d->socket != nullptr;
}

bool Pop3Client::encrypted() const
{
    return d->socket != nullptr && d->tls;
}

const QStringList& Pop3Client::capabilities() const
{
    return d->capabilities;
}

void Pop3Client::connect()
{
    if (d->socket)
        d->close(true);
    d->capabilities.clear();

    d->openSocket();
    if (onConnected)
        onConnected();
    if (usesImplicitTls())
        d->startTls();

    const QByteArray greeting = d->readLine();
    if (Impl::statusIs(greeting, "-ERR"))
        d->failClosed(Impl::refusal(greeting.mid(4), QStringLiteral("forbindelsen")));
    if (!Impl::statusIs(greeting, "+OK"))
        d->malformed(greeting);

    d->readCapabilities();
    if (!d->tls && d->capabilities.contains(QStringLiteral("STLS"))) {
        d->command("STLS");
        const Reply r = d->readReply();
        if (!r.ok) {
            const QString text = QString::fromUtf8(r.text).trimmed();
            d->failClosed(QStringLiteral("%1 kunne ikke starte kryptering (STLS): %2")
                              .arg(d->hostText(), text.isEmpty() ? QStringLiteral("avvist") : text));
        }
        // Whatever came after the "+OK" arrived in clear text and could have
        // been put there by anyone on the way; the TLS session starts clean.
        if (d->inpos < d->inbuf.size())
            d->failClosed(QStringLiteral("Ugyldig svar fra %1: mer data etter svaret på STLS").arg(d->hostText()));
        d->startTls();
        d->readCapabilities();
    }

    auto hasBreak = [](const QString& s) {
        return s.contains(QLatin1Char('\r')) || s.contains(QLatin1Char('\n')) || s.contains(QChar(0));
    };
    if (hasBreak(user) || hasBreak(password))
        d->failClosed(QStringLiteral("Brukernavnet eller passordet inneholder ugyldige tegn"));

    d->command("USER " + user.toUtf8());
    const Reply u = d->readReply();
    if (!u.ok)
        d->failClosed(Impl::refusal(u, QStringLiteral("innloggingen")));

    d->command("PASS " + password.toUtf8());
    const Reply p = d->readReply();
    if (!p.ok)
        d->failClosed(Impl::refusal(p, QStringLiteral("innloggingen")));
}

int Pop3Client::messageCount()
{
    const Reply r = d->expectOk("STAT", QStringLiteral("STAT"));
    const QByteArray first = r.text.simplified().split(' ').value(0);
    if (first.isEmpty())
        return 0;
    bool ok = false;
    const int count = first.toInt(&ok);
    if (!ok || count < 0)
        d->failOpen(QStringLiteral("Ugyldig svar på STAT fra %1: «%2»")
                        .arg(d->hostText(), QString::fromUtf8(r.text.left(120))));
    return count;
}

QByteArray Pop3Client::retrieveHeader(int i)
{
    d->expectOk("TOP " + QByteArray::number(i) + " 0", QStringLiteral("TOP %1").arg(i));
    return d->readMultiLine();
}

void Pop3Client::retrieveHeaders(int first, int last, const std::function<void(int, const QByteArray&)>& sink)
{
    const bool pipelined = allowPipelining && d->capabilities.contains(QStringLiteral("PIPELINING"));
    const int batch = pipelined ? kPipelineBatch : 1;

    for (long long start = first; start <= last; start += batch) {
        const int end = int(std::min<long long>(last, start + batch - 1));
        QByteArray commands;
        for (long long i = start; i <= end; ++i)
            commands += "TOP " + QByteArray::number(i) + " 0\r\n";
        d->send(commands);

        // Every reply of the batch is read, even after a refusal or a failing
        // sink, so that the next command meets a connection in step.
        std::optional<QString> refused;
        std::exception_ptr sinkError;
        for (long long i = start; i <= end; ++i) {
            const Reply r = d->readReply();
            if (!r.ok) {
                if (!refused)
                    refused = d->refusal(r, QStringLiteral("TOP %1").arg(i));
                continue;
            }
            const QByteArray header = d->readMultiLine();
            if (refused || sinkError || !sink)
                continue;
            try {
                sink(int(i), header);
            } catch (...) {
                sinkError = std::current_exception();
            }
        }
        if (sinkError)
            std::rethrow_exception(sinkError);
        if (refused)
            d->failOpen(*refused);
    }
}

std::optional<std::map<int, QByteArray>> Pop3Client::uniqueIds()
{
    d->command("UIDL");
    const Reply r = d->readReply();
    if (!r.ok)
        return std::nullopt;
    std::map<int, QByteArray> ids;
    const QByteArray list = d->readMultiLine();
    for (const QByteArray& line : list.split('\n')) {
        const QList<QByteArray> parts = line.simplified().split(' ');
        if (parts.size() < 2)
            continue;
        bool ok = false;
        const int n = parts.at(0).toInt(&ok);
        if (ok)
            ids[n] = parts.at(1);
    }
    return ids;
}

std::optional<QByteArray> Pop3Client::uniqueId(int i)
{
    d->command("UIDL " + QByteArray::number(i));
    const Reply r = d->readReply();
    if (!r.ok)
        return std::nullopt;
    const QList<QByteArray> parts = r.text.simplified().split(' ');
    if (parts.size() < 2)
        return std::nullopt;
    return parts.at(1);
}

bool Pop3Client::retrieveRaw(int i, QByteArray& message, QString* refusal)
{
    d->command("RETR " + QByteArray::number(i));
    const Reply r = d->readReply();
    if (!r.ok) {
        if (refusal)
            *refusal = d->scrub(Impl::refusal(r, QStringLiteral("RETR %1").arg(i)));
        return false;
    }
    message = d->readMultiLine();
    return true;
}

void Pop3Client::deleteMessage(int i)
{
    d->expectOk("DELE " + QByteArray::number(i), QStringLiteral("DELE %1").arg(i));
}

void Pop3Client::quit()
{
    if (!d->socket)
        d->failOpen(QStringLiteral("Ikke tilkoblet %1").arg(d->hostText()));
    d->command("QUIT");
    const Reply r = d->readReply();
    d->close(true);
    if (!r.ok)
        d->failOpen(Impl::refusal(r, QStringLiteral("QUIT")));
}

void Pop3Client::disconnect()
{
    if (!d->socket)
        return;
    try {
        d->command("QUIT");
        d->readReply();
    } catch (const NetError&) {
        // Already closed and reported by the failing step.
    }
    d->close(true);
}

} // namespace net
