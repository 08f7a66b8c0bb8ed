#include "pop3client.h"

#include "clientsession.h"
#include "connect.h"
#include "hostport.h"
#include "linechannel.h"
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

// Bytes of TOP commands in flight at once: enough to keep the server busy
// for many replies, far below what socket buffers hold, so that writing
// ahead never blocks on a server that is busy writing replies.
constexpr int kWindowBytes = 8 * 1024;
// Largest UIDL list accepted (some hundred thousand messages).
constexpr qint64 kListCap = qint64(16) << 20;
// Largest message count believed from STAT; a desktop mailbox is far below.
constexpr int kMaxMessages = 1000000;

struct Reply {
    bool ok = false;
    QByteArray text; // after "+OK " / "-ERR "
};

} // namespace

struct Pop3Client::Impl : ClientSession {
    explicit Impl(Pop3Client& client)
        : q(client)
    {
    }

    Pop3Client& q;
    QStringList capabilities;
    // The mechanisms of CAPA's "SASL" line, upper-cased.
    QStringList saslMechanisms;
    // A STAT reply read with the log-in, for the next messageCount().
    std::optional<Reply> prefetchedStat;
    // A UIDL reply read together with STAT, for the next uniqueIds().
    std::optional<std::optional<std::map<int, QByteArray>>> prefetchedIds;

    QString hostText() const { return bareHost(q.host); }

    // A server may echo what it got; neither the password nor its base64
    // forms (AUTH PLAIN's response) reach an error text.
    QString scrub(QString text) const override { return hideLogin(std::move(text), q.user, q.password); }

    QByteArray plainToken() const { return net::plainToken(q.user, q.password); }

    bool pipelined() const { return q.allowPipelining && capabilities.contains(QStringLiteral("PIPELINING")); }

    void afterClose(bool notify) override
    {
        prefetchedStat.reset();
        prefetchedIds.reset();
        if (notify && q.onDisconnected)
            q.onDisconnected();
    }

    // A Norwegian lead naming what was refused, then the server's own words
    // as it sent them: "Serveren avviste innloggingen: [AUTH] authentication failed".
    QString refusal(const QByteArray& serverText, const QString& what) const
    {
        return refusalText(what, scrub(QString::fromUtf8(serverText)));
    }
    QString refusal(const Reply& r, const QString& what) const { return refusal(r.text, what); }

    void command(const QByteArray& line)
    {
        prefetchedStat.reset();
        prefetchedIds.reset();
        control.sendLine(line);
    }

    static bool statusIs(const QByteArray& line, const char* status)
    {
        const QByteArray s(status);
        return line.startsWith(s) && (line.size() == s.size() || line.at(s.size()) == ' ' || line.at(s.size()) == '\t');
    }

    // The status line of a reply, which starts the reply's deadline and cap.
    Reply readReply(qint64 cap = kReplyCap, const QString& capFailure = {})
    {
        if (!control.isOpen())
            failOpen(QStringLiteral("Ikke tilkoblet %1").arg(hostText()));
        control.beginReply(cap, capFailure);
        const QByteArray line = control.readLine();
        if (statusIs(line, "+OK"))
            return {true, line.mid(3).trimmed()};
        if (statusIs(line, "-ERR"))
            return {false, line.mid(4).trimmed()};
        control.malformed(line);
    }

    // CAPA (already sent when `sent`); a refusal leaves no capabilities.
    void readCapabilities(bool sent = false)
    {
        capabilities.clear();
        saslMechanisms.clear();
        if (!sent)
            command("CAPA");
        const Reply capa = readReply();
        if (!capa.ok)
            return;
        const QByteArray list = control.readDotBody();
        for (const QByteArray& line : list.split('\n')) {
            const QList<QByteArray> words = line.simplified().split(' ');
            const QString word = QString::fromUtf8(words.value(0)).toUpper();
            if (word.isEmpty())
                continue;
            capabilities.append(word);
            if (word == QLatin1String("SASL")) {
                for (qsizetype i = 1; i < words.size(); ++i)
                    saslMechanisms.append(QString::fromUtf8(words.at(i)).toUpper());
            }
        }
    }

