#include "smtpclient.h"

#include "clientsession.h"
#include "connect.h"
#include "hostport.h"
#include "linechannel.h"
#include "tls.h"

#include <Poco/Exception.h>
#include <Poco/Net/IPAddress.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>

#include <QFileInfo>
#include <QSysInfo>
#include <QUrl>

#include <utility>

namespace net {

namespace {

bool isAscii(const QByteArray& bytes)
{
    for (const char c : bytes) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    }
    return true;
}

// Dot-stuffed DATA with CR LF line ends and the terminating ".".
QByteArray dataBlock(const QByteArray& message)
{
    QByteArray out;
    out.reserve(message.size() + message.size() / 64 + 8);
    qsizetype pos = 0;
    while (pos < message.size()) {
        qsizetype nl = message.indexOf('\n', pos);
        const qsizetype next = nl < 0 ? message.size() : nl + 1;
        if (nl < 0)
            nl = message.size();
        qsizetype end = nl;
        if (end > pos && message.at(end - 1) == '\r')
            --end;
        if (message.at(pos) == '.')
            out += '.';
        out.append(message.constData() + pos, end - pos);
        out += "\r\n";
        pos = next;
    }
    out += ".\r\n";
    return out;
}

struct Reply {
    int code = 0;
    QList<QByteArray> lines; // the text of each line, after the code

    // "550 5.1.1 User unknown", all lines of a multi-line reply joined.
    QString text() const
    {
        QStringList parts;
        for (const QByteArray& l : lines) {
            const QString t = QString::fromUtf8(l).trimmed();
            if (!t.isEmpty())
                parts.append(t);
        }
        return QString::number(code) + (parts.isEmpty() ? QString() : u' ' + parts.join(u' '));
    }
};


} // namespace

// ---------------------------------------------------------------------------

struct SmtpClient::Impl : ClientSession {
    explicit Impl(SmtpClient& client)
        : q(client)
    {
    }

    SmtpClient& q;
    QStringList capabilities;
    QString certificateWarning;

    QString hostText() const { return bareHost(q.host.trimmed()); }

    QString hostPortText() const { return net::hostPortText(hostText(), q.port); }

    // A server may echo what it got; neither the password nor its base64
    // forms reach an error text.
    QString scrub(QString text) const override { return hideLogin(std::move(text), q.user, q.password); }

    QByteArray plainToken() const { return net::plainToken(q.user, q.password); }

    void openSocket()
    {
        if (hostText().isEmpty())
            throw NetError(QStringLiteral("Ingen SMTP-server er angitt"));
        control.where = hostPortText();
        control.timeouts = q.timeouts;
        control.open(hostText(), q.port);
    }

    void send(const QByteArray& data)
    {
        if (!control.isOpen())
            throw NetError(QStringLiteral("Ikke tilkoblet %1").arg(hostPortText()));
        control.send(data);
    }

    // One reply: lines "250-..." up to the line "250 ..." (or a bare "250").
    Reply readReply()
    {
        if (!control.isOpen())
            throw NetError(QStringLiteral("Ikke tilkoblet %1").arg(hostPortText()));
        control.beginReply();
        const LineChannel::CodedReply r = control.readCodedReply(true);
        return {r.code, r.lines};
    }

    Reply command(const QByteArray& line)
    {
        send(line + "\r\n");
        return readReply();
    }

    // Ends a refused transaction so the connection can serve another; the
    // refusal is what the caller reports, so a failing RSET is left unsaid.
    void resetTransaction()
    {
        try {
            if (control.isOpen())
                command("RSET");
        } catch (const NetError&) {
        }
    }

    [[noreturn]] void refused(const QString& what, const Reply& reply)
    {
        resetTransaction();
        throw NetError(scrub(QStringLiteral("Serveren avviste %1: %2").arg(what, reply.text())));
    }

    // EHLO, or HELO for a server that does not know EHLO; the capabilities
    // are those of this EHLO.
    void greet()
    {
        capabilities.clear();
        const QByteArray name = greetingName();
        const Reply ehlo = command("EHLO " + name);
        if (ehlo.code == 250) {
            for (qsizetype i = 1; i < ehlo.lines.size(); ++i) {
                const QString line = QString::fromUtf8(ehlo.lines.at(i)).trimmed();
                if (line.isEmpty())
                    continue;
                const qsizetype space = line.indexOf(u' ');
                capabilities.append(space < 0 ? line.toUpper() : line.left(space).toUpper() + line.mid(space));
            }
            return;
        }
        if (ehlo.code / 100 != 5)
            failClosed(QStringLiteral("Serveren avviste EHLO: %1").arg(ehlo.text()));
        // An old server that does not know EHLO.
        const Reply helo = command("HELO " + name);
        if (helo.code != 250)
            failClosed(QStringLiteral("Serveren avviste HELO: %1").arg(helo.text()));
    }

