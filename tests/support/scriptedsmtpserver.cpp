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

    std::unique_ptr<ServerLoop> loop;

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
        std::lock_guard lock(s.mutex);
        s.received.append(line);
        if (!conn.isTls())
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
        {
            std::lock_guard lock(s.mutex);
            s.received.append(line);
            if (!conn.isTls())
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
    d->loop->start([impl](int fd) {
        {
            std::lock_guard lock(impl->mutex);
            ++impl->sessions;
        }
        Impl::Session(*impl, fd).run();
    });
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
