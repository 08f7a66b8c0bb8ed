#include "singleinstance.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <QDir>
#include <QScopeGuard>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>
#include <functional>
#include <future>
#include <string_view>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using desktop::SingleInstance;

// The asking copy blocks on its socket, so it runs beside the event loop
// that lets the running copy answer.
bool askFromAnotherThread(const QString& path)
{
    auto asked = std::async(std::launch::async, [path] { return SingleInstance(path).askRunningCopyToShow(3000); });
    while (asked.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready)
        QCoreApplication::processEvents();
    return asked.get();
}

// A socket file as a copy that crashed leaves it: bound, then abandoned.
void leaveStaleSocket(const QString& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const QByteArray p = QFile::encodeName(path);
    std::memcpy(addr.sun_path, p.constData(), size_t(p.size()));
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(fd);
}

class SingleInstanceTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString path() const { return dir.filePath(QStringLiteral("brevglimt.sock")); }
};

TEST_F(SingleInstanceTest, SecondStartAsksTheRunningCopyToShow)
{
    EXPECT_FALSE(SingleInstance(path()).askRunningCopyToShow(500)) << "nobody runs yet";
    SingleInstance running(path());
    ASSERT_TRUE(running.listen());
    QSignalSpy shown(&running, &SingleInstance::showRequested);
    EXPECT_TRUE(askFromAnotherThread(path()));
    EXPECT_TRUE(QTest::qWaitFor([&] { return shown.size() == 1; }));
    EXPECT_TRUE(askFromAnotherThread(path()));
    EXPECT_TRUE(QTest::qWaitFor([&] { return shown.size() == 2; }));

    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(path()).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u) << "the socket is the user's alone";
}

TEST_F(SingleInstanceTest, SocketLeftByACrashIsReplaced)
{
    leaveStaleSocket(path());
    ASSERT_TRUE(QFile::exists(path()));
    EXPECT_FALSE(SingleInstance(path()).askRunningCopyToShow(500));
    SingleInstance running(path());
    ASSERT_TRUE(running.listen());
    QSignalSpy shown(&running, &SingleInstance::showRequested);
    EXPECT_TRUE(askFromAnotherThread(path()));
    EXPECT_TRUE(QTest::qWaitFor([&] { return shown.size() == 1; }));
}

// Showing the strip can run event loops of its own (a check, an error box),
// in which the asking copy's connection closes and is freed; the running
// copy must not touch that connection afterwards (AddressSanitizer reports
// any use after it was freed).
TEST_F(SingleInstanceTest, AShowThatRunsItsOwnEventLoopOutlivesTheAskingConnection)
{
    SingleInstance running(path());
    ASSERT_TRUE(running.listen());
    int shows = 0;
    QObject::connect(&running, &SingleInstance::showRequested, [&] {
        ++shows;
        // Open until the asking copy has had its answer and gone, and the
        // closed connection's deferred deletion has run.
        QEventLoop box;
        QTimer::singleShot(300, &box, &QEventLoop::quit);
        box.exec();
    });
    for (int round = 1; round <= 3; ++round) {
        SCOPED_TRACE(round);
        EXPECT_TRUE(askFromAnotherThread(path()));
        EXPECT_TRUE(QTest::qWaitFor([&] { return shows == round; }, 3000));
    }
}

TEST(InstanceKeyTest, OneSocketPerUserAndRoot)
{
    const QString root = QStringLiteral("/home/kari/.local/share");
    struct Case {
        QStringList args;
        QString login;
        QString user;
    } cases[] = {
        {{}, QStringLiteral("kari"), QStringLiteral("KARI")},
        {{QStringLiteral("--user"), QStringLiteral("ola")}, QStringLiteral("kari"), QStringLiteral("OLA")},
        {{QStringLiteral("--debug"), QStringLiteral("--user")}, QStringLiteral("kari"), QStringLiteral("KARI")},
        {{}, QString(), QStringLiteral("BRUKER")},
    };
    for (const Case& c : cases)
        EXPECT_EQ(desktop::instanceUser(c.args, c.login), c.user) << c.args.join(QLatin1Char(' ')).toStdString();

    const QString kari = desktop::instanceSocketPath(QStringLiteral("KARI"), root);
    EXPECT_FALSE(kari.isEmpty());
    EXPECT_EQ(kari, desktop::instanceSocketPath(QStringLiteral("KARI"), root));
    EXPECT_NE(kari, desktop::instanceSocketPath(QStringLiteral("OLA"), root));
    EXPECT_NE(kari, desktop::instanceSocketPath(QStringLiteral("KARI"), QStringLiteral("/tmp/annen")));
    EXPECT_FALSE(desktop::instanceSocketPath(QStringLiteral("../../x/KARI"), root).contains(QStringLiteral("..")));
}