    // The mechanisms of "AUTH PLAIN LOGIN" (or the older "AUTH=PLAIN LOGIN"),
    // upper-cased.
    QStringList authMechanisms() const
    {
        QStringList out;
        for (const QString& c : capabilities) {
            const QString upper = c.toUpper();
            if (!upper.startsWith(QLatin1String("AUTH")) || upper.size() < 5
                || (upper.at(4) != u' ' && upper.at(4) != u'='))
                continue;
            out += upper.mid(5).split(u' ', Qt::SkipEmptyParts);
        }
        return out;
    }

    [[noreturn]] void loginRefused(const Reply& reply)
    {
        failClosed(QStringLiteral("Serveren avviste påloggingen: %1").arg(reply.text()));
    }

    void login()
    {
        requireSingleLineLogin(q.user, q.password);
        if (!control.isTls() && !isLoopbackHost(q.host))
            failClosed(QStringLiteral("Vil ikke sende passordet til %1 ukryptert: serveren tilbyr ikke STARTTLS")
                           .arg(hostText()));
        const QStringList mechanisms = authMechanisms();
        if (mechanisms.contains(QStringLiteral("PLAIN"))) {
            const Reply r = command("AUTH PLAIN " + plainToken());
            if (r.code != 235)
                loginRefused(r);
            return;
        }
        if (mechanisms.contains(QStringLiteral("LOGIN"))) {
            const Reply start = command("AUTH LOGIN");
            if (start.code != 334)
                loginRefused(start);
            const Reply afterUser = command(q.user.toUtf8().toBase64());
            if (afterUser.code != 334)
                loginRefused(afterUser);
            const Reply done = command(q.password.toUtf8().toBase64());
            if (done.code != 235)
                loginRefused(done);
            return;
        }
        failClosed(mechanisms.isEmpty()
                       ? QStringLiteral("%1 tilbyr ingen pålogging (AUTH)").arg(hostPortText())
                       : QStringLiteral("%1 tilbyr verken AUTH PLAIN eller AUTH LOGIN (bare %2)")
                             .arg(hostPortText(), mechanisms.join(u' ')));
    }

    QByteArray greetingName() const
    {
        if (!q.heloName.isEmpty())
            return q.heloName.toUtf8();
        const QByteArray name = QUrl::toAce(QSysInfo::machineHostName());
        bool domain = name.contains('.') && !name.startsWith('.') && !name.endsWith('.');
        for (const char c : name) {
            if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.'))
                domain = false;
        }
        if (domain)
            return name;
        try {
            const Poco::Net::IPAddress local = control.socket().address().host();
            const QByteArray text = QByteArray::fromStdString(local.toString());
            return local.family() == Poco::Net::IPAddress::IPv6 ? "[IPv6:" + text + ']' : '[' + text + ']';
        } catch (const Poco::Exception&) {
            return "[127.0.0.1]";
        }
    }

    qint64 sizeLimit() const
    {
        for (const QString& c : capabilities) {
            const QStringList words = c.split(u' ', Qt::SkipEmptyParts);
            if (words.value(0) == QLatin1String("SIZE") && words.size() > 1)
                return words.at(1).toLongLong();
        }
        return 0;
    }
};

SmtpClient::SmtpClient()
    : d(std::make_unique<Impl>(*this))
{
}

SmtpClient::~SmtpClient()
{
    d->close(false);
}

bool SmtpClient::connected() const
{
    return d->control.isOpen();
}

bool SmtpClient::encrypted() const
{
    return d->control.isOpen() && d->control.isTls();
}

const QString& SmtpClient::certificateWarning() const
{
    return d->certificateWarning;
}

const QStringList& SmtpClient::capabilities() const
{
    return d->capabilities;
}

