#include "singleinstance.h"

#include <QCoreApplication>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>
#include <future>
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
    EXPECT_EQ(shown.size(), 1);
    EXPECT_TRUE(askFromAnotherThread(path()));
    EXPECT_EQ(shown.size(), 2);

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
    EXPECT_EQ(shown.size(), 1);
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

} // namespace
