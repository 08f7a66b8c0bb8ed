// This program's check beside other POP3 listers against a real Dovecot, on
// the same mailbox in one run: behind a 20 ms round trip and on the loopback
// address. The round trip is a packet-level delay between two network
// namespaces (delaylink.h) where the machine allows it, otherwise a relay
// of the byte stream. Also the memory with 10,000 lines listed, measured in
// a child process that holds nothing but the window and in the program
// itself, started as a user starts it (the server runs apart).
// Prints figures and the targets beside them and asserts nothing about
// them; a wrong line count is an error and ends the run with a non-zero
// status.
//
//   bench_realserver                                  the comparison, then the memory figure
//   bench_realserver --memory HOST PORT USER PASSWORD one check, then VmHWM (child mode)
#include "benchstrip.h"
#include "benchmail.h"
#include "cleartext.h"
#include "delaylink.h"
#include "delayproxy.h"
#include "dovecotserver.h"
#include "fakeplatform.h"
#include "folders.h"
#include "listcache.h"
#include "log.h"
#include "messagelist.h"
#include "platform.h"
#include "startup.h"
#include "stripwindow.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>
#include <QTemporaryDir>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace benchstrip;
using namespace benchmail;
using app::StripWindow;
using testsupport::DovecotServer;

constexpr int kRepeats = 5;
constexpr int kMessages = 1000;
constexpr int kLargeMailbox = 10000;

struct Target {
    QString host;
    std::uint16_t port = 0;
    QString user;
    QString password;
};

struct Row {
    explicit Row(const char* name)
        : client(name)
    {
    }
    const char* client;
    std::optional<double> seconds[2]{}; // 20 ms, loopback
};

class Comparison {
public:

    // link: the packet-level delay this process has entered, or nothing.
    explicit Comparison(bench::DelayLink* link)
        : link(link)
    {
    }
    int run(const char* self);

private:
    std::optional<double> firstCheck();
    std::optional<double> recheck();
    std::optional<double> lister(const char* mode, const Target& t);
    std::optional<double> fetchmail(const Target& t);
    // The program itself against t: its memory once the first check has
    // listed every line. False after an ERROR line.
    bool measureProgram(const Target& t);

    bench::DelayLink* link;

    testsupport::RuntimeFixtureGuard guard;
    QString script = QStringLiteral(BENCH_SOURCE_DIR "/pop3_lister.py");
    QString python = systemPython();
    QString cacheFolder;
    std::unique_ptr<StripWindow> kept;
    QTemporaryDir fetchmailHome;
};

std::optional<double> Comparison::firstCheck()
{
    // Nothing known: no cache file and a new window with a new watcher.
    QDir(cacheFolder).removeRecursively();
    QDir().mkpath(cacheFolder);
    kept = newStrip();
    return timeCheck(*kept, kMessages);
}

std::optional<double> Comparison::recheck()
{
    return timeCheck(*kept, kMessages);
}

std::optional<double> Comparison::lister(const char* mode, const Target& t)
{
    return timeProgram(python, {script, QLatin1String(mode), t.host, QString::number(t.port),
                                                   t.user, t.password, QString::number(kMessages)});
}

std::optional<double> Comparison::fetchmail(const Target& t)
{
    const QString rc = fetchmailHome.filePath(QStringLiteral("fetchmailrc"));
    QFile f(rc);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return std::nullopt;
    f.write(QStringLiteral("poll %1 port %2 proto pop3 user \"%3\" password \"%4\" sslproto ''\n")
                .arg(t.host).arg(t.port).arg(t.user, t.password).toUtf8());
    f.close();
    f.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), fetchmailHome.path());
    // fetchmail --check: 0 with mail waiting, 1 with none; both are answers.
    return timeProgram(QStringLiteral("fetchmail"),
                       {QStringLiteral("--check"), QStringLiteral("--nosyslog"), QStringLiteral("-f"), rc,
                        QStringLiteral("--pidfile"), fetchmailHome.filePath(QStringLiteral("pid"))},
                       1, env);
}