bool SmtpClient::hasCapability(const QString& keyword) const
{
    for (const QString& c : d->capabilities) {
        if (c.section(u' ', 0, 0).compare(keyword, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

void SmtpClient::connect()
{
    if (d->control.isOpen())
        d->close(true);
    d->capabilities.clear();
    d->certificateWarning.clear();
    d->openSocket();
    if (usesImplicitTls())
        d->startTls(d->hostText());

    const Reply greeting = d->readReply();
    if (greeting.code != 220)
        d->failClosed(QStringLiteral("Serveren avviste forbindelsen: %1").arg(greeting.text()));

    d->greet();
    if (!d->control.isTls() && hasCapability(QStringLiteral("STARTTLS"))) {
        const Reply r = d->command("STARTTLS");
        if (r.code != 220)
            d->failClosed(
                QStringLiteral("Serveren kunne ikke starte kryptering (STARTTLS): %1").arg(r.text()));
        // Without a login nothing secret goes over the connection: an
        // encryption the certificate cannot vouch for is still better than
        // the clear text that is the only alternative; a certificate that
        // fails the check is noted in certificateWarning instead.
        d->upgradeToTls(d->hostText(),
                        QStringLiteral("Ugyldig svar fra %1: mer data etter svaret på STARTTLS").arg(d->hostPortText()),
                        authenticate ? nullptr : &d->certificateWarning);
        d->greet();
    }
    if (authenticate)
        d->login();
}

void SmtpClient::send(const OutgoingMail& mail)
{
    if (!d->control.isOpen())
        throw NetError(QStringLiteral("Ikke tilkoblet %1").arg(d->hostPortText()));
    if (mail.recipients.isEmpty())
        throw NetError(QStringLiteral("Meldingen har ingen mottaker"));
    for (const Mailbox& r : mail.recipients) {
        if (r.address.isEmpty())
            throw NetError(QStringLiteral("Mottakeren «%1» har ingen adresse").arg(mailboxText(r)));
    }

    // A local part beyond ASCII needs a server that takes UTF-8 addresses.
    const bool utf8 = hasCapability(QStringLiteral("SMTPUTF8"));
    auto envelope = [&](const QString& address) {
        const QByteArray wire = wireAddress(address);
        if (!utf8 && !isAscii(wire))
            throw NetError(QStringLiteral("%1 tar ikke imot adressen «%2»: serveren godtar bare ASCII-tegn i adresser")
                               .arg(d->hostPortText(), address));
        return wire;
    };
    const QByteArray from = envelope(mail.sender.address);
    QList<QByteArray> to;
    for (const Mailbox& r : mail.recipients)
        to.append(envelope(r.address));

    const qint64 limit = d->sizeLimit();
    if (limit > 0 && !mail.attachmentPath.isEmpty() && QFileInfo(mail.attachmentPath).size() > limit)
        throw NetError(QStringLiteral("Meldingen er for stor for %1 (grensen er %2 byte)").arg(d->hostPortText()).arg(limit));
    const QByteArray message = layoutMessage(mail);
    if (limit > 0 && message.size() > limit)
        throw NetError(QStringLiteral("Meldingen er for stor for %1 (grensen er %2 byte)").arg(d->hostPortText()).arg(limit));

    QByteArray mailFrom = "MAIL FROM:<" + from + '>';
    if (hasCapability(QStringLiteral("SIZE")))
        mailFrom += " SIZE=" + QByteArray::number(message.size());
    if (!isAscii(from + to.join()))
        mailFrom += " SMTPUTF8";
    const Reply mailReply = d->command(mailFrom);
    if (mailReply.code != 250)
        d->refused(QStringLiteral("avsenderen <%1>").arg(mail.sender.address), mailReply);

    for (qsizetype i = 0; i < to.size(); ++i) {
        const Reply r = d->command("RCPT TO:<" + to.at(i) + '>');
        if (r.code != 250 && r.code != 251)
            d->refused(QStringLiteral("mottakeren <%1>").arg(mail.recipients.at(i).address), r);
    }

    const Reply data = d->command("DATA");
    if (data.code != 354)
        d->refused(QStringLiteral("DATA"), data);
    d->send(dataBlock(message));
    const Reply done = d->readReply();
    if (done.code != 250)
        d->refused(QStringLiteral("meldingen"), done);
}

void SmtpClient::disconnect()
{
    if (!d->control.isOpen())
        return;
    try {
        d->command("QUIT");
    } catch (const NetError&) {
        // The connection is closed either way.
    }
    d->close(true);
}

} // namespace net
