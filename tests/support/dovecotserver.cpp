#include "dovecotserver.h"

#include <Poco/Exception.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Timespan.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <chrono>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

// The greeting is set in the configuration, so the start-up probe knows it
// reached this server and not something else that took the port.
constexpr const char* kGreeting = "Brevglimt testserver klar.";

// Maildir file names start with a delivery time; Dovecot hands out UIDs (and
// so POP3 message numbers) to new files in the order of that time.
constexpr qint64 kFirstDeliveryTime = 1700000000;

constexpr int kStartAttempts = 5;
constexpr int kStartTimeoutMs = 10000;
constexpr int kStopTimeoutMs = 10000;

[[noreturn]] void fail(const QString& text)
{
    throw DovecotError(text.toStdString());
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

void writeFile(const QString& path, const QByteArray& bytes, QFile::Permissions perms)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size())
        fail(QStringLiteral("cannot write %1: %2").arg(path, f.errorString()));
    f.close();
    f.setPermissions(perms);
}

void makeDir(const QString& path)
{
    if (!QDir().mkpath(path))
        fail(QStringLiteral("cannot create folder %1").arg(path));
}

// A port on 127.0.0.1 that was free a moment ago. Dovecot may still lose it
// to someone else; the caller retries then.
std::uint16_t pickFreePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        fail(QStringLiteral("socket() failed: errno %1").arg(errno));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0
        && ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
    const int err = errno;
    ::close(fd);
    if (!ok)
        fail(QStringLiteral("cannot bind a free port on 127.0.0.1: errno %1").arg(err));
    return ntohs(addr.sin_port);
}

struct Account {
    QString name;
    uid_t uid = 0;
    gid_t gid = 0;
};

Account account(const char* name)
{
    const passwd* pw = ::getpwnam(name);
    if (!pw)
        fail(QStringLiteral("user '%1' does not exist (the dovecot-core package creates it)")
                 .arg(QString::fromLatin1(name)));
    return {QString::fromLocal8Bit(pw->pw_name), pw->pw_uid, pw->pw_gid};
}

QString groupName(gid_t gid)
{
    const group* gr = ::getgrgid(gid);
    if (!gr)
        fail(QStringLiteral("group %1 has no name").arg(gid));
    return QString::fromLocal8Bit(gr->gr_name);
}

// Who the server runs as. As root: Dovecot's own unprivileged users for its
// internal and login processes, and "nobody" as owner of the mail (Dovecot
// refuses mail access as uid 0). As anyone else: that user for everything,
// without chroots, which need root.
struct Identities {
    bool root = false;
    QString internalUser;
    QString internalGroup;
    QString loginUser;
    Account mail;
};

Identities identities()
{
    Identities ids;
    ids.root = ::geteuid() == 0;
    if (ids.root) {
        const Account internal = account("dovecot");
        ids.internalUser = internal.name;
        ids.internalGroup = groupName(internal.gid);
        ids.loginUser = account("dovenull").name;
        ids.mail = account("nobody");
    } else {
        const passwd* pw = ::getpwuid(::geteuid());
        if (!pw)
            fail(QStringLiteral("the current uid %1 has no user name").arg(::geteuid()));
        ids.mail = {QString::fromLocal8Bit(pw->pw_name), pw->pw_uid, ::getegid()};
        ids.internalUser = ids.mail.name;
        ids.loginUser = ids.mail.name;
        ids.internalGroup = groupName(ids.mail.gid);
    }
    return ids;
}

// The unprivileged server processes must be able to reach the temporary
// folder; a private TMPDIR (mode 0700 somewhere) would hide it from them.
void checkReachable(const QString& folder)
{
    QString dir = QFileInfo(folder).absolutePath();
    while (!dir.isEmpty()) {
        struct stat st{};
        if (::stat(QFile::encodeName(dir).constData(), &st) == 0 && !(st.st_mode & S_IXOTH))
            fail(QStringLiteral("%1 is not searchable by other users, so Dovecot's unprivileged "
                                "processes cannot reach its files; point TMPDIR elsewhere")
                     .arg(dir));
        if (dir == QLatin1String("/"))
            break;
        dir = QFileInfo(dir).absolutePath();
    }
}

// True once the child has exited; it is left unreaped (a zombie), so its pid
// and with it the process group id stay reserved until waitpid().
bool hasExited(pid_t pid)
{
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
        return true; // not our child any more
    return info.si_pid == pid;
}