int Comparison::run(const char* self)
{
    QDir::setCurrent(guard.fake.root.path());
    rt::startLog();
    rt::locateSettingsFile();
    cacheFolder = rt::namedFolder(QStringLiteral("tmp"));

    std::printf("this program beside other POP3 listers, against a real Dovecot, %d messages\n", kMessages);
    if (link) {
        std::printf("delay: packet level, 10 ms each way between two network namespaces (a TUN relay here;\n"
                    "       the kernel's netem is not used)\n");
    } else {
        std::printf("delay: in-process relay of the byte stream, 10 ms each way (packet-level delay not usable\n"
                    "       here: %s)\n", bench::DelayLink::problem().c_str());
    }
    const bool haveFetchmail = !QStandardPaths::findExecutable(QStringLiteral("fetchmail")).isEmpty();
    std::printf("figures: medians of %d runs (the one-command-at-a-time client at 20 ms: one run); outside\n"
                "programs timed from start to exit, Python's start-up included; this program's check in\n"
                "process (no start-up), the re-check with the list cache of the first\n\n", kRepeats);

    // The delayed server: across the link, or behind the relay.
    std::unique_ptr<DovecotServer> far;
    std::unique_ptr<bench::DelayProxy> proxy;
    Target delayed;
    if (link) {
        testsupport::DovecotOptions options;
        options.address = QString::fromLatin1(bench::DelayLink::serverAddress());
        options.networkNamespace = QString::fromStdString(link->serverNamespacePath());
        far = std::make_unique<DovecotServer>(mailbox(kMessages), testsupport::DovecotTls{}, options);
        delayed = {far->host(), far->port(), far->user(), far->password()};
    } else {
        far = std::make_unique<DovecotServer>(mailbox(kMessages));
        proxy = std::make_unique<bench::DelayProxy>("127.0.0.1", far->port(), std::chrono::milliseconds(10));
        delayed = {far->host(), proxy->port(), far->user(), far->password()};
    }
    DovecotServer near(mailbox(kMessages));
    const Target direct{near.host(), near.port(), near.user(), near.password()};
    // The link's far end is not this machine's own address: the user's
    // consent to a log-in in clear text is given up front.
    net::allowClearText(delayed.host, delayed.port);

    enum { First, Again, Known, Burst, Sequential, Fetchmail };
    std::vector<Row> rows = {Row("this program, first check"), Row("this program, re-check (unchanged)"),
                             Row("Python, log-in and all TOPs in one burst (knows the count)"),
                             Row("Python, all TOP commands in one burst after log-in"),
                             Row("one command at a time (Python)")};
    if (haveFetchmail)
        rows.push_back(Row("fetchmail --check (count only)"));
    for (int column = 0; column < 2; ++column) {
        const Target& t = column == 0 ? delayed : direct;
        if (!writeBenchSettings(t.host, t.port, t.user, t.password))
            return 1;
        kept = newStrip(); // fonts and styles loaded before anything is timed
        if (!timeCheck(*kept, kMessages))
            return 1;
        // First checks and re-checks alternate: each re-check follows the
        // first check that filled the cache.
        std::vector<double> first, again;
        for (int i = 0; i < kRepeats; ++i) {
            const auto a = firstCheck();
            const auto b = a ? recheck() : std::nullopt;
            if (!b)
                return 1;
            first.push_back(*a);
            again.push_back(*b);
        }
        rows[First].seconds[column] = median(first);
        rows[Again].seconds[column] = median(again);
        rows[Known].seconds[column] = medianOf(kRepeats, [&] { return lister("known", t); });
        rows[Burst].seconds[column] = medianOf(kRepeats, [&] { return lister("burst", t); });
        rows[Sequential].seconds[column] =
            medianOf(column == 0 ? 1 : kRepeats, [&] { return lister("sequential", t); });
        if (haveFetchmail)
            rows[Fetchmail].seconds[column] = medianOf(kRepeats, [&] { return fetchmail(t); });
        for (const Row& r : rows) {
            if (!r.seconds[column])
                return 1;
        }
    }
    kept.reset();

    std::printf("| client | %d msgs, 20 ms RTT | ratio | %d msgs, loopback | ratio |\n", kMessages, kMessages);
    std::printf("|---|---:|---:|---:|---:|\n");
    for (const Row& r : rows) {
        std::printf("| %s | %.0f ms | %.2f | %.0f ms | %.2f |\n", r.client, *r.seconds[0] * 1000.0,
                    *r.seconds[0] / *rows[Known].seconds[0], *r.seconds[1] * 1000.0,
                    *r.seconds[1] / *rows[Known].seconds[1]);
    }
    if (!haveFetchmail)
        std::printf("(fetchmail is not installed: its row is left out)\n");
    std::printf("ratio: to the Python client that knows the count, in the same column\n");
    std::printf("target at 20 ms: first check <= 0.90 x the client that knows the count: %.2f\n",
                *rows[First].seconds[0] / *rows[Known].seconds[0]);
    if (haveFetchmail) {
        std::printf("target at 20 ms: unchanged re-check <= 0.60 x fetchmail --check: %.2f\n",
                    *rows[Again].seconds[0] / *rows[Fetchmail].seconds[0]);
    }
    std::printf("\n");
    std::fflush(stdout);

    proxy.reset();
    far.reset();
    near.stop();

    // The memory figure, in a process of its own.
    DovecotServer large(mailbox(kLargeMailbox));
    // fork and exec by hand: the server harness reaps orphans of this
    // process, so the child is waited for by its own id.
    const QByteArray port = QByteArray::number(large.port());
    const QByteArray host = large.host().toLocal8Bit(), user = large.user().toLocal8Bit(),
                     password = large.password().toLocal8Bit();
    std::fflush(stdout);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execl(self, self, "--memory", host.constData(), port.constData(), user.constData(), password.constData(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::printf("ERROR: the memory run failed (status %d)\n", status);
        return 1;
    }
    return measureProgram({large.host(), large.port(), large.user(), large.password()}) ? 0 : 1;
}

bool Comparison::measureProgram(const Target& t)
{
    // The settings of this run's root, pointed at t; the program reads them
    // through APPDATA as it would a user's.
    if (!writeBenchSettings(t.host, t.port, t.user, t.password))
        return false;
    const QString cacheFile = watch::ListCache::fileName(cacheFolder, {t.host, t.port, t.user});
    QFile::remove(cacheFile);
    QTemporaryDir run;
    QDir(run.path()).mkdir(QStringLiteral("run"));
    QFile::setPermissions(run.filePath(QStringLiteral("run")), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("APPDATA"), guard.fake.root.path());
    env.insert(QStringLiteral("USERNAME"), guard.fake.user);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), run.filePath(QStringLiteral("run")));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), run.filePath(QStringLiteral("cache")));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    QProcess program;
    program.setProcessEnvironment(env);
    program.setStandardOutputFile(QProcess::nullDevice());
    program.setStandardErrorFile(QProcess::nullDevice());
    // BENCH_PROGRAM in the environment names another build to measure.
    const QString path = qEnvironmentVariable("BENCH_PROGRAM", QStringLiteral(BENCH_PROGRAM));
    program.start(path, {});
    if (!program.waitForStarted(10000)) {
        std::printf("ERROR: %s did not start\n", qPrintable(path));
        return false;
    }
    // The list cache is written once the check has listed the whole mailbox.
    QElapsedTimer waited;
    waited.start();
    while (!QFile::exists(cacheFile) && program.state() == QProcess::Running && waited.elapsed() < 120000)
        QThread::msleep(50);
    QThread::msleep(500); // the list painted
    const Memory listed = readMemory(program.processId());
    const bool ran = program.state() == QProcess::Running && QFile::exists(cacheFile);
    program.terminate();
    if (!program.waitForFinished(10000)) {
        program.kill();
        program.waitForFinished(10000);
    }
    if (!ran) {
        std::printf("ERROR: the program did not list the %d messages\n", kLargeMailbox);
        return false;
    }
    std::printf("memory of the program itself (%s), %d messages:\n", qPrintable(path), kLargeMailbox);
    printMemory("with 10000 lines listed", listed);
    std::printf("target: the program resident with 10000 lines listed < 50 MiB: %.1f MiB (peak %.1f MiB)\n",
                double(listed.residentKb) / 1024.0, double(listed.peakKb) / 1024.0);
    return true;
}

