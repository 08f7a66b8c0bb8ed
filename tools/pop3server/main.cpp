// Serves the *.eml files of a folder over POP3 on the loopback address until
// SIGTERM or SIGINT.
//
//   scripted-pop3-server [--port N] [--user U] [--password P]
//                        [--maildir DIR] [--delay-ms N] [--no-pipelining] [--ipv6]
//                        [--transcript FILE]
//
// The first line on stdout is "PORT <n>", the port actually listened on.
// With --transcript, every command line received is appended to FILE within
// a tenth of a second of its arrival (for tests that watch a client).
#include "scriptedpop3server.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <pthread.h>
#include <string>

namespace {

int usage(const char* why)
{
    std::fprintf(stderr, "scripted-pop3-server: %s\n", why);
    std::fprintf(stderr,
                 "bruk: scripted-pop3-server [--port N] [--user U] [--password P] [--maildir DIR]\n"
                 "                           [--delay-ms N] [--no-pipelining] [--ipv6] [--transcript FILE]\n");
    return 2;
}

bool toInt(const char* text, int min, int max, int& out)
{
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < min || v > max)
        return false;
    out = int(v);
    return true;
}

// A message file as CR LF lines, whatever line ends it was saved with.
QByteArray crlf(const QByteArray& data)
{
    QByteArray out;
    out.reserve(data.size() + data.size() / 40);
    for (qsizetype i = 0; i < data.size(); ++i) {
        const char c = data.at(i);
        if (c == '\r')
            continue;
        if (c == '\n')
            out += '\r';
        out += c;
    }
    if (!out.isEmpty() && !out.endsWith("\r\n"))
        out += "\r\n";
    return out;
}

} // namespace

int main(int argc, char** argv)
{
    testsupport::ScriptedPop3Options options;
    QString maildir;
    QString transcriptPath;
    int delayMs = 0;
    bool pipelining = true;

    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (a == "--port") {
            const char* v = value();
            int port = 0;
            if (!v || !toInt(v, 0, 65535, port))
                return usage("--port trenger et tall 0-65535");
            options.port = std::uint16_t(port);
        } else if (a == "--user") {
            const char* v = value();
            if (!v)
                return usage("--user trenger et navn");
            options.user = QByteArray(v);
        } else if (a == "--password") {
            const char* v = value();
            if (!v)
                return usage("--password trenger et passord");
            options.password = QByteArray(v);
        } else if (a == "--maildir") {
            const char* v = value();
            if (!v)
                return usage("--maildir trenger en mappe");
            maildir = QString::fromLocal8Bit(v);
        } else if (a == "--delay-ms") {
            const char* v = value();
            if (!v || !toInt(v, 0, 3600000, delayMs))
                return usage("--delay-ms trenger et tall");
        } else if (a == "--transcript") {
            const char* v = value();
            if (!v)
                return usage("--transcript trenger en fil");
            transcriptPath = QString::fromLocal8Bit(v);
        } else if (a == "--no-pipelining") {
            pipelining = false;
        } else if (a == "--ipv6") {
            options.ipv6 = true;
        } else {
            return usage(("ukjent valg " + a).c_str());
        }
    }

    QList<QByteArray> messages;
    if (!maildir.isEmpty()) {
        const QDir dir(maildir);
        if (!dir.exists())
            return usage(("finner ikke mappen " + maildir.toStdString()).c_str());
        const QStringList names = dir.entryList({QStringLiteral("*.eml")}, QDir::Files, QDir::Name);
        for (const QString& name : names) {
            QFile f(dir.filePath(name));
            if (!f.open(QIODevice::ReadOnly)) {
                std::fprintf(stderr, "scripted-pop3-server: kan ikke lese %s\n", qPrintable(f.fileName()));
                return 1;
            }
            messages.append(crlf(f.readAll()));
        }
    }

    // Blocked before the server thread starts, so that only sigwait sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    try {
        testsupport::ScriptedPop3Server server(options);
        server.setMessages(messages);
        server.setReplyDelayMs(delayMs);
        if (!pipelining)
            server.setPipelining(false);

        std::printf("PORT %u\n", unsigned(server.port()));
        std::fflush(stdout);

        QFile transcript(transcriptPath);
        if (!transcriptPath.isEmpty() && !transcript.open(QIODevice::WriteOnly | QIODevice::Append)) {
            std::fprintf(stderr, "scripted-pop3-server: kan ikke skrive %s\n", qPrintable(transcriptPath));
            return 1;
        }
        qsizetype written = 0;
        const auto writeTranscript = [&] {
            if (!transcript.isOpen())
                return;
            const QList<QByteArray> lines = server.received();
            for (; written < lines.size(); ++written)
                transcript.write(lines.at(written) + '\n');
            transcript.flush();
        };
        const timespec tenth{0, 100000000};
        while (sigtimedwait(&stopSignals, nullptr, &tenth) < 0)
            writeTranscript();
        server.stop();
        writeTranscript();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "scripted-pop3-server: %s\n", e.what());
        return 1;
    }
    return 0;
}