void chownTree(const QString& path, uid_t uid, gid_t gid)
{
    if (::lchown(QFile::encodeName(path).constData(), uid, gid) != 0)
        fail(QStringLiteral("cannot chown %1: errno %2").arg(path).arg(errno));
    if (!QFileInfo(path).isDir())
        return;
    const QStringList entries = QDir(path).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    for (const QString& e : entries)
        chownTree(path + QLatin1Char('/') + e, uid, gid);
}

} // namespace

QString DovecotServer::binaryPath()
{
    return QStringLiteral("/usr/sbin/dovecot");
}

bool DovecotServer::available()
{
    return QFileInfo(binaryPath()).isExecutable();
}

bool DovecotServer::imapAvailable()
{
    return available() && QFileInfo(QStringLiteral("/usr/lib/dovecot/imap")).isExecutable()
        && QFileInfo(QStringLiteral("/usr/lib/dovecot/imap-login")).isExecutable();
}

DovecotServer::DovecotServer(const QList<QByteArray>& messages, const DovecotTls& tls,
                             const DovecotOptions& options)
    : m_dir(QDir::tempPath() + QStringLiteral("/brev-dovecot-XXXXXX"))
    , m_messages(messages)
    , m_tls(tls)
    , m_options(options)
{
    if (!m_dir.isValid())
        fail(QStringLiteral("cannot create a temporary folder: %1").arg(m_dir.errorString()));
    if (!available())
        fail(QStringLiteral("%1 is not installed").arg(binaryPath()));
    prepareFolder();
    try {
        const bool imap = imapAvailable();
        const bool tls = !m_tls.certificateFile.isEmpty();
        for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
            // Distinct ports, each free a moment ago.
            QList<std::uint16_t> taken;
            const auto freshPort = [&] {
                std::uint16_t p = 0;
                do
                    p = pickFreePort();
                while (taken.contains(p));
                taken.append(p);
                return p;
            };
            m_port = freshPort();
            m_tlsPort = tls ? freshPort() : 0;
            m_imapPort = imap ? freshPort() : 0;
            m_imapsPort = imap && tls ? freshPort() : 0;
            writeConfig();
            if (startOnce())
                return;
        }
        fail(QStringLiteral("Dovecot found no free port in %1 attempts\n%2")
                 .arg(kStartAttempts)
                 .arg(QString::fromLocal8Bit(log())));
    } catch (...) {
        stop();
        throw;
    }
}

void DovecotServer::restart()
{
    if (running())
        return;
    if (!startOnce())
        fail(QStringLiteral("Dovecot could not listen on its ports again\n%1").arg(QString::fromLocal8Bit(log())));
}

DovecotServer::~DovecotServer()
{
    stop();
}

QString DovecotServer::path(const QString& relative) const
{
    return m_dir.filePath(relative);
}

QString DovecotServer::maildirPath() const
{
    return path(QStringLiteral("home/Maildir"));
}

