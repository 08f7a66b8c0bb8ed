// The POP3 client through a whole check against a server whose replies are
// the input (see protocolsession.h for its form): log-in with CAPA and
// maybe STLS, STAT, UIDL, the headers of the first messages as the list
// reads them, one header and one message alone, DELE, QUIT. Option bits:
// 1 no pipelining, 2 TLS from the first byte, 4 a plain disconnect instead
// of QUIT, 8 the count asked for with the log-in, 16 QUIT without waiting
// for its answer (before DELE), 0x80 the password with blanks around it.
// AUTH PLAIN is used wherever the input's CAPA offers it.
//
// Beyond no crash, no sanitizer report and no leak: every failure is a
// NetError whose text is not empty and shows no piece of the password; a
// refused RETR says so; the count is never negative; the headers reach the
// list in order, each once, and their list lines hold no control
// characters; after STLS (or with TLS from the start), whose handshake
// always fails here, the password never goes out.
#include "fuzzcheck.h"
#include "mailheader.h"
#include "pop3client.h"
#include "protocolsession.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static fuzz::LoopbackServer server;
    const std::optional<fuzz::Script> script = fuzz::Script::parse(data, size, server.dataPort());
    if (!script)
        return 0;
    const fuzz::ShownTexts texts(*script, true); // AUTH PLAIN sends the password in base64
    const unsigned options = script->options;

    const QByteArray sent = server.serve(*script, [&] {
        net::Pop3Client client;
        fuzz::aimAt(client, server, *script);
        client.allowPipelining = !(options & 1);
        client.implicitTls = options & 2;

        const auto step = [&](const std::function<void()>& f) { fuzz::attemptConnected(client, texts, f); };
        fuzz::attempt(texts, [&] {
            client.connect(options & 8 ? net::Pop3Client::AfterLogin::Count : net::Pop3Client::AfterLogin::Nothing);
        });
        int count = 0;
        step([&] {
            count = client.messageCount();
            fuzz::check(count >= 0, "a negative message count");
        });
        step([&] { client.uniqueIds(); });
        step([&] {
            const int last = std::min(count, 3);
            int next = 1;
            client.retrieveHeaders(1, last, [&](int i, const QByteArray& raw) {
                fuzz::check(i == next, "a header handed over out of order");
                ++next;
                const QString line = net::listLine(net::parseHeader(raw));
                fuzz::check(fuzz::onlyVisible(line), "list line shows a control character", line);
            });
            fuzz::check(next == std::max(last, 0) + 1, "headers missing without a failure");
        });
        step([&] { client.uniqueId(1); });
        step([&] { client.retrieveHeader(1); });
        step([&] {
            QByteArray message;
            QString refusal;
            if (!client.retrieveRaw(1, message, &refusal)) {
                texts.check(refusal, "an empty RETR refusal");
                fuzz::check(refusal.startsWith(QStringLiteral("Serveren avviste RETR 1")), "a RETR refusal that says other",
                            refusal);
            }
        });
        if (options & 16) {
            client.quitWithoutWaiting();
            fuzz::check(!client.connected(), "still connected after QUIT without waiting");
        }
        step([&] { client.deleteMessage(1); });
        if (options & 4)
            client.disconnect();
        else
            step([&] { client.quit(); });
    });

    // The handshake never succeeds here, so everything after STLS (or from
    // the start with TLS from the first byte) went out unprotected.
    const qsizetype stls = options & 2 ? 0 : sent.indexOf("STLS\r\n");
    if (stls >= 0)
        fuzz::check(!texts.holdsSecret(sent.mid(stls)), "the password went out after a failed STLS",
                    QString::fromLatin1(sent));
    return 0;
}
