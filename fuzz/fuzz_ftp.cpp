// The FTP client through a whole session against a server whose replies,
// and the bytes of its data connections, are the input (see
// protocolsession.h for its form): greeting, maybe AUTH TLS, log-in, TYPE I,
// SIZE, a download and an upload, QUIT. Option bits: 1 and 2 the data mode
// (0 and 3 passive first, 1 passive only, 2 active), 4 explicit TLS, 0x80
// the password with blanks around it.
//
// Passive replies lead only to the target's data listener: a 227 or 229
// line that would send the client to another port has its digits taken
// out. In active mode the target connects to the port the client's PORT
// command names, on 127.0.0.1.
//
// Beyond no crash, no sanitizer report and no leak: every failure is a
// NetError whose text is not empty and shows no piece of the password, and
// neither does the last reply; SIZE gives a size or -1; a download is
// the data connection's bytes exactly and never longer than the size SIZE
// announced; an upload reports the bytes it had; with explicit TLS, whose
// handshake always fails here, the password never goes out.
#include "fuzzcheck.h"
#include "ftpclient.h"
#include "protocolsession.h"

#include <QBuffer>
#include <QRegularExpression>

#include <cstddef>
#include <cstdint>

namespace {

// The data port the client would take from this line as the first line of
// a reply to EPSV (229) or PASV (227); 0 for none.
int passivePort(const QByteArray& line)
{
    if (line.startsWith("229")) {
        static const QRegularExpression rx(QStringLiteral("\\((.)\\1\\1(\\d{1,5})\\1\\)"));
        const QRegularExpressionMatch m = rx.match(QString::fromUtf8(line));
        const int p = m.hasMatch() ? m.captured(2).toInt() : 0;
        return p >= 1 && p <= 65535 ? p : 0;
    }
    if (line.startsWith("227")) {
        static const QRegularExpression rx(
            QStringLiteral("(\\d{1,3}),(\\d{1,3}),(\\d{1,3}),(\\d{1,3}),(\\d{1,3}),(\\d{1,3})"));
        const QRegularExpressionMatch m = rx.match(QString::fromUtf8(line.mid(4)));
        if (!m.hasMatch())
            return 0;
        const int hi = m.captured(5).toInt();
        const int lo = m.captured(6).toInt();
        return hi <= 255 && lo <= 255 ? hi * 256 + lo : 0;
    }
    return 0;
}

// Takes the digits out of every line that would aim a data connection at
// another port than the data listener's (other tests' servers may listen
// beside a run).
void keepToDataPort(QByteArray& control, int dataPort)
{
    qsizetype start = 0;
    while (start < control.size()) {
        qsizetype end = control.indexOf('\n', start);
        if (end < 0)
            end = control.size();
        QByteArray line = control.mid(start, end - start);
        if (line.endsWith('\r'))
            line.chop(1);
        const int port = passivePort(line);
        if (port != 0 && port != dataPort) {
            for (qsizetype i = start + 3; i < end; ++i) {
                if (control.at(i) >= '0' && control.at(i) <= '9')
                    control[i] = 'x';
            }
        }
        start = end + 1;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static fuzz::LoopbackServer server(true);
    std::optional<fuzz::Script> script = fuzz::Script::parse(data, size, server.dataPort());
    if (!script)
        return 0;
    keepToDataPort(script->control, server.dataPort());
    const fuzz::ShownTexts texts(*script, false);
    const unsigned options = script->options;

    const QByteArray sent = server.serve(*script, [&] {
        net::FtpClient client;
        fuzz::aimAt(client, server, *script);
        const net::FtpClient::DataMode modes[] = {net::FtpClient::DataMode::PassiveFirst,
                                                  net::FtpClient::DataMode::Passive,
                                                  net::FtpClient::DataMode::Active,
                                                  net::FtpClient::DataMode::PassiveFirst};
        client.dataMode = modes[options & 3];
        client.explicitTls = options & 4;

        const auto step = [&](const std::function<void()>& f) { fuzz::attemptConnected(client, texts, f); };
        const QString path = QStringLiteral("fil.txt");
        fuzz::attempt(texts, [&] { client.connect(); });
        qint64 announced = -1;
        step([&] {
            announced = client.size(path);
            fuzz::check(announced >= -1, "SIZE gave a negative size", QString::number(announced));
        });
        step([&] {
            QBuffer sink;
            sink.open(QIODevice::WriteOnly);
            const qint64 total = client.retrieve(path, sink);
            fuzz::check(total == sink.data().size(), "a download reports other bytes than it wrote");
            fuzz::check(announced < 0 || total <= announced, "a download longer than SIZE announced",
                        QStringLiteral("%1 > %2").arg(total).arg(announced));
            fuzz::check(sink.data() == script->data, "a download is not the bytes the server sent");
        });
        step([&] {
            QByteArray content = "Opplastet innhold\r\n";
            QBuffer source(&content);
            source.open(QIODevice::ReadOnly);
            const qint64 total = client.store(source, QStringLiteral("opp.txt"));
            fuzz::check(total == content.size(), "an upload reports other bytes than it had");
        });
        const QString last = client.lastReply();
        if (!last.isEmpty())
            texts.check(last, "the last reply");
        client.disconnect();
    });

    // The handshake never succeeds here: with explicit TLS nothing secret
    // may have gone out.
    if (options & 4)
        fuzz::check(!texts.holdsSecret(sent), "the password went out without TLS", QString::fromLatin1(sent));
    return 0;
}
