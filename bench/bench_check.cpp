// How long one mailbox check of the main window takes, with the TOP
// commands pipelined and sent one at a time, on the loopback address and
// behind a 20 ms round trip; and how much memory the process holds with a
// 10,000-line list. Prints figures and asserts nothing about them; a wrong
// line count is an error and ends the run with a non-zero status.
//
//   bench_check [--full]
//
// Without --full the 10,000-message check one command at a time behind
// 20 ms (over three minutes of round trips) is timed over its first 1,000
// TOP commands and the whole figure extrapolated, marked as such.
#include "benchmail.h"
#include "delayproxy.h"
#include "fakeplatform.h"
#include "folders.h"
#include "inifile.h"
#include "log.h"
#include "mailboxwatcher.h"
#include "messagelist.h"
#include "scriptedpop3server.h"
#include "startup.h"
#include "state.h"
#include "stripwindow.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocale>
#include <QTimeZone>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <vector>

namespace {

using namespace benchmail;
using app::StripWindow;
using testsupport::Pop3Fault;
using testsupport::ScriptedPop3Server;

constexpr int kRepeats = 3; // runs per figure, the median printed
constexpr int kLargeMailbox = 10000;
// The extrapolated figure: the time per TOP comes from the difference
// between stopping after kSampleShort and after kSampleLong messages, so
// that login, STAT and UIDL cancel out.
constexpr int kSampleShort = 200;
constexpr int kSampleLong = 1000;
const QByteArray kSampleEnd = "sample end";

void row(int messages, int rttMs, bool pipelined, double seconds, const char* note = "")
{
    std::printf("%-10d%-8d%-12s%.3f%s\n", messages, rttMs, pipelined ? "pipelined" : "sequential", seconds, note);
    std::fflush(stdout);
}

class Bench {
public:
    int run(bool full);

private:
    bool writeSettings(std::uint16_t port);
    std::unique_ptr<StripWindow> newStrip(bool pipelined);
    // One full check on a fresh window: seconds, or nothing after an error
    // line. The window is handed back in `keep` when asked for.
    std::optional<double> timeCheck(int messages, bool pipelined, std::unique_ptr<StripWindow>* keep = nullptr);
    // A check one command at a time that the server breaks off with "-ERR"
    // at TOP lines + 1: seconds up to that point.
    std::optional<double> timeFirstLines(int lines);
    std::optional<double> figure(int messages, bool pipelined, int repeats, std::unique_ptr<StripWindow>* keep);