int measureMemory(const Target& t)
{
    rt::returnLargeBlocksAtOnce(); // as the program's start does
    testsupport::RuntimeFixtureGuard guard;
    QDir::setCurrent(guard.fake.root.path());
    rt::startLog();
    rt::locateSettingsFile();
    if (!writeBenchSettings(t.host, t.port, t.user, t.password))
        return 1;
    const Memory before = readMemory();
    std::unique_ptr<StripWindow> stripWindow = newStrip();
    if (!timeCheck(*stripWindow, kLargeMailbox))
        return 1;
    QCoreApplication::processEvents(); // the list painted
    std::printf("memory of a process holding only the window (Dovecot runs apart), %d messages:\n", kLargeMailbox);
    printMemory("before the check", before);
    const Memory after = readMemory();
    printMemory("with 10000 lines listed", after);
    std::printf("target: resident with 10000 lines listed < 50 MiB: %.1f MiB (peak %.1f MiB)\n",
                double(after.residentKb) / 1024.0, double(after.peakKb) / 1024.0);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    // The slow link first: this thread enters its client side before any
    // other thread exists, so every thread and child process is there too.
    std::unique_ptr<bench::DelayLink> link;
    if (argc == 1 && bench::DelayLink::problem().empty()) {
        try {
            link = std::make_unique<bench::DelayLink>(std::chrono::milliseconds(10));
            link->enterClientSide();
        } catch (const std::exception& e) {
            std::printf("(the packet-level delay could not be set up: %s)\n", e.what());
            link.reset();
        }
    }
    offscreenWithoutMaskWarnings();
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    try {
        if (argc == 6 && std::strcmp(argv[1], "--memory") == 0) {
            return measureMemory({QString::fromLocal8Bit(argv[2]), quint16(std::atoi(argv[3])),
                                  QString::fromLocal8Bit(argv[4]), QString::fromLocal8Bit(argv[5])});
        }
        if (argc != 1) {
            std::fprintf(stderr, "bruk: bench_realserver [--memory HOST PORT USER PASSWORD]\n");
            return 2;
        }
        if (!DovecotServer::available()) {
            std::printf("ERROR: dovecot is not installed (tools/install-deps.sh installs it)\n");
            return 1;
        }
        Comparison comparison(link.get());
        // The run changes the working folder: the program by its full path.
        const QByteArray self = QCoreApplication::applicationFilePath().toLocal8Bit();
        return comparison.run(self.constData());
    } catch (const std::exception& e) {
        std::printf("ERROR: %s\n", e.what());
        return 1;
    }
}
