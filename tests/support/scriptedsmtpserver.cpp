#include "scriptedsmtpserver.h"

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
    return make(verb, Action::Reply, line);
}

SmtpFault SmtpFault::drop(const QByteArray& verb)
{
    return make(verb, Action::Drop);
}

SmtpFault SmtpFault::stall(const QByteArray& verb, int ms)
{
    return make(verb, Action::Stall, {}, ms);
}

struct ScriptedSmtpServer::Impl {
    mutable std::mutex mutex;
    ScriptedSmtpOptions options;
    QList<QByteArray> extensions{"SIZE 10485760", "8BITMIME"};
    bool ehloOn = true;
    QList<QByteArray> authMechanisms;
    QByteArray user = "user";
    QByteArray password = "secret";
    QList<SmtpLogin> logins;
    SSL_CTX* tlsContext = nullptr; // set when the options name a certificate

    ~Impl()
    {
        if (tlsContext)
            SSL_CTX_free(tlsContext);
    }
    FaultList<SmtpFault> faults;
    Transcript transcript;
    QList<SmtpDelivery> deliveries;

    std::unique_ptr<ServerLoop> loop;

    class Session;
};

// One client connection, served on the server's thread.
class ScriptedSmtpServer::Impl::Session {
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
    ServedConnection conn;
    bool greeted = false;
    bool haveSender = false;
    SmtpDelivery current;

    bool startTlsOffered() const { return s.tlsContext && !conn.isTls() && !s.options.implicitTls; }

    bool sendRaw(const QByteArray& data) { return conn.send(data); }
    bool readLine(QByteArray& line) { return conn.readLine(line); }

    // 1 when the fault answered, 0 to go on with the normal answer, -1 to
    // end the session.
    int applyFault(const QByteArray& verb, const QByteArray& line)
    {
        const std::optional<SmtpFault> fired =
            s.faults.take(verb, [&](const QByteArray& argument) { return line.contains(argument); });
        if (!fired)
            return 0;
        const SmtpFault& f = *fired;
        switch (f.action) {
        case SmtpFault::Action::Reply:
            return sendRaw(f.text + "\r\n") ? 1 : -1;
        case SmtpFault::Action::Drop:
            return -1;
        case SmtpFault::Action::Stall:
            if (f.stallMs < 0) {
                conn.pause(-1);
                return -1;
            }
            return conn.pause(f.stallMs) ? 0 : -1;
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
        s.transcript.add(line, !conn.isTls());
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
        login.overTls = conn.isTls();
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
        s.transcript.add(line, !conn.isTls());
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
            conn.pending().clear();
            greeted = false;
            resetTransaction();
            return sendRaw("220 2.0.0 Ready to start TLS\r\n") && conn.startTls(s.tlsContext);
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

ScriptedSmtpServer::ScriptedSmtpServer(bool ipv6)
    : ScriptedSmtpServer(ScriptedSmtpOptions{ipv6})
{
}

ScriptedSmtpServer::ScriptedSmtpServer(const ScriptedSmtpOptions& options)
    : d(std::make_unique<Impl>())
{
    d->options = options;
    if (!options.certificateFile.isEmpty())
        d->tlsContext = makeServerTlsContext(options.certificateFile, options.keyFile);
    d->loop = std::make_unique<ServerLoop>(options.ipv6);
    Impl* impl = d.get();
    d->loop->start([impl](int fd) { Impl::Session(*impl, fd).run(); });
}

ScriptedSmtpServer::~ScriptedSmtpServer()
{
    stop();
}

void ScriptedSmtpServer::stop()
{
    d->loop->stop();
}

std::uint16_t ScriptedSmtpServer::port() const
{
    return d->loop->port();
}

QString ScriptedSmtpServer::host() const
{
    return d->options.ipv6 ? QStringLiteral("::1") : QStringLiteral("127.0.0.1");
}

QString ScriptedSmtpServer::hostPort() const
{
    return (d->options.ipv6 ? QStringLiteral("[::1]") : host()) + QLatin1Char(':') + QString::number(d->loop->port());
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
    d->faults.add(fault);
}

void ScriptedSmtpServer::clearFaults()
{
    d->faults.clear();
}

QList<QByteArray> ScriptedSmtpServer::received() const
{
    return d->transcript.lines();
}

QList<QByteArray> ScriptedSmtpServer::receivedVerbs() const
{
    return d->transcript.verbs();
}

QList<QByteArray> ScriptedSmtpServer::receivedInClear() const
{
    return d->transcript.inClear();
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
    return d->loop->sessionCount();
}

} // namespace testsupport
