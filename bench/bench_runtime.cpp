// How long the runtime takes with large files: loading a settings file of
// 40,000 keys (in 400 sections, and in one), and starting up over a 300 MB log, with the peak memory of
// the process. Prints figures and asserts nothing about them; targets are
// printed beside each figure.
//
//   bench_runtime
#include "inifile.h"
#include "platform.h"
#include "startup.h"
#include "state.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <sys/resource.h>
#include <vector>

namespace {

constexpr int kRepeats = 5; // runs per figure, the median printed
constexpr int kKeys = 40000;
constexpr qint64 kLogBytes = 300LL * 1000 * 1000;

class BenchPlatform : public rt::Platform {
public:
    explicit BenchPlatform(QString root) : m_root(std::move(root)) {}
    QString appDataRoot() const override { return m_root; }
    QString programFile() const override { return QStringLiteral("/opt/brevglimt/bin/brevglimt"); }

private:
    QString m_root;
};

double peakMiB()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss) / 1024.0;
}

double medianMs(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// Start-up over an old log of kLogBytes: time and the process's peak memory.
bool benchLogStart(const QString& base)
{
    const QString root = base + QStringLiteral("/start");
    const QString tavlund = root + QStringLiteral("/Tavlund/");
    QDir().mkpath(tavlund + QStringLiteral("etc"));
    QDir().mkpath(tavlund + QStringLiteral("data"));
    QDir().mkpath(tavlund + QStringLiteral("log"));
    if (!writeFile(tavlund + QStringLiteral("etc/tavlund.ini"), "[STANDARD]\r\nLogToFile=1\r\nVerboseLogging=1\r\n"))
        return false;
    QFile log(tavlund + QStringLiteral("log/brevglimt.log"));
    if (!log.open(QIODevice::WriteOnly))
        return false;
    const QByteArray line = "30.10.2011 13:17:13 SMTP: sendte melding til kari@firma.example, 2048 byte\r\n";
    QByteArray chunk;
    while (chunk.size() < 1024 * 1024)
        chunk += line;
    for (qint64 written = 0; written < kLogBytes; written += chunk.size()) {
        if (log.write(chunk) != chunk.size())
            return false;
    }
    log.close();

    BenchPlatform platform(root);
    rt::setPlatform(&platform);
    rt::resetState();
    QDir::setCurrent(root);
    const double before = peakMiB();
    QElapsedTimer timer;
    timer.start();
    rt::runtimeStart({});
    const double startMs = double(timer.nsecsElapsed()) / 1e6;
    rt::runtimeStop();
    const double totalMs = double(timer.nsecsElapsed()) / 1e6;
    const double peak = peakMiB();
    rt::setPlatform(nullptr);
    rt::resetState();
    std::printf("start-up with a %lld MB old log: %.1f ms (target < 300 ms), start and stop %.1f ms\n",
                kLogBytes / 1000000, startMs, totalMs);
    std::printf("  peak memory of the process: %.1f MiB (target < 60 MiB; %.1f MiB before start-up)\n", peak, before);
    return true;
}

// Loading and saving a settings file of kKeys keys, perSection keys in
// each section.
bool benchSettings(const QString& base, int perSection)
{
    const QString file = base + QStringLiteral("/stor.ini");
    QByteArray text;
    for (int i = 0; i < kKeys; ++i) {
        if (i % perSection == 0)
            text += "[Seksjon" + QByteArray::number(i / perSection) + "]\r\n";
        text += "k" + QByteArray::number(i) + "=v\r\n";
    }
    const QString lastSection = QStringLiteral("SEKSJON%1").arg((kKeys - 1) / perSection);
    if (!writeFile(file, text))
        return false;
    std::vector<double> load;
    std::vector<double> save;
    for (int r = 0; r < kRepeats; ++r) {
        QElapsedTimer timer;
        timer.start();
        rt::IniFile ini(file);
        load.push_back(double(timer.nsecsElapsed()) / 1e6);
        if (ini.readString(lastSection, QStringLiteral("K39999")) != QStringLiteral("v")) {
            std::fprintf(stderr, "the last key was not found\n");
            return false;
        }
        ini.writeString(QStringLiteral("Seksjon0"), QStringLiteral("k0"), QString::number(r));
        timer.restart();
        if (!ini.updateFile())
            return false;
        save.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    std::printf("settings file of %d keys, %d a section (%lld KB): load %.1f ms (target < 50 ms), save %.1f ms\n",
                kKeys, perSection, qint64(text.size()) / 1000, medianMs(load), medianMs(save));
    return true;
}

} // namespace

int main()
{
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    // The start-up first, so that its peak memory is not the settings load's.
    if (!benchLogStart(dir.path()) || !benchSettings(dir.path(), 100) || !benchSettings(dir.path(), kKeys)) {
        std::fprintf(stderr, "bench_runtime: could not prepare the files\n");
        return 1;
    }
    return 0;
}
