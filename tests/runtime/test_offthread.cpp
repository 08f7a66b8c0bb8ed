#include "offthread.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>
#include <gtest/gtest.h>
#include <atomic>
#include <stdexcept>

namespace {

class OffThreadTest : public ::testing::Test {
protected:
    int argc = 1;
    char name[16] = "runtime_tests";
    char* argv[2] = {name, nullptr};
    QCoreApplication app{argc, argv};
};

TEST_F(OffThreadTest, WindowThreadTimersRunWhileTheStepBlocks)
{
    // The step waits until a timer on the calling thread has fired: it can
    // only end when that thread keeps serving its events meanwhile.
    std::atomic<bool> released{false};
    QThread* stepThread = nullptr;
    QTimer::singleShot(50, [&] { released = true; });
    rt::awaitOffThread([&] {
        stepThread = QThread::currentThread();
        while (!released)
            QThread::msleep(5);
    });
    EXPECT_TRUE(released);
    EXPECT_NE(stepThread, app.thread());
    EXPECT_FALSE(rt::offThreadStepRunning());
}

TEST_F(OffThreadTest, ResultsAndExceptionsReachTheCaller)
{
    EXPECT_EQ(rt::awaitOffThreadResult([] { return 42; }), 42);
    EXPECT_THROW(rt::awaitOffThread([] { throw std::runtime_error("nede"); }), std::runtime_error);
    try {
        rt::awaitOffThreadResult([]() -> int { throw std::runtime_error("tidsavbrudd"); });
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "tidsavbrudd");
    }
}

TEST(OffThreadWithoutApp, RunsInPlace)
{
    QThread* stepThread = nullptr;
    rt::awaitOffThread([&] { stepThread = QThread::currentThread(); });
    EXPECT_EQ(stepThread, QThread::currentThread());
}

} // namespace
