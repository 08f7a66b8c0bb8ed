// The desktop's opener as the system platform runs it: its failure reaches
// the caller, its success does not.
#include "platform.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

// Serves events for ms milliseconds.
void spin(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

class ShellOpenTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(bin.isValid());
        oldPath = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(bin.path()) + ":/usr/bin:/bin");
    }
    void TearDown() override { qputenv("PATH", oldPath); }

    // An xdg-open that writes its argument and ends with status code.
    void openerEnding(int code)
    {
        QFile script(bin.path() + QStringLiteral("/xdg-open"));
        ASSERT_TRUE(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\necho \"$1\" > \"$(dirname \"$0\")/opened\"\nexit " + QByteArray::number(code) + "\n");
        script.close();
        script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }

    int argc = 1;
    char name[16] = "runtime_tests";
    char* argv[2] = {name, nullptr};
    QCoreApplication app{argc, argv};
    QTemporaryDir bin;
    QByteArray oldPath;
};

TEST_F(ShellOpenTest, FailureOfTheOpenerIsReported)
{
    const struct {
        const char* name;
        int code; // -1: no opener installed at all
        bool reported;
    } cases[] = {{"opener works", 0, false}, {"opener fails", 4, true}, {"no opener", -1, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(bin.path() + QStringLiteral("/xdg-open"));
        QFile::remove(bin.path() + QStringLiteral("/opened"));
        if (c.code >= 0)
            openerEnding(c.code);
        int failures = 0;
        int successes = 0;
        rt::Platform system;
        system.shellOpen(QStringLiteral("/tmp/temp.eml"), QString(), QString(),
                         [&](bool opened) { ++(opened ? successes : failures); });
        // Until the opener has run (or, without one, the failure came),
        // then a moment for its end to be reported.
        const QDeadlineTimer deadline(10000);
        const QString marker = bin.path() + QStringLiteral("/opened");
        while (!deadline.hasExpired() && failures == 0 && (c.code < 0 || !QFile::exists(marker)))
            spin(20);
        spin(300);
        EXPECT_EQ(failures, c.reported ? 1 : 0);
        EXPECT_EQ(successes, c.reported ? 0 : 1);
    }
}

} // namespace