void DovecotServer::prepareFolder()
{
    const Identities ids = identities();
    // QTemporaryDir makes the folder 0700; the login and mail processes run
    // under other uids when started as root.
    if (::chmod(QFile::encodeName(m_dir.path()).constData(), 0755) != 0)
        fail(QStringLiteral("cannot chmod %1").arg(m_dir.path()));
    if (ids.root)
        checkReachable(m_dir.path());

    makeDir(path(QStringLiteral("run")));
    makeDir(path(QStringLiteral("state")));
    const QString maildir = maildirPath();
    for (const char* sub : {"cur", "new", "tmp"})
        makeDir(maildir + QLatin1Char('/') + QLatin1String(sub));

    // Delivered into new/ as a delivery agent would; Dovecot moves them to
    // cur/ on the first session.
    m_fileNames.clear();
    for (int i = 0; i < m_messages.size(); ++i)
        writeMessageFile(i);
    if (ids.root)
        chownTree(path(QStringLiteral("home")), ids.mail.uid, ids.mail.gid);

    // Read by the auth process, which runs as the internal user.
    writeFile(path(QStringLiteral("passwd")),
              QStringLiteral("%1:{PLAIN}%2\n").arg(user(), password()).toUtf8(),
              QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
}

void DovecotServer::writeConfig() const
{
    const Identities ids = identities();
    QString conf;
    conf += QStringLiteral(
                "# Generated for one test run; reads no system configuration.\n"
                "base_dir = %1\n"
                "state_dir = %2\n"
                "log_path = %3\n"
                "instance_name = brevglimt-test\n"
                "protocols = %9\n"
                "listen = %10\n"
                "disable_plaintext_auth = no\n"
                "auth_mechanisms = plain login\n"
                "auth_failure_delay = 0\n"
                "login_greeting = %4\n"
                "first_valid_uid = 1\n"
                "default_internal_user = %5\n"
                "default_internal_group = %6\n"
                "default_login_user = %7\n"
                "mail_location = maildir:~/Maildir\n"
                "passdb {\n"
                "  driver = passwd-file\n"
                "  args = scheme=PLAIN username_format=%u %8\n"
                "}\n")
                .arg(path(QStringLiteral("run")), path(QStringLiteral("state")), path(QStringLiteral("dovecot.log")),
                     QLatin1String(kGreeting), ids.internalUser, ids.internalGroup, ids.loginUser,
                     path(QStringLiteral("passwd")),
                     m_imapPort ? QStringLiteral("pop3 imap") : QStringLiteral("pop3"))
                .arg(m_options.address);
    conf += QStringLiteral(
                "userdb {\n"
                "  driver = static\n"
                "  args = uid=%1 gid=%2 home=%3\n"
                "}\n"
                "service pop3-login {\n"
                "  inet_listener pop3 {\n"
                "    address = %%ADDRESS%%\n"
                "    port = %4\n"
                "  }\n"
                "  inet_listener pop3s {\n"
                "%5"
                "  }\n"
                "}\n"
                // No growing delays after the wrong-password tests.
                "service anvil {\n"
                "  unix_listener anvil-auth-penalty {\n"
                "    mode = 0\n"
                "  }\n"
                "}\n")
                .arg(ids.mail.uid)
                .arg(ids.mail.gid)
                .arg(path(QStringLiteral("home")))
                .arg(m_port)
                .arg(m_tls.certificateFile.isEmpty()
                         ? QStringLiteral("    port = 0\n")
                         : QStringLiteral("    address = %%ADDRESS%%\n    port = %1\n    ssl = yes\n").arg(m_tlsPort));
    if (m_imapPort) {
        conf += QStringLiteral(
                    "service imap-login {\n"
                    "  inet_listener imap {\n"
                    "    address = %%ADDRESS%%\n"
                    "    port = %1\n"
                    "  }\n"
                    "  inet_listener imaps {\n"
                    "%2"
                    "  }\n"
                    "}\n"
                    // IDLE learns of changes from inotify at once; the
                    // check interval is the fall-back.
                    "mailbox_idle_check_interval = 1 secs\n")
                    .arg(m_imapPort)
                    .arg(m_imapsPort ? QStringLiteral("    address = %%ADDRESS%%\n    port = %1\n    ssl = yes\n").arg(m_imapsPort)
                                     : QStringLiteral("    port = 0\n"));
    }
    if (m_tls.certificateFile.isEmpty()) {
        conf += QStringLiteral("ssl = no\n");
    } else {
        // The login and auth processes log every login attempt, and the login
        // process why a TLS handshake failed, so tests can tell what a client sent.
        conf += QStringLiteral(
                    "ssl = yes\n"
                    "ssl_cert = <%1\n"
                    "ssl_key = <%2\n"
                    "ssl_min_protocol = TLSv1.2\n"
                    "auth_verbose = yes\n")
                    .arg(QFileInfo(m_tls.certificateFile).absoluteFilePath(),
                         QFileInfo(m_tls.keyFile).absoluteFilePath());
    }
    if (!ids.root) {
        for (const char* service : {"pop3-login", "imap-login", "anvil", "ipc", "old-stats", "aggregator", "director"})
            conf += QStringLiteral("service %1 {\n  chroot =\n}\n").arg(QLatin1String(service));
    }
    conf.replace(QLatin1String("%%ADDRESS%%"), m_options.address);
    writeFile(path(QStringLiteral("dovecot.conf")), conf.toUtf8(),
              QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
}

bool DovecotServer::startOnce()
{
    const QByteArray binary = QFile::encodeName(binaryPath());
    const QByteArray conf = QFile::encodeName(path(QStringLiteral("dovecot.conf")));
    const QByteArray outFile = QFile::encodeName(path(QStringLiteral("dovecot.out")));
    const int out = ::open(outFile.constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (out < 0)
        fail(QStringLiteral("cannot open %1").arg(QString::fromLocal8Bit(outFile)));
    const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    int netns = -1;
    if (!m_options.networkNamespace.isEmpty()) {
        netns = ::open(QFile::encodeName(m_options.networkNamespace).constData(), O_RDONLY | O_CLOEXEC);
        if (netns < 0)
            fail(QStringLiteral("cannot open the network namespace %1").arg(m_options.networkNamespace));
    }
    const QByteArray banner = "--- starting on port " + QByteArray::number(m_port) + " ---\n";
    [[maybe_unused]] const ssize_t written = ::write(out, banner.constData(), banner.size());

    // Orphans of the server (its log process, which the master does not
    // reap) come to this process, not to init, so stop() can reap them.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);

    std::vector<char*> argv = {const_cast<char*>(binary.constData()), const_cast<char*>("-F"),
                               const_cast<char*>("-c"), const_cast<char*>(conf.constData()), nullptr};
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec. A session of its
        // own so stop() can kill all of Dovecot's processes as one group; the
        // death signal stops the server if the test process dies first.
        ::setsid();
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(127);
        if (netns >= 0 && ::setns(netns, CLONE_NEWNET) != 0)
            ::_exit(127);
        ::dup2(devNull, STDIN_FILENO);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(out, STDERR_FILENO);
        ::execv(argv[0], argv.data());
        static const char msg[] = "exec of the dovecot binary failed\n";
        [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, msg, sizeof msg - 1);
        ::_exit(127);
    }
    const int forkErrno = errno;
    ::close(out);
    ::close(devNull);
    if (netns >= 0)
        ::close(netns);
    if (pid < 0)
        fail(QStringLiteral("fork failed: errno %1").arg(forkErrno));
    m_pid = pid;

    if (waitForGreeting(m_port, "+OK", "QUIT\r\n", kStartTimeoutMs)
        && (!m_imapPort || waitForGreeting(m_imapPort, "* OK", "a LOGOUT\r\n", kStartTimeoutMs)))
        return true;
    const bool exited = m_pid <= 0;
    stop();
    const QByteArray text = log();
    if (exited && text.contains("Address already in use"))
        return false;
    fail(QStringLiteral("Dovecot on %1:%2 %3\n--- configuration ---\n%4--- log ---\n%5")
             .arg(m_options.address)
             .arg(m_port)
             .arg(exited ? QStringLiteral("exited during start-up")
                         : QStringLiteral("did not greet within %1 ms").arg(kStartTimeoutMs))
             .arg(QString::fromUtf8(readFile(path(QStringLiteral("dovecot.conf")))), QString::fromLocal8Bit(text)));
}

// Polls until a connection to port gets the configured greeting after
// statusWord ("+OK", "* OK"), then says goodbye. Returns false on time-out,
// or when the master has exited (m_pid is then reset).
bool DovecotServer::waitForGreeting(std::uint16_t port, const QByteArray& statusWord, const QByteArray& goodbye,
                                    int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const Poco::Net::SocketAddress address(m_options.address.toStdString(), port);
    while (Clock::now() < deadline) {
        if (hasExited(m_pid)) {
            // Whatever it left behind in its group goes too.
            stop();
            return false;
        }
        try {
            Poco::Net::StreamSocket socket;
            socket.connect(address, Poco::Timespan(1, 0));
            socket.setReceiveTimeout(Poco::Timespan(2, 0));
            QByteArray line;
            char buf[512];
            while (!line.contains('\n')) {
                const int n = socket.receiveBytes(buf, sizeof buf);
                if (n <= 0)
                    break;
                line.append(buf, n);
            }
            if (line.startsWith(statusWord) && line.contains(kGreeting)) {
                socket.sendBytes(goodbye.constData(), int(goodbye.size()));
                socket.close();
                return true;
            }
        } catch (const Poco::Exception&) {
            // Not listening yet.
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

void DovecotServer::stop()
{
    if (m_pid <= 0)
        return;
    const pid_t pid = m_pid;
    m_pid = -1;
    ::kill(pid, SIGTERM);
    // The master stops its services, giving its log process a second to
    // drain; the group kill below takes whatever is left, or a master that
    // did not stop in time.
    const auto deadline = Clock::now() + std::chrono::milliseconds(kStopTimeoutMs);
    while (!hasExited(pid) && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ::kill(-pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    // The master leaves its log process unreaped; that and anything killed
    // above is now a child of this process (a subreaper). Reap the group
    // until none of it is left.
    const auto groupDeadline = Clock::now() + std::chrono::seconds(5);
    for (;;) {
        const pid_t reaped = ::waitpid(-pid, &status, WNOHANG);
        if (reaped > 0 || (reaped < 0 && errno == EINTR))
            continue;
        if (reaped < 0 || Clock::now() >= groupDeadline)
            break; // ECHILD: the group is gone
        ::kill(-pid, SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

QByteArray DovecotServer::log() const
{
    return readFile(path(QStringLiteral("dovecot.log"))) + readFile(path(QStringLiteral("dovecot.out")));
}

QList<QByteArray> DovecotServer::logLines(std::initializer_list<const char*> parts, int count) const
{
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    for (;;) {
        QList<QByteArray> found;
        for (const QByteArray& line : log().split('\n')) {
            bool all = true;
            for (const char* p : parts)
                all = all && line.contains(p);
            if (all)
                found.append(line);
        }
        if (found.size() >= count || Clock::now() >= deadline)
            return found;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void DovecotServer::writeMessageFile(int i)
{
    const qint64 when = kFirstDeliveryTime + i;
    const QString name = QStringLiteral("%1.M%2P%3.brevglimt").arg(when).arg(i).arg(::getpid());
    const QString file = maildirPath() + QStringLiteral("/new/") + name;
    writeFile(file, m_messages.at(i), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    const timespec times[2] = {{static_cast<time_t>(when), 0}, {static_cast<time_t>(when), 0}};
    ::utimensat(AT_FDCWD, QFile::encodeName(file).constData(), times, 0);
    m_fileNames.append(name);
}

void DovecotServer::deliver(const QByteArray& message)
{
    m_messages.append(message);
    writeMessageFile(int(m_messages.size()) - 1);
    const Identities ids = identities();
    if (ids.root)
        chownTree(maildirPath() + QStringLiteral("/new/") + m_fileNames.last(), ids.mail.uid, ids.mail.gid);
}

void DovecotServer::expunge(int index)
{
    for (const char* sub : {"new", "cur"}) {
        QDir dir(maildirPath() + QLatin1Char('/') + QLatin1String(sub));
        for (const QString& f : dir.entryList(QDir::Files)) {
            if (f.section(QLatin1Char(':'), 0, 0) == m_fileNames.at(index))
                dir.remove(f);
        }
    }
}

QString DovecotServer::messageFile(int index) const
{
    for (const char* sub : {"new", "cur"}) {
        const QDir dir(maildirPath() + QLatin1Char('/') + QLatin1String(sub));
        for (const QString& f : dir.entryList(QDir::Files)) {
            if (f.section(QLatin1Char(':'), 0, 0) == m_fileNames.at(index))
                return dir.filePath(f);
        }
    }
    return {};
}

void DovecotServer::setFlags(int index, const QString& flags)
{
    const QString from = messageFile(index);
    if (from.isEmpty())
        fail(QStringLiteral("message %1 is not in the Maildir").arg(index));
    // Maildir lists the flags in ASCII order after ":2,".
    QString sorted = flags;
    std::sort(sorted.begin(), sorted.end());
    const QString to = maildirPath() + QStringLiteral("/cur/") + m_fileNames.at(index) + QStringLiteral(":2,") + sorted;
    if (from != to && ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0)
        fail(QStringLiteral("cannot rename %1 to %2: errno %3").arg(from, to).arg(errno));
}

void DovecotServer::forgetUids()
{
    QDir dir(maildirPath());
    for (const QString& f : dir.entryList({QStringLiteral("dovecot-uidlist*"), QStringLiteral("dovecot.index*")},
                                          QDir::Files))
        dir.remove(f);
}

QString DovecotServer::flags(int index) const
{
    const QString file = messageFile(index);
    const qsizetype mark = file.lastIndexOf(QStringLiteral(":2,"));
    return mark < 0 ? QString() : file.mid(mark + 3);
}

QList<int> DovecotServer::remainingIndexes() const
{
    QHash<QString, int> byName;
    for (int i = 0; i < m_fileNames.size(); ++i)
        byName.insert(m_fileNames.at(i), i);
    QList<int> found;
    for (const char* sub : {"new", "cur"}) {
        const QStringList files = QDir(maildirPath() + QLatin1Char('/') + QLatin1String(sub)).entryList(QDir::Files);
        for (const QString& f : files) {
            // Dovecot appends ":2,<flags>" when it moves a file to cur/.
            const auto it = byName.constFind(f.section(QLatin1Char(':'), 0, 0));
            if (it != byName.constEnd())
                found.append(it.value());
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

} // namespace testsupport
