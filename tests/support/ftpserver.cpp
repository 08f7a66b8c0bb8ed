#include "ftpserver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#ifndef BREV_FTP_SERVER_SCRIPT
#error "BREV_FTP_SERVER_SCRIPT must name ftpserver.py"
#endif

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kStartTimeoutMs = 15000;
constexpr int kStopTimeoutMs = 5000;

const char* kPython = "/usr/bin/python3";

QString scriptPath()
{
    return QStringLiteral(BREV_FTP_SERVER_SCRIPT);
}

[[noreturn]] void fail(const QString& text)
{
    throw FtpServerError(text.toStdString());
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

bool hasExited(pid_t pid)
{
    int status = 0;
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    return r == pid || (r < 0 && errno == ECHILD);
}

} // namespace

bool FtpServer::available()
{
    return QFileInfo(QString::fromLatin1(kPython)).isExecutable()
        && QFileInfo::exists(QStringLiteral("/usr/lib/python3/dist-packages/pyftpdlib/__init__.py"));
}

FtpServer::FtpServer(const FtpServerOptions& options)
    : m_dir(QDir::tempPath() + QStringLiteral("/brev-ftp-XXXXXX"))
{
    if (!m_dir.isValid())
        fail(QStringLiteral("cannot create a temporary folder: %1").arg(m_dir.errorString()));
    if (!available())
        fail(QStringLiteral("%1 with pyftpdlib is not installed").arg(QLatin1String(kPython)));
    if (!QDir().mkpath(root()))
        fail(QStringLiteral("cannot create %1").arg(root()));

    const QByteArray script = QFile::encodeName(scriptPath());
    const QByteArray rootArg = QFile::encodeName(root());
    const QByteArray logArg = QFile::encodeName(m_dir.filePath(QStringLiteral("server.log")));
    const QByteArray commandsArg = QFile::encodeName(m_dir.filePath(QStringLiteral("commands.txt")));
    const QByteArray certArg = QFile::encodeName(options.tlsCertificateFile);
    const QByteArray keyArg = QFile::encodeName(options.tlsKeyFile);
    const QByteArray userArg = user().toUtf8();
    const QByteArray passArg = password().toUtf8();
    std::vector<const char*> argv = {kPython, script.constData(), "--root", rootArg.constData(),
                                     "--user", userArg.constData(), "--password", passArg.constData(),
                                     "--log", logArg.constData(), "--commands", commandsArg.constData()};
    if (options.brokenPassive)
        argv.push_back("--broken-passive");
    if (!options.tlsCertificateFile.isEmpty()) {
        argv.insert(argv.end(), {"--tls-cert", certArg.constData(), "--tls-key", keyArg.constData()});
        if (options.tlsSessionReuseRequired)
            argv.push_back("--tls-session-reuse");
        if (options.tls12Only)
            argv.push_back("--tls12");
    }
    argv.push_back(nullptr);

    const QByteArray errFile = QFile::encodeName(m_dir.filePath(QStringLiteral("server.err")));
    const int err = ::open(errFile.constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    int in[2];
    int out[2];
    if (err < 0 || ::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
        fail(QStringLiteral("cannot set up the server's pipes: errno %1").arg(errno));

    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
        ::dup2(in[0], STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(err, STDERR_FILENO);
        ::execv(argv[0], const_cast<char* const*>(argv.data()));
        ::_exit(127);
    }
    const int forkErrno = errno;
    ::close(in[0]);
    ::close(out[1]);
    ::close(err);
    if (pid < 0) {
        ::close(in[1]);
        ::close(out[0]);
        fail(QStringLiteral("fork failed: errno %1").arg(forkErrno));
    }
    m_pid = pid;
    m_stdin = in[1];

    // The first line on its standard output is "READY <port>".
    QByteArray line;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
    while (!line.contains('\n')) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            break;
        pollfd fd{out[0], POLLIN, 0};
        const int rc = ::poll(&fd, 1, int(left));
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc <= 0)
            break;
        char buf[256];
        const ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n <= 0)
            break; // the server ended
        line.append(buf, n);
    }
    ::close(out[0]);
    if (line.startsWith("READY ")) {
        bool ok = false;
        const int port = line.mid(6).trimmed().toInt(&ok);
        if (ok && port > 0 && port < 65536) {
            m_port = std::uint16_t(port);
            return;
        }
    }
    stop();
    fail(QStringLiteral("the FTP server did not start within %1 ms (output: «%2»)\n--- log ---\n%3")
             .arg(kStartTimeoutMs)
             .arg(QString::fromUtf8(line), QString::fromUtf8(log())));
}

FtpServer::~FtpServer()
{
    stop();
}

QString FtpServer::root() const
{
    return m_dir.filePath(QStringLiteral("root"));
}

QString FtpServer::path(const QString& relative) const
{
    return root() + QLatin1Char('/') + relative;
}

void FtpServer::writeFile(const QString& relative, const QByteArray& content) const
{
    const QString file = path(relative);
    if (!QDir().mkpath(QFileInfo(file).absolutePath()))
        fail(QStringLiteral("cannot create the folder of %1").arg(file));
    QFile f(file);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(content) != content.size())
        fail(QStringLiteral("cannot write %1: %2").arg(file, f.errorString()));
}

QByteArray FtpServer::readFile(const QString& relative) const
{
    return readAll(path(relative));
}

bool FtpServer::exists(const QString& relative) const
{
    return QFileInfo::exists(path(relative));
}

QList<QByteArray> FtpServer::commands() const
{
    QList<QByteArray> verbs;
    for (const QByteArray& line : readAll(m_dir.filePath(QStringLiteral("commands.txt"))).split('\n')) {
        if (!line.isEmpty())
            verbs.append(line);
    }
    return verbs;
}

QByteArray FtpServer::log() const
{
    return readAll(m_dir.filePath(QStringLiteral("server.log"))) + readAll(m_dir.filePath(QStringLiteral("server.err")));
}

void FtpServer::stop()
{
    if (m_stdin >= 0) {
        ::close(m_stdin);
        m_stdin = -1;
    }
    if (m_pid <= 0)
        return;
    const pid_t pid = m_pid;
    m_pid = -1;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kStopTimeoutMs);
    while (!hasExited(pid)) {
        if (Clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

} // namespace testsupport