// Without $XDG_RUNTIME_DIR the socket lies in a folder of the user's own
// cache folder; a folder there that is not the user's alone is refused and
// said so, never used.
TEST(InstanceFolderTest, WithoutARuntimeFolderOnlyAFolderOfTheUsersOwnIsUsed)
{
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    const QByteArray cacheHome = qgetenv("XDG_CACHE_HOME");
    const auto restore = qScopeGuard([&] {
        qputenv("XDG_RUNTIME_DIR", runtime);
        qputenv("XDG_CACHE_HOME", cacheHome);
    });
    qunsetenv("XDG_RUNTIME_DIR");
    struct Case {
        const char* name;
        std::function<void(const QString& folder)> prepare; // the folder is cache/brevglimt
        const char* problem; // empty: the folder is used
    };
    const Case cases[] = {
        {"made afresh", [](const QString&) {}, ""},
        {"left by an earlier run", [](const QString& f) { ASSERT_TRUE(QDir().mkpath(f)); ::chmod(QFile::encodeName(f), 0700); }, ""},
        {"open to others", [](const QString& f) { ASSERT_TRUE(QDir().mkpath(f)); ::chmod(QFile::encodeName(f), 0755); },
         "tilhører en annen bruker eller kan åpnes av andre"},
        {"a link to a folder", [](const QString& f) {
             ASSERT_TRUE(QDir().mkpath(f + QStringLiteral("-ekte")));
             ASSERT_TRUE(QFile::link(f + QStringLiteral("-ekte"), f));
         }, "kan ikke opprette mappen"},
        // Only root can give a folder to another user; the row is left out
        // otherwise. Closed to others, so only its owner can refuse it.
        {"another user's", [](const QString& f) {
             ASSERT_TRUE(QDir().mkpath(f));
             ASSERT_EQ(::chmod(QFile::encodeName(f), 0700), 0);
             ASSERT_EQ(::chown(QFile::encodeName(f), 65534, 65534), 0);
         }, "tilhører en annen bruker eller kan åpnes av andre"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (std::string_view(c.name) == "another user's" && ::getuid() != 0)
            continue;
        QTemporaryDir cache;
        qputenv("XDG_CACHE_HOME", QFile::encodeName(cache.path()));
        const QString folder = cache.filePath(QStringLiteral("brevglimt"));
        c.prepare(folder);
        QString problem;
        const QString path = desktop::instanceSocketPath(QStringLiteral("KARI"), QStringLiteral("/r"), &problem);
        if (*c.problem == 0) {
            EXPECT_TRUE(problem.isEmpty()) << problem.toStdString();
            EXPECT_TRUE(path.startsWith(folder + QLatin1Char('/'))) << path.toStdString();
            struct stat st {};
            ASSERT_EQ(::lstat(QFile::encodeName(folder).constData(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0700u);
            SingleInstance running(path);
            EXPECT_TRUE(running.listen());
        } else {
            EXPECT_TRUE(path.isEmpty());
            EXPECT_TRUE(problem.contains(QString::fromUtf8(c.problem))) << problem.toStdString();
            EXPECT_TRUE(problem.contains(folder)) << problem.toStdString();
        }
    }
    // A cache folder so deep that no socket can lie in it.
    QTemporaryDir cache;
    const QString deep = cache.filePath(QString(100, QLatin1Char('d')));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(deep));
    QString problem;
    EXPECT_TRUE(desktop::instanceSocketPath(QStringLiteral("KARI"), QStringLiteral("/r"), &problem).isEmpty());
    EXPECT_TRUE(problem.contains(QStringLiteral("for lang for en lokal socket"))) << problem.toStdString();
}

// $XDG_RUNTIME_DIR holds the socket only when it names a folder of the
// user's alone; otherwise the folder in the cache folder is used, as
// without it.
TEST(InstanceFolderTest, ARuntimeFolderThatIsNotTheUsersAloneIsPassedOver)
{
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    const QByteArray cacheHome = qgetenv("XDG_CACHE_HOME");
    const auto restore = qScopeGuard([&] {
        qputenv("XDG_RUNTIME_DIR", runtime);
        qputenv("XDG_CACHE_HOME", cacheHome);
    });
    struct Case {
        const char* name;
        std::function<void(const QString& folder)> prepare; // the folder XDG_RUNTIME_DIR names
        bool used;
    };
    const auto folderWithMode = [](mode_t mode) {
        return [mode](const QString& f) {
            ASSERT_TRUE(QDir().mkpath(f));
            ASSERT_EQ(::chmod(QFile::encodeName(f), mode), 0);
        };
    };
    const Case cases[] = {
        {"the user's alone", folderWithMode(0700), true},
        {"missing", [](const QString&) {}, false},
        {"a file", [](const QString& f) {
             QFile file(f);
             ASSERT_TRUE(file.open(QIODevice::WriteOnly));
         }, false},
        {"open to others", folderWithMode(0777), false},
        {"readable by the group", folderWithMode(0750), false},
        // Only root can give a folder to another user; the row is left out otherwise.
        {"another user's", [&](const QString& f) {
             folderWithMode(0700)(f);
             ASSERT_EQ(::chown(QFile::encodeName(f), 65534, 65534), 0);
         }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (std::string_view(c.name) == "another user's" && ::getuid() != 0)
            continue;
        QTemporaryDir home;
        const QString runtimeFolder = home.filePath(QStringLiteral("run"));
        const QString cacheFolder = home.filePath(QStringLiteral("cache/brevglimt"));
        c.prepare(runtimeFolder);
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeFolder));
        qputenv("XDG_CACHE_HOME", QFile::encodeName(home.filePath(QStringLiteral("cache"))));
        QString problem;
        const QString path = desktop::instanceSocketPath(QStringLiteral("KARI"), QStringLiteral("/r"), &problem);
        EXPECT_TRUE(problem.isEmpty()) << problem.toStdString();
        EXPECT_TRUE(path.startsWith((c.used ? runtimeFolder : cacheFolder) + QLatin1Char('/'))) << path.toStdString();
        SingleInstance running(path);
        EXPECT_TRUE(running.listen());
        EXPECT_TRUE(QFile::exists(path));
    }
}

} // namespace
