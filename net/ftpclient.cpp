#include "ftpclient.h"

#include "clientsession.h"
#include "connect.h"
#include "ftpdataconnection.h"
#include "hostport.h"
#include "linechannel.h"
#include "tls.h"

#include <Poco/Exception.h>
#include <Poco/Net/IPAddress.h>
#include <Poco/Net/SecureStreamSocket.h>
#include <Poco/Net/SocketAddress.h>

#include <QIODevice>
#include <QRegularExpression>

#include <map>
#include <optional>

namespace net {

namespace {

struct Reply {
    int code = 0;
    QByteArray text; // the first line: code and text, "-" of a multi-line reply dropped
};

} // namespace

// The control connection (TLS after AUTH TLS); openData() is the one
// place a data connection is made, where it is wrapped likewise.
struct FtpClient::Impl : ClientSession {
    explicit Impl(FtpClient& client)
        : q(client)
    {
    }

    FtpClient& q;
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

    QString shown(const QByteArray& line) const { return control.shown(line); }

    void requireConnected() const
    {
        if (!control.isOpen())
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
        control.sendLine(line);
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
    void setUpProtection(const QByteArray& line)
    {
        const Reply r = ask(line);
        if (r.code / 100 != 2)
            failClosed(QStringLiteral("%1 avviste %2: %3").arg(hostPortText(), QString::fromLatin1(line), refusal(r)));
    }

    // One reply, multi-line ones ("123-" ... "123 ") read to their end.
    Reply readReply()
    {
        requireConnected();
        control.beginReply();
        const LineChannel::CodedReply coded = control.readCodedReply(false);
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
        const Poco::Net::IPAddress peer = control.socket().peerAddress().host();
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

    // Sends the transfer command and checks for its preliminary (1xx) reply.
    void startTransfer(const QByteArray& command, const QString& what)
    {
        const Reply r = ask(command);
        if (r.code / 100 != 1) {
            const QString action = command.startsWith("STOR") ? QStringLiteral("opplasting") : QStringLiteral("nedlasting");
            failOpen(QStringLiteral("%1 avviste %2 av %3: %4").arg(hostPortText(), action, what, refusal(r)));
        }
    }

    // With TLS, the handshake on a data connection whose transfer command
    // has been accepted, resuming the control connection's session. On
    // failure the server's answer to the broken transfer is read (keeping
    // the control connection in step) and the handshake's reason thrown.
    void secureData(FtpDataConnection& data)
    {
        if (!control.isTls())
            return;
        std::optional<QString> failure;
        try {
            data.startTls(hostText(), static_cast<Poco::Net::SecureStreamSocket*>(&control.socket()));
            return;
        } catch (const NetError& e) {
            failure = QStringLiteral("Kan ikke åpne dataforbindelse til %1: %2").arg(hostPortText(), e.text());
        }
        data.close();
        try {
            readReply();
        } catch (const NetError&) {
            // The control connection went too (and is closed).
        }
        failOpen(*failure);
    }

    // Opens data for command (RETR/STOR with its argument) and sends the
    // command.
    void openData(FtpDataConnection& data, const QByteArray& command, const QString& what)
    {
        requireConnected();
        for (;;) {
            const bool passive = q.dataMode == DataMode::Passive
                || (q.dataMode == DataMode::PassiveFirst && !passiveFailed);
            if (!passive) {
                openActive(data, command, what);
                return;
            }

            QString refusedWith;
            const std::optional<Poco::Net::SocketAddress> address = passiveAddress(refusedWith);
            QString reason;
            if (address) {
                const std::optional<QString> failed = data.connect(*address);
                if (!failed) {
                    startTransfer(command, what);
                    lastPassive = true;
                    secureData(data);
                    return;
                }
                reason = *failed;
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
    void openActive(FtpDataConnection& data, const QByteArray& command, const QString& what)
    {
        try {
            data.listen(control.socket().address().host());
        } catch (const Poco::Exception& e) {
            failOpen(QStringLiteral("Kan ikke åpne dataforbindelse til %1: %2")
                         .arg(hostPortText(), QString::fromStdString(e.displayText())));
        }
        const Poco::Net::SocketAddress bound = data.listenAddress();
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
            // Only the server itself may connect.
            if (!data.accept(control.socket().peerAddress().host()))
                failClosed(QStringLiteral("Kan ikke åpne dataforbindelse til %1: tjeneren koblet ikke til innen %2")
                               .arg(hostPortText(), durationText(q.timeouts.connectMs)));
            lastPassive = false;
            secureData(data);
        } catch (const Poco::Exception& e) {
            failClosed(QStringLiteral("Kan ikke åpne dataforbindelse til %1: %2")
                           .arg(hostPortText(), QString::fromStdString(e.displayText())));
        }
    }

    // Closes the data connection and reads the transfer's final reply. A
    // failure seen on the data side is thrown after the server's answer to
    // it has been read, which keeps the control connection in step; a
    // stalled or cancelled transfer ends the session.
    void finishTransfer(FtpDataConnection& data, const FtpDataConnection::Transfer& transfer, const QString& what)
    {
        using End = FtpDataConnection::End;
        if (transfer.end == End::Cancelled) {
            data.close();
            failClosed(cancelledText());
        }
        if (transfer.end == End::TimedOut) {
            data.close();
            failClosed(QStringLiteral("Tidsavbrudd: ingen data fra %1 innen %2 under overføringen av %3")
                           .arg(hostPortText(), durationText(q.timeouts.replyMs), what));
        }
        const bool failed = transfer.end == End::Failed;
        data.close(!failed);
        if (failed) {
            try {
                readReply();
            } catch (const NetError&) {
                // The control connection went too (and is closed); the data
                // side's reason is the one to tell.
            }
            failOpen(transfer.failure);
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

    // Runs a transfer on data; a failing work handler abandons it with the
    // connection.
    template <class F>
    FtpDataConnection::Transfer transfer(FtpDataConnection& data, F run)
    {
        try {
            return run();
        } catch (const NetError&) {
            throw;
        } catch (...) {
            data.close();
            close(true);
            throw;
        }
    }

    void reportProgress(qint64 count)
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
    return d->control.isOpen();
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
    if (d->control.isOpen())
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
        d->setUpProtection("PBSZ 0");
        d->setUpProtection("PROT P");
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
    FtpDataConnection data(d->hostPortText(), timeouts);
    d->openData(data, "RETR " + d->argument(path), path);
    const FtpDataConnection::Transfer t = d->transfer(data, [&] {
        return data.receive(sink, limit, path, [this](qint64 count) { d->reportProgress(count); });
    });
    d->finishTransfer(data, t, path);
    return t.bytes;
}

qint64 FtpClient::store(QIODevice& source, const QString& path)
{
    d->requireConnected();
    FtpDataConnection data(d->hostPortText(), timeouts);
    d->openData(data, "STOR " + d->argument(path), path);
    const FtpDataConnection::Transfer t =
        d->transfer(data, [&] { return data.send(source, path, [this](qint64 count) { d->reportProgress(count); }); });
    d->finishTransfer(data, t, path);
    return t.bytes;
}

void FtpClient::disconnect()
{
    if (!d->control.isOpen())
        return;
    try {
        d->ask("QUIT");
    } catch (const NetError&) {
        // Already closed and reported by the failing step.
    }
    d->close(true);
}

} // namespace net
