// This program's check beside other POP3 listers against a real Dovecot, on
// the same mailbox in one run: behind a 20 ms round trip and on the loopback
// address. Also the peak memory with 10,000 lines listed, measured in a
// child process that holds nothing but the window (the server runs apart).
// Prints figures and asserts nothing about them; a wrong line count is an
// error and ends the run with a non-zero status.
//
//   bench_realserver                                  the comparison, then the memory figure
//   bench_realserver --memory HOST PORT USER PASSWORD one check, then VmHWM (child mode)
#include "benchmail.h"
#include "delayproxy.h"
#include "dovecotserver.h"
#include "fakeplatform.h"
#include "listcache.h"
#include "textfil.h"
#include "visning.h"
#include "zt_reg.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QListWidget>
#include <QProcess>
#include <QStandardPaths>
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

using namespace benchmail;
using app::TBrevglimtForm;
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

// Why a packet-level delay (network namespaces and netem) cannot be used
// here; empty when it can.
QString netemProblem()
{
    QProcess p;
    p.start(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral(
        "ns=brevglimt-probe-$$; ip netns add $ns 2>&1 || exit 1; "
        "ip netns exec $ns tc qdisc add dev lo root netem delay 1ms 2>&1; rc=$?; ip netns del $ns; exit $rc")});
    if (!p.waitForFinished(10000) || p.exitCode() != 0)
        return QString::fromLocal8Bit(p.readAll()).trimmed();
    return {};
}

// One check of the window: seconds, or nothing after an ERROR line.
std::optional<double> timeCheck(TBrevglimtForm& form, int expected)
{
    QElapsedTimer timer;
    timer.start();
    try {
        form.checkMailbox();
    } catch (const std::exception& e) {
        std::printf("ERROR: check failed: %s\n", e.what());
        return std::nullopt;
    }
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    if (form.messageList->count() != expected) {
        std::printf("ERROR: %d messages on the server, %d lines in the list\n", expected,
                    int(form.messageList->count()));
        return std::nullopt;
    }
    return seconds;
}

std::unique_ptr<TBrevglimtForm> newForm()
{
    auto form = std::make_unique<TBrevglimtForm>();
    form->readSettings();
    form->show();
    QCoreApplication::processEvents();
    return form;
}

// Seconds one run of an outside program took, or nothing when it failed.
std::optional<double> timeProgram(const QString& program, const QStringList& args,
                                  const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment())
{
    QProcess p;
    p.setProcessEnvironment(env);
    QElapsedTimer timer;
    timer.start();
    p.start(program, args);
    if (!p.waitForFinished(600000) || p.exitStatus() != QProcess::NormalExit) {
        std::printf("ERROR: %s did not finish\n", qPrintable(program));
        return std::nullopt;
    }
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    // fetchmail --check: 0 with mail waiting, 1 with none; both are answers.
    if (p.exitCode() > 1) {
        std::printf("ERROR: %s %s: %s\n", qPrintable(program), qPrintable(args.join(QLatin1Char(' '))),
                    p.readAllStandardError().constData());
        return std::nullopt;
    }
    return seconds;
}

std::optional<double> medianOf(int repeats, const std::function<std::optional<double>()>& run)
{
    std::vector<double> times;
    for (int i = 0; i < repeats; ++i) {
        const auto t = run();
        if (!t)
            return std::nullopt;
        times.push_back(*t);
    }
    return median(times);
}

struct Row {
    explicit Row(const char* name)
        : client(name)
    {
    }
    const char* client;
    std::optional<double> seconds[2]{}; // 20 ms, loopback
    int repeats = kRepeats;
};

class Comparison {
public:
    int run(const char* self);

private:
    std::optional<double> firstCheck();
    std::optional<double> recheck();
    std::optional<double> lister(const char* mode, const Target& t);
    std::optional<double> fetchmail(const Target& t);

    testsupport::RuntimeFixtureGuard guard;
    QString script = QStringLiteral(BENCH_SOURCE_DIR "/pop3_lister.py");
    QString cacheFolder;
    std::unique_ptr<TBrevglimtForm> kept;
    QTemporaryDir fetchmailHome;
};

std::optional<double> Comparison::firstCheck()
{
    // Nothing known: no cache file and a new window with a new watcher.
    QDir(cacheFolder).removeRecursively();
    QDir().mkpath(cacheFolder);
    kept = newForm();
    return timeCheck(*kept, kMessages);
}

std::optional<double> Comparison::recheck()
{
    return timeCheck(*kept, kMessages);
}

