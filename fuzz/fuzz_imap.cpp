// The IMAP response reader, then the IMAP client through a whole session,
// on the same input (see protocolsession.h for its form).
//
// The reader reads the control stream as one response after another, with
// small limits, until it ends or fails. The session runs against a server
// whose replies are that stream: greeting, CAPABILITY, maybe STARTTLS, the
// log-in with CAPABILITY, EXAMINE (SELECT with option bit 1) and UID SEARCH
// in one write, the headers of the first unseen messages, one whole
// message, a deletion, a short IDLE, NOOP and the logout (without waiting
// for it with option bit 4). The client's tags are A1, A2, ... in that
// order. Option bits: 2 TLS from the first byte, 0x80 the password with
// blanks around it.
//
// Beyond no crash, no sanitizer report and no leak: the reader's responses
// keep its limits (literals, depth, values, size) and its failures are
// NetErrors with a visible, non-empty text; every failure of the client is
// a NetError whose text shows no piece of the password or of its base64
// forms; the unseen UIDs are ascending without repeats; headers come only
// for UIDs asked for, each once; a message that is not handed over says
// why; no plain EXPUNGE is ever sent; after STARTTLS (or with TLS from the
// start), whose handshake always fails here, the password goes out in no
// form.
#include "fuzzcheck.h"
#include "imapclient.h"
#include "imapresponse.h"
#include "mailheader.h"
#include "protocolsession.h"

#include <QSet>

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace {

net::ImapLimits readerLimits()
{
    net::ImapLimits l;
    l.literalCap = 64;
    l.responseCap = 4096;
    l.maxDepth = 8;
    l.maxValues = 200;
    return l;
}

// Checks a value against the limits; returns how many values it holds.
int checkValue(const net::ImapValue& v, int depth, const net::ImapLimits& limits)
{
    if (v.isList())
        fuzz::check(depth <= limits.maxDepth, "a list nested deeper than its limit");
    if (v.isString())
        fuzz::check(v.text.size() <= limits.responseCap, "a string longer than its response");
    int count = 1;
    for (const net::ImapValue& item : v.items)
        count += checkValue(item, depth + 1, limits);
    return count;
}

void readAll(const QByteArray& stream)
{
    const net::ImapLimits limits = readerLimits();
    const net::ImapResponseReader reader(QStringLiteral("fuzz.example.no"));
    net::ImapBufferSource source(stream);
    while (!source.atEnd()) {
        const qint64 before = source.consumed();
        try {
            const net::ImapResponse r = reader.read(source, limits);
            fuzz::check(r.size > 0 && r.size <= limits.responseCap, "a response beyond its cap");
            // A line end without CR counts two bytes all the same.
            fuzz::check(source.consumed() - before <= r.size, "a response took more than it counted");
            int values = 0;
            for (const net::ImapValue& v : r.values)
                values += checkValue(v, 1, limits);
            fuzz::check(values <= limits.maxValues, "more values than the limit");
            if (r.kind == net::ImapResponse::Kind::Tagged)
                fuzz::check(!r.tag.isEmpty(), "a tagged response without a tag");
        } catch (const net::NetError& e) {
            fuzz::check(!e.text().isEmpty(), "an empty reader error");
            fuzz::check(fuzz::onlyVisible(e.text()), "a reader error shows a control character", e.text());
            return;
        }
    }
}

// Whether a command line the client sent is a plain EXPUNGE.
bool plainExpunge(const QByteArray& sent)
{
    for (const QByteArray& line : sent.split('\n')) {
        const QList<QByteArray> words = line.trimmed().split(' ');
        if (words.size() >= 2 && words.at(1).toUpper() == "EXPUNGE")
            return true;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static fuzz::LoopbackServer server;
    const std::optional<fuzz::Script> script = fuzz::Script::parse(data, size, server.dataPort());
    if (!script)
        return 0;
    readAll(script->control);

    const fuzz::ShownTexts texts(*script, true);
    const unsigned options = script->options;

    const QByteArray sent = server.serve(*script, [&] {
        net::ImapClient client;
        fuzz::aimAt(client, server, *script);
        client.implicitTls = options & 2;
        const auto step = [&](const std::function<void()>& f) { fuzz::attemptConnected(client, texts, f); };

        QList<std::uint32_t> unseen;
        fuzz::attempt(texts, [&] {
            unseen = client.connectAndSearch(!(options & 1));
            for (qsizetype i = 1; i < unseen.size(); ++i)
                fuzz::check(unseen.at(i - 1) < unseen.at(i), "unseen UIDs out of order or repeated");
        });
        step([&] {
            const QList<std::uint32_t> asked = unseen.mid(0, 3);
            QSet<std::uint32_t> delivered;
            client.fetchHeaders(asked, [&](std::uint32_t uid, const QByteArray& raw) {
                fuzz::check(asked.contains(uid), "a header for a UID not asked for");
                fuzz::check(!delivered.contains(uid), "a header handed over twice");
                delivered.insert(uid);
                const QString line = net::listLine(net::parseHeader(raw));
                fuzz::check(fuzz::onlyVisible(line), "list line shows a control character", line);
            });
        });
        const std::uint32_t first = unseen.value(0, 1);
        step([&] {
            QByteArray message;
            QString refusal;
            if (!client.fetchMessage(first, message, &refusal)) {
                texts.check(refusal, "an empty refusal of a message");
                fuzz::check(refusal.startsWith(QStringLiteral("Serveren avviste UID FETCH"))
                                || refusal.startsWith(QStringLiteral("Meldingen med UID")),
                            "a message refusal that says other", refusal);
            }
        });
        step([&] { client.deleteMessage(first); });
        step([&] {
            if (client.hasCapability(QStringLiteral("IDLE")))
                client.idle(std::chrono::milliseconds(20));
        });
        step([&] { client.noop(); });
        step([&] { client.takeChanges(); });
        if (options & 4)
            client.logoutWithoutWaiting();
        else
            client.disconnect();
    });

    fuzz::check(!plainExpunge(sent), "a plain EXPUNGE went out", QString::fromLatin1(sent));
    // The handshake never succeeds here, so everything after STARTTLS (or
    // from the start with TLS from the first byte) went out unprotected.
    const qsizetype starttls = options & 2 ? 0 : sent.indexOf(" STARTTLS\r\n");
    if (starttls >= 0)
        fuzz::check(!texts.holdsSecret(sent.mid(starttls)), "the password went out after a failed STARTTLS",
                    QString::fromLatin1(sent));
    return 0;
}
