// However often push reports changes, the checks it asks for are merged,
// spaced and, after failures, spread out.
#include "pushcheckpacer.h"

#include <QElapsedTimer>
#include <QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <memory>

using namespace std::chrono_literals;
using watch::PushCheckPacer;

namespace {

struct Recorder {
    QElapsedTimer clock;
    QList<qint64> starts; // ms since the clock started
    bool blocked = false;
    bool failing = false;
    int checkMs = 0; // how long a check takes (an event loop meanwhile)
    std::function<void()> duringCheck;

    std::unique_ptr<PushCheckPacer> make(const PushCheckPacer::Timing& timing)
    {
        clock.start();
        auto p = std::make_unique<PushCheckPacer>([this] { return !blocked; },
                         [this] {
                             starts.append(clock.elapsed());
                             if (duringCheck)
                                 duringCheck();
                             if (checkMs > 0)
                                 QTest::qWait(checkMs);
                             return !failing;
                         });
        p->setTiming(timing);
        return p;
    }
};

// The smallest gap between two starts.
qint64 smallestGap(const QList<qint64>& starts)
{
    qint64 gap = std::numeric_limits<qint64>::max();
    for (qsizetype i = 1; i < starts.size(); ++i)
        gap = std::min(gap, starts.at(i) - starts.at(i - 1));
    return gap;
}

} // namespace

TEST(PushCheckPacerTest, AFloodOfReportsGivesOneCheckPerGap)
{
    Recorder r;
    PushCheckPacer::Timing t;
    t.minGap = 300ms;
    const auto pacer = r.make(t);
    // A report every 5 ms for 1.5 s.
    QElapsedTimer flood;
    flood.start();
    while (flood.elapsed() < 1500) {
        pacer->request();
        QTest::qWait(5);
    }
    QTest::qWait(700);
    ASSERT_FALSE(r.starts.isEmpty());
    EXPECT_LT(r.starts.first(), 100) << "the first report is checked at once";
    EXPECT_GE(smallestGap(r.starts), 290);
    EXPECT_LE(r.starts.size(), 7);
    EXPECT_GE(r.starts.size(), 5) << "reports during the flood were lost";
    EXPECT_FALSE(pacer->waiting());
}

// Reports while a check runs become one more check after it, not one each.
TEST(PushCheckPacerTest, ReportsDuringACheckAreMergedIntoOneMore)
{
    Recorder r;
    r.checkMs = 300;
    PushCheckPacer::Timing t;
    t.minGap = 100ms;
    const auto pacer = r.make(t);
    int requestsDuring = 0;
    r.duringCheck = [&] {
        if (r.starts.size() == 1) {
            for (int i = 0; i < 20; ++i, ++requestsDuring)
                pacer->request();
        }
    };
    pacer->request();
    QTest::qWait(1200);
    EXPECT_EQ(requestsDuring, 20);
    EXPECT_EQ(r.starts.size(), 2);
}

TEST(PushCheckPacerTest, ABlockedStartWaitsAndIsNotLost)
{
    Recorder r;
    r.blocked = true;
    PushCheckPacer::Timing t;
    t.blockedRetry = 50ms;
    const auto pacer = r.make(t);
    pacer->request();
    QTest::qWait(300);
    EXPECT_TRUE(r.starts.isEmpty());
    EXPECT_TRUE(pacer->waiting());
    r.blocked = false;
    EXPECT_TRUE(QTest::qWaitFor([&] { return r.starts.size() == 1; }, 1000));
}

// A failing check is tried again after a growing wait up to the longest;
// news asks sooner, never sooner than the gap; a success ends the retries.
TEST(PushCheckPacerTest, FailuresAreRetriedWithAGrowingWait)
{
    Recorder r;
    r.failing = true;
    PushCheckPacer::Timing t;
    t.minGap = 50ms;
    t.firstRetry = 100ms;
    t.longestRetry = 400ms;
    const auto pacer = r.make(t);
    pacer->request();
    QTest::qWait(2100);
    // Starts at about 0, 100, 300, 700, 1100, 1500, 1900: waits 100, 200,
    // 400 and then 400 (the longest) again. Timers may come late on a busy
    // machine, never early.
    ASSERT_GE(r.starts.size(), 5);
    ASSERT_LE(r.starts.size(), 8);
    QList<qint64> gaps;
    for (qsizetype i = 1; i < r.starts.size(); ++i)
        gaps.append(r.starts.at(i) - r.starts.at(i - 1));
    EXPECT_GE(gaps.at(0), 95);
    EXPECT_GE(gaps.at(1), 195);
    EXPECT_GE(gaps.at(2), 395);
    EXPECT_GT(gaps.at(1), gaps.at(0) + 50) << "the wait did not grow";
    EXPECT_LT(gaps.at(3), 700) << "the wait grew past the longest";

    // News while waiting 400 ms: checked after the gap instead.
    const qsizetype before = r.starts.size();
    pacer->request();
    EXPECT_TRUE(QTest::qWaitFor([&] { return r.starts.size() > before; }, 150));
    // Success ends the retries.
    r.failing = false;
    pacer->request();
    QTest::qWait(100);
    const qsizetype afterSuccess = r.starts.size();
    QTest::qWait(800);
    EXPECT_EQ(r.starts.size(), afterSuccess);
    EXPECT_FALSE(pacer->waiting());
}