std::optional<double> Comparison::lister(const char* mode, const Target& t)
{
    return timeProgram(QStringLiteral("python3"), {script, QLatin1String(mode), t.host, QString::number(t.port),
                                                   t.user, t.password});
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
    return timeProgram(QStringLiteral("fetchmail"),
                       {QStringLiteral("--check"), QStringLiteral("--nosyslog"), QStringLiteral("-f"), rc,
                        QStringLiteral("--pidfile"), fetchmailHome.filePath(QStringLiteral("pid"))},
                       env);
}

int Comparison::run(const char* self)
{
    QDir::setCurrent(guard.fake.root.path());
    rt::textfilStart();
    rt::locateIniFile();
    cacheFolder = rt::tavlundpath(QStringLiteral("tmp"));

    std::printf("this program beside other POP3 listers, against a real Dovecot on 127.0.0.1, %d messages\n",
                kMessages);
    const QString netem = netemProblem();
    std::printf("delay: %s\n", netem.isEmpty()
                    ? "in-process delay proxy, 10 ms each way (netem is usable here, but the proxy is what runs)"
                    : qPrintable(QStringLiteral("in-process delay proxy, 10 ms each way; packet-level netem in "
                                                "network namespaces not usable here (%1)").arg(netem)));
    const bool haveFetchmail = !QStandardPaths::findExecutable(QStringLiteral("fetchmail")).isEmpty();
    std::printf("figures: medians of %d runs (the one-command-at-a-time client at 20 ms: one run); outside\n"
                "programs timed from start to exit, Python's start-up included\n\n", kRepeats);

    DovecotServer dovecot(mailbox(kMessages));
    bench::DelayProxy proxy("127.0.0.1", dovecot.port(), std::chrono::milliseconds(10));
    const Target delayed{dovecot.host(), proxy.port(), dovecot.user(), dovecot.password()};
    const Target direct{dovecot.host(), dovecot.port(), dovecot.user(), dovecot.password()};

    std::vector<Row> rows = {Row("this program, first check"), Row("this program, re-check (unchanged)"),
                             Row("Python, all TOP commands in one burst"), Row("one command at a time (Python)")};
    if (haveFetchmail)
        rows.push_back(Row("fetchmail --check (count only)"));
    for (int column = 0; column < 2; ++column) {
        const Target& t = column == 0 ? delayed : direct;
        if (!writeBenchSettings(t.host, t.port, t.user, t.password))
            return 1;
        kept = newForm(); // fonts and styles loaded before anything is timed
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
        rows[0].seconds[column] = median(first);
        rows[1].seconds[column] = median(again);
        rows[2].seconds[column] = medianOf(kRepeats, [&] { return lister("burst", t); });
        rows[3].repeats = column == 0 ? 1 : kRepeats;
        rows[3].seconds[column] = medianOf(rows[3].repeats, [&] { return lister("sequential", t); });
        if (haveFetchmail)
            rows[4].seconds[column] = medianOf(kRepeats, [&] { return fetchmail(t); });
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
                    *r.seconds[0] / *rows[2].seconds[0], *r.seconds[1] * 1000.0,
                    *r.seconds[1] / *rows[2].seconds[1]);
    }
    if (!haveFetchmail)
        std::printf("(fetchmail is not installed: its row is left out)\n");
    std::printf("ratio: to the one-burst Python client in the same column\n\n");
    std::fflush(stdout);

    proxy.stop();
    dovecot.stop();

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
    return 0;
}

int measureMemory(const Target& t)
{
    testsupport::RuntimeFixtureGuard guard;
    QDir::setCurrent(guard.fake.root.path());
    rt::textfilStart();
    rt::locateIniFile();
    if (!writeBenchSettings(t.host, t.port, t.user, t.password))
        return 1;
    const Memory before = readMemory();
    std::unique_ptr<TBrevglimtForm> form = newForm();
    if (!timeCheck(*form, kLargeMailbox))
        return 1;
    QCoreApplication::processEvents(); // the list painted
    std::printf("memory of a process holding only the window (Dovecot runs apart), %d messages:\n", kLargeMailbox);
    printMemory("before the check", before);
    printMemory("peak with 10000 lines listed", readMemory());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
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
        Comparison comparison;
        // The run changes the working folder: the program by its full path.
        const QByteArray self = QCoreApplication::applicationFilePath().toLocal8Bit();
        return comparison.run(self.constData());
    } catch (const std::exception& e) {
        std::printf("ERROR: %s\n", e.what());
        return 1;
    }
}
