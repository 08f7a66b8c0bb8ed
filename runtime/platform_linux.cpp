// Linux implementation of the platform layer.
#include "platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <malloc.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rt {

namespace {

QString cleanSlashes(QString path)
{
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path;
}

QString domainOf(const QString& fqdn)
{
    const qsizetype dot = fqdn.indexOf(QLatin1Char('.'));
    if (dot < 0 || dot + 1 >= fqdn.size())
        return {};
    return fqdn.mid(dot + 1);
}

// Lines of a small system file split into words, comments dropped.
QList<QStringList> wordsOfFile(const QString& path)
{
    QList<QStringList> result;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return result;
    const QStringList lines = QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'));
    for (QString line : lines) {
        const qsizetype hash = line.indexOf(QLatin1Char('#'));
        if (hash >= 0)
            line.truncate(hash);
        QStringList words = line.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (!words.isEmpty())
            result.append(words);
    }
    return result;
}

} // namespace

QString Platform::appDataRoot() const
{
    QString root = environment("APPDATA");
    if (root.isEmpty())
        root = environment("XDG_DATA_HOME");
    if (root.isEmpty())
        root = QDir::homePath() + QStringLiteral("/.local/share");
    return cleanSlashes(root);
}

QString Platform::programFile() const
{
    if (QCoreApplication::instance())
        return QCoreApplication::applicationFilePath();
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
}

QString Platform::environment(const char* name) const
{
    return qEnvironmentVariable(name);
}

QString Platform::hostName() const
{
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) != 0)
        return {};
    const QString name = QString::fromLocal8Bit(buf);
    return name.section(QLatin1Char('.'), 0, 0);
}

QString Platform::dnsDomain() const
{
    // The host's fully qualified name, from the kernel or /etc/hosts; no DNS
    // query, so start-up never waits on the network.
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) == 0) {
        const QString full = QString::fromLocal8Bit(buf);
        if (const QString d = domainOf(full); !d.isEmpty())
            return d;
        const QString prefix = full + QLatin1Char('.');
        for (const QStringList& words : wordsOfFile(QStringLiteral("/etc/hosts"))) {
            if (!words.mid(1).contains(full))
                continue;
            for (const QString& name : words.mid(1)) {
                if (name.startsWith(prefix))
                    return domainOf(name);
            }
        }
    }
    // Else the resolver's own domain, or the first search domain.
    QString search;
    for (const QStringList& words : wordsOfFile(QStringLiteral("/etc/resolv.conf"))) {
        if (words.size() < 2)
            continue;
        if (words[0] == QLatin1String("domain"))
            return words[1];
        if (words[0] == QLatin1String("search") && search.isEmpty())
            search = words[1];
    }
    if (search == QLatin1String("."))
        return {};
    return search;
}

QString Platform::firstIPv4Address() const
{
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return {};
    QString result;
    for (ifaddrs* it = list; it; it = it->ifa_next) {
        if (!it->ifa_addr || it->ifa_addr->sa_family != AF_INET)
            continue;
        const auto* in = reinterpret_cast<const sockaddr_in*>(it->ifa_addr);
        if ((ntohl(in->sin_addr.s_addr) >> 24) == 127)
            continue;
        char text[INET_ADDRSTRLEN] = {};
        if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text)) {
            result = QString::fromLatin1(text);
            break;
        }
    }
    freeifaddrs(list);
    return result;
}

QString Platform::systemTempFolder() const
{
    const QString dir = environment("TMPDIR");
    return dir.isEmpty() ? QStringLiteral("/tmp") : cleanSlashes(dir);
}

QString Platform::spoolFolder() const
{
    return {};
}

QString Platform::loginUser() const
{
    QString name = environment("USERNAME");
    if (!name.isEmpty())
        return name;
    if (const passwd* pw = getpwuid(geteuid()); pw && pw->pw_name)
        return QString::fromLocal8Bit(pw->pw_name);
    return {};
}

void Platform::shellOpen(const QString& file, const QString& parameters, const QString& folder,
                         const std::function<void(bool opened)>& done)
{
    BusyCursor busy;
    QStringList args{file};
    if (!parameters.isEmpty())
        args.append(QProcess::splitCommand(parameters));
    // An argument list, never a shell command line; the result is not
    // awaited, it is reported when the opener ends.
    auto* opener = new QProcess;
    opener->setProgram(QStringLiteral("xdg-open"));
    opener->setArguments(args);
    opener->setWorkingDirectory(folder);
    opener->setStandardInputFile(QProcess::nullDevice());
    opener->setStandardOutputFile(QProcess::nullDevice());
    // Reported from the loop, not from inside the process object's
    // signal: the receiver may open a box, and the opener is gone by then.
    auto report = [opener, done](bool ok) {
        opener->deleteLater();
        if (done)
            QMetaObject::invokeMethod(QCoreApplication::instance(), [done, ok] { done(ok); }, Qt::QueuedConnection);
    };
    QObject::connect(opener, &QProcess::finished, opener, [report](int code, QProcess::ExitStatus status) {
        report(status == QProcess::NormalExit && code == 0);
    });
    QObject::connect(opener, &QProcess::errorOccurred, opener, [report](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            report(false);
    });
    opener->start();
}

bool Platform::isMarkedReadOnly(const QString& path) const
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return false;
    return (st.st_mode & S_IWUSR) == 0;
}

void protectUserData()
{
    ::umask(077);
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
}

void returnLargeBlocksAtOnce()
{
    // A fixed threshold: by default it rises to the size of the largest
    // block freed, and every later block below it stays in the heap.
    ::mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    ::mallopt(M_TRIM_THRESHOLD, 256 * 1024);
}

void releaseFreedMemory()
{
    // The allocator keeps freed pages for reuse, also in the middle of
    // its heaps and in the worker threads' own; this returns them.
    ::malloc_trim(0);
}

} // namespace rt