    testsupport::RuntimeFixtureGuard guard;
    std::unique_ptr<ScriptedPop3Server> server;
    std::unique_ptr<bench::DelayProxy> proxy;
};

bool Bench::writeSettings(std::uint16_t port)
{
    return writeBenchSettings(QStringLiteral("127.0.0.1"), port, QStringLiteral("ola"), QStringLiteral("hemmelig"));
}

std::unique_ptr<StripWindow> Bench::newStrip(bool pipelined)
{
    // Every timed check here is a first check: no list kept from an earlier
    // one (bench_realserver times the re-check).
    const QDir tmp(rt::namedFolder(QStringLiteral("tmp")));
    for (const QString& cache : tmp.entryList({QStringLiteral("pop3-liste-*.cache")}, QDir::Files))
        QFile::remove(tmp.filePath(cache));
    auto stripWindow = std::make_unique<StripWindow>();
    stripWindow->readSettings();
    stripWindow->watcher().setAllowPipelining(pipelined);
    stripWindow->show();
    QCoreApplication::processEvents();
    server->clearReceived();
    return stripWindow;
}

std::optional<double> Bench::timeCheck(int messages, bool pipelined, std::unique_ptr<StripWindow>* keep)
{
    std::unique_ptr<StripWindow> stripWindow = newStrip(pipelined);
    QElapsedTimer timer;
    timer.start();
    try {
        stripWindow->checkMailbox();
    } catch (const std::exception& e) {
        std::printf("ERROR: check of %d messages failed: %s\n", messages, e.what());
        return std::nullopt;
    }
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    QCoreApplication::processEvents(); // the window paints its list, untimed

    const int lines = int(stripWindow->listModel->lines().size());
    if (lines != messages) {
        std::printf("ERROR: %d messages on the server, %d lines in the list\n", messages, lines);
        return std::nullopt;
    }
    const QString last = stripWindow->listModel->lines().at(lines - 1);
    if (!last.contains(QStringLiteral("<a%1@eksempel.no>").arg(messages))) {
        std::printf("ERROR: the last line is not message %d: %s\n", messages, qPrintable(last));
        return std::nullopt;
    }
    // The figure must stand for the mode it is printed under.
    const int queued = server->maxQueuedCommands();
    if (pipelined != (queued > 1)) {
        std::printf("ERROR: %s check, but at most %d commands waited at the server at once\n",
                    pipelined ? "pipelined" : "sequential", queued);
        return std::nullopt;
    }
    server->clearReceived();
    if (keep)
        *keep = std::move(stripWindow);
    return seconds;
}

std::optional<double> Bench::timeFirstLines(int lines)
{
    server->addFault(Pop3Fault::error("TOP", kSampleEnd).onArgument(QByteArray::number(lines + 1)));
    std::unique_ptr<StripWindow> stripWindow = newStrip(false);
    bool stoppedThere = false;
    QElapsedTimer timer;
    timer.start();
    try {
        stripWindow->checkMailbox();
    } catch (const net::NetError& e) {
        stoppedThere = e.text().endsWith(QLatin1String(kSampleEnd));
        if (!stoppedThere)
            std::printf("ERROR: check failed: %s\n", e.what());
    } catch (const std::exception& e) {
        std::printf("ERROR: check failed: %s\n", e.what());
    }
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    server->clearFaults();
    server->clearReceived();
    if (!stoppedThere)
        return std::nullopt;
    if (stripWindow->listModel->lines().size() != lines) {
        std::printf("ERROR: stopped at TOP %d, but %d lines in the list\n", lines + 1, int(stripWindow->listModel->lines().size()));
        return std::nullopt;
    }
    return seconds;
}

std::optional<double> Bench::figure(int messages, bool pipelined, int repeats, std::unique_ptr<StripWindow>* keep)
{
    std::vector<double> times;
    for (int i = 0; i < repeats; ++i) {
        const auto t = timeCheck(messages, pipelined, i + 1 == repeats ? keep : nullptr);
        if (!t)
            return std::nullopt;
        times.push_back(*t);
    }
    return median(times);
}

int Bench::run(bool full)
{
    QDir::setCurrent(guard.fake.root.path());
    rt::startLog();
    rt::locateSettingsFile();
    server = std::make_unique<ScriptedPop3Server>();
    server->setCredentials("ola", "hemmelig");
    server->setPipelining(true);
    proxy = std::make_unique<bench::DelayProxy>("127.0.0.1", server->port(), std::chrono::milliseconds(10));

    const QList<QByteArray> large = mailbox(kLargeMailbox);
    qsizetype bytes = 0;
    qsizetype headerBytes = 0;
    for (const QByteArray& m : large) {
        bytes += m.size();
        headerBytes += m.indexOf("\r\n\r\n") + 2;
    }
    std::printf("mailbox check of the main window against an in-process POP3 server on 127.0.0.1\n");
    std::printf("messages of %lld bytes on average, %lld of them header; rtt 20 = 10 ms each way through a delay "
                "proxy\n",
                static_cast<long long>(bytes / large.size()), static_cast<long long>(headerBytes / large.size()));
    std::printf("each figure is the median of %d checks, except the 20 ms sequential ones (one check)\n\n", kRepeats);

    // One check first, so that fonts, styles and the like are loaded before
    // anything is timed.
    server->setMessages(large.mid(0, 1000));
    if (!writeSettings(server->port()) || !timeCheck(1000, true))
        return 1;

    std::printf("messages  rtt_ms  mode        seconds\n");
    std::fflush(stdout);
    std::unique_ptr<StripWindow> listed; // the last window with a whole list
    Memory before;
    for (const int messages : {1000, kLargeMailbox}) {
        server->setMessages(large.mid(0, messages));
        if (messages == kLargeMailbox) {
            listed.reset();
            before = readMemory();
        }
        for (const int rtt : {0, 20}) {
            if (!writeSettings(rtt == 0 ? server->port() : proxy->port()))
                return 1;
            for (const bool pipelined : {true, false}) {
                const bool slow = rtt > 0 && !pipelined;
                if (slow && messages == kLargeMailbox && !full) {
                    const auto shortRun = timeFirstLines(kSampleShort);
                    const auto longRun = shortRun ? timeFirstLines(kSampleLong) : std::nullopt;
                    if (!longRun)
                        return 1;
                    const double perTop = (*longRun - *shortRun) / (kSampleLong - kSampleShort);
                    const double estimate = *longRun + perTop * (messages - kSampleLong);
                    row(messages, rtt, pipelined, estimate, "  (extrapolated, see below)");
                    std::printf("          extrapolated: the first %d TOPs took %.2f s, %.2f ms per TOP after the "
                                "first %d;\n          --full times the whole check\n",
                                kSampleLong, *longRun, perTop * 1000.0, kSampleShort);
                    continue;
                }
                const auto t = figure(messages, pipelined, slow ? 1 : kRepeats, &listed);
                if (!t)
                    return 1;
                row(messages, rtt, pipelined, *t);
            }
        }
    }

    if (!listed || listed->listModel->lines().size() != kLargeMailbox) {
        std::printf("ERROR: no window with %d lines is left to measure\n", kLargeMailbox);
        return 1;
    }
    std::printf("\n");
    printMemory("memory before the 10000-message checks", before);
    printMemory("peak memory with 10000 lines listed", readMemory());
    std::printf("(the process also holds the test server and its mailbox of %.1f MiB)\n", double(bytes) / 1048576.0);

    listed.reset();
    proxy->stop();
    server->stop();
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    bool full = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--full") == 0) {
            full = true;
        } else {
            std::fprintf(stderr, "bruk: bench_check [--full]\n");
            return 2;
        }
    }
    offscreenWithoutMaskWarnings();
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    try {
        Bench bench;
        return bench.run(full);
    } catch (const std::exception& e) {
        std::printf("ERROR: %s\n", e.what());
        return 1;
    }
}
