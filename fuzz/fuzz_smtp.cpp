// The SMTP client through a whole sending against a server whose replies
// are the input (see protocolsession.h for its form): greeting, EHLO (HELO
// when refused), maybe STARTTLS, the log-in, one message laid out as the
// composer fills it in (a second one after it with option bit 4), QUIT.
// Option bits: 1 log in (AUTH PLAIN or LOGIN, in clear text to the
// loopback), 2 TLS from the first byte, 4 a second message, 0x80 the
// password with blanks around it.
//
// Beyond no crash, no sanitizer report and no leak: every failure is a
// NetError whose text is not empty and shows no piece of the password or
// of its base64 forms; a message larger than the SIZE the server announced
// is not offered; after STARTTLS (or with TLS from the start), whose
// handshake always fails here, the password goes out in no form.
#include "addresslist.h"
#include "fuzzcheck.h"
#include "protocolsession.h"
#include "smtpclient.h"

#include <cstddef>
#include <cstdint>

namespace {

// A message as the composer fills it in: sender from the settings, the
// recipients as typed, a body whose lines start with "." and "From ".
net::OutgoingMail composedMail()
{
    net::OutgoingMail mail;
    mail.sender = {QStringLiteral("Fz Avsender"), QStringLiteral("avsender@example.no")};
    mail.recipients = net::parseAddressList(QStringLiteral("Kari Nordmann <kari@example.no>, ola@example.no"));
    mail.subject = QStringLiteral("Prøve på fuzzing");
    mail.bodyLines = QStringLiteral("Hei!\n.\n.. to punktum\nFrom meg").split(u'\n');
    return mail;
}

// The n of " SIZE=n" in each MAIL FROM the client sent.
QList<qint64> offeredSizes(const QByteArray& sent)
{
    QList<qint64> sizes;
    for (const QByteArray& line : sent.split('\n')) {
        if (!line.startsWith("MAIL FROM:"))
            continue;
        const qsizetype at = line.indexOf(" SIZE=");
        if (at >= 0)
            sizes.append(line.mid(at + 6).split(' ').value(0).trimmed().toLongLong());
    }
    return sizes;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static fuzz::LoopbackServer server;
    const std::optional<fuzz::Script> script = fuzz::Script::parse(data, size, server.dataPort());
    if (!script)
        return 0;
    const fuzz::ShownTexts texts(*script, true);
    const unsigned options = script->options;
    qint64 sizeLimit = 0;

    const QByteArray sent = server.serve(*script, [&] {
        net::SmtpClient client;
        fuzz::aimAt(client, server, *script);
        client.heloName = QStringLiteral("fuzz.example");
        client.authenticate = options & 1;
        client.implicitTls = options & 2;

        fuzz::attempt(texts, [&] { client.connect(); });
        const net::OutgoingMail mail = composedMail();
        const int messages = options & 4 ? 2 : 1;
        for (int i = 0; i < messages && client.connected(); ++i)
            fuzz::attempt(texts, [&] { client.send(mail); });
        // The limit as the first "SIZE n" among the extensions gives it.
        for (const QString& c : client.capabilities()) {
            const QStringList words = c.split(u' ', Qt::SkipEmptyParts);
            if (words.value(0) == QLatin1String("SIZE") && words.size() > 1) {
                sizeLimit = words.at(1).toLongLong();
                break;
            }
        }
        client.disconnect();
    });

    for (const qint64 offered : offeredSizes(sent))
        fuzz::check(sizeLimit <= 0 || offered <= sizeLimit, "a message beyond the server's SIZE was offered",
                    QString::number(offered));
    const qsizetype starttls = options & 2 ? 0 : sent.indexOf("STARTTLS\r\n");
    if (starttls >= 0)
        fuzz::check(!texts.holdsSecret(sent.mid(starttls)), "the password went out after a failed STARTTLS",
                    QString::fromLatin1(sent));
    return 0;
}