    // The log-in, and STAT and UIDL with it when asked for and pipelining
    // allows. Refusals close the connection and throw.
    void logIn(AfterLogin after)
    {
        QList<QByteArray> lines;
        if (saslMechanisms.contains(QLatin1String("PLAIN")))
            lines = {"AUTH PLAIN " + plainToken()};
        else
            lines = {"USER " + q.user.toUtf8(), "PASS " + q.password.toUtf8()};
        const qsizetype loginReplies = lines.size();
        const bool burst = pipelined();
        if (burst && after == AfterLogin::Count)
            lines += {"STAT", "UIDL"};

        if (burst)
            command(lines.join("\r\n"));
        for (qsizetype i = 0; i < loginReplies; ++i) {
            if (!burst)
                command(lines.at(i));
            // The first refusal ends the session: what the server answered
            // to the rest of the burst is not read.
            const Reply r = readReply();
            if (!r.ok)
                failClosed(refusal(r, QStringLiteral("innloggingen")));
        }
        if (lines.size() > loginReplies) {
            const Reply stat = readReply();
            auto ids = readIds(readReply(kListCap));
            prefetchedStat = stat;
            prefetchedIds = std::move(ids);
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

    // The rest of a UIDL reply whose status line has been read.
    std::optional<std::map<int, QByteArray>> readIds(const Reply& r)
    {
        if (!r.ok)
            return std::nullopt;
        std::map<int, QByteArray> ids;
        const QByteArray list = control.readDotBody();
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

    int statCount(const Reply& r)
    {
        if (!r.ok)
            failOpen(refusal(r, QStringLiteral("STAT")));
        const QByteArray first = r.text.simplified().split(' ').value(0);
        if (first.isEmpty())
            return 0;
        bool ok = false;
        const int count = first.toInt(&ok);
        // A count no mailbox reaches would make the check ask for headers
        // for ever.
        if (!ok || count < 0 || count > kMaxMessages)
            failOpen(QStringLiteral("Ugyldig svar på STAT fra %1: «%2»").arg(hostText(), control.shown(r.text)));
        return count;
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
    return d->control.isOpen();
}

bool Pop3Client::encrypted() const
{
    return d->control.isOpen() && d->control.isTls();
}

const QStringList& Pop3Client::capabilities() const
{
    return d->capabilities;
}

void Pop3Client::connect(AfterLogin after)
{
    if (d->control.isOpen())
        d->close(true);
    d->capabilities.clear();
    d->saslMechanisms.clear();

    d->connectTo(d->hostText(), d->hostText(), port, timeouts);
    if (onConnected)
        onConnected();
    if (usesImplicitTls() || d->control.knownTlsFromFirstByte())
        d->startTls(d->hostText());

    // CAPA goes out with the connection, not after the greeting: its answer
    // then comes with the greeting, a round trip sooner. A server that
    // refuses in its greeting never answers it, and that is all.
    d->command("CAPA");
    // A server that expects TLS from the first byte on a port not known for
    // it stays silent or hangs up; the CAPA sent to it is lost with the
    // connection it went on.
    if (!d->control.isTls() && d->tlsStep([this] { return d->control.detectTlsFromFirstByte(); }))
        d->command("CAPA");
    d->control.beginReply();
    const QByteArray greeting = d->control.readLine();
    if (Impl::statusIs(greeting, "-ERR"))
        d->failClosed(d->refusal(greeting.mid(4), QStringLiteral("forbindelsen")));
    if (!Impl::statusIs(greeting, "+OK"))
        d->control.malformed(greeting);

    d->readCapabilities(true);
    if (!d->control.isTls() && d->capabilities.contains(QStringLiteral("STLS"))) {
        d->command("STLS");
        const Reply r = d->readReply();
        if (!r.ok) {
            const QString text = QString::fromUtf8(r.text).trimmed();
            d->failClosed(QStringLiteral("%1 kunne ikke starte kryptering (STLS): %2")
                              .arg(d->hostText(), text.isEmpty() ? QStringLiteral("avvist") : text));
        }
        d->upgradeToTls(d->hostText(),
                        QStringLiteral("Ugyldig svar fra %1: mer data etter svaret på STLS").arg(d->hostText()));
        d->readCapabilities();
    }

    if (!d->control.isTls())
        d->requireClearTextConsent(d->hostText(), port, QStringLiteral("serveren tilbyr ikke STLS"));
    d->requireSingleLineLogin(user, password);

    d->logIn(after);
}

int Pop3Client::messageCount()
{
    if (d->prefetchedStat) {
        const Reply stat = *d->prefetchedStat;
        d->prefetchedStat.reset();
        return d->statCount(stat);
    }
    if (!d->pipelined()) {
        d->command("STAT");
        return d->statCount(d->readReply());
    }
    // STAT and UIDL in one write; the UIDL reply waits for uniqueIds().
    d->command("STAT\r\nUIDL");
    const Reply stat = d->readReply();
    int count = 0;
    try {
        count = d->statCount(stat);
    } catch (const NetError&) {
        // The UIDL reply is read so the connection stays in step.
        if (d->control.isOpen())
            d->readIds(d->readReply(kListCap));
        throw;
    }
    d->prefetchedIds = d->readIds(d->readReply(kListCap));
    return count;
}

QByteArray Pop3Client::retrieveHeader(int i)
{
    d->expectOk("TOP " + QByteArray::number(i) + " 0", QStringLiteral("TOP %1").arg(i));
    return d->control.readDotBody();
}

void Pop3Client::retrieveHeaders(int first, int last, const std::function<void(int, const QByteArray&)>& sink)
{
    if (first > last)
        return;
    d->prefetchedIds.reset();
    // A sliding window: TOP commands are written ahead while replies are
    // read, topped up whenever half the window has been answered. Without
    // pipelining the window is one command.
    const qsizetype window = d->pipelined() ? kWindowBytes : 1;
    const auto topCommand = [](long long i) { return "TOP " + QByteArray::number(i) + " 0\r\n"; };
    long long next = first; // the next command to write
    qsizetype inFlight = 0; // bytes of commands written and not yet answered
    bool stopSending = false;
    std::optional<QString> refused;
    std::exception_ptr sinkError;

    for (long long i = first; i < next || (!stopSending && i <= last); ++i) {
        if (!stopSending && next <= last && inFlight <= window / 2) {
            QByteArray commands;
            while (next <= last && (commands.isEmpty() || inFlight + commands.size() + 16 <= window)) {
                commands += topCommand(next);
                ++next;
            }
            inFlight += commands.size();
            d->control.send(commands);
        }
        // Every reply to a command written is read, also after a refusal or
        // a failing sink, so that the next command meets a connection in step.
        const Reply r = d->readReply();
        inFlight -= topCommand(i).size();
        if (!r.ok) {
            if (!refused)
                refused = d->refusal(r, QStringLiteral("TOP %1").arg(i));
            stopSending = true;
            continue;
        }
        const QByteArray header = d->control.readDotBody();
        if (refused || sinkError || !sink)
            continue;
        try {
            sink(int(i), header);
        } catch (...) {
            sinkError = std::current_exception();
            stopSending = true;
        }
    }
    if (sinkError)
        std::rethrow_exception(sinkError);
    if (refused)
        d->failOpen(*refused);
}

std::optional<std::map<int, QByteArray>> Pop3Client::uniqueIds()
{
    if (d->prefetchedIds) {
        auto ids = std::move(*d->prefetchedIds);
        d->prefetchedIds.reset();
        return ids;
    }
    d->command("UIDL");
    return d->readIds(d->readReply(kListCap));
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
    const Reply r = d->readReply(kMessageCap, QStringLiteral("Meldingen RETR %1 fra %2 er større enn %3, som er grensen")
                                                  .arg(i)
                                                  .arg(d->hostText(), capText(kMessageCap)));
    if (!r.ok) {
        if (refusal)
            *refusal = d->refusal(r, QStringLiteral("RETR %1").arg(i));
        return false;
    }
    message = d->control.readDotBody();
    return true;
}

void Pop3Client::deleteMessage(int i)
{
    d->expectOk("DELE " + QByteArray::number(i), QStringLiteral("DELE %1").arg(i));
}

void Pop3Client::quit()
{
    if (!d->control.isOpen())
        d->failOpen(QStringLiteral("Ikke tilkoblet %1").arg(d->hostText()));
    d->command("QUIT");
    const Reply r = d->readReply();
    d->close(true);
    if (!r.ok)
        d->failOpen(d->refusal(r, QStringLiteral("QUIT")));
}

void Pop3Client::quitWithoutWaiting()
{
    if (!d->control.isOpen())
        return;
    // Nothing was changed, so the answer tells nothing: the server ends
    // the session on QUIT, or on the closed connection.
    d->control.sendNow("QUIT\r\n");
    d->close(true);
}

void Pop3Client::disconnect()
{
    if (!d->control.isOpen())
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
