#include "remote/tick_timer.h"

#include <vector>

#include <QTest>
#include <gtest/gtest.h>

namespace tavrel {
namespace {

using namespace std::chrono_literals;

// Whatever the moment, the timer fires from the event loop, never before its moment.
TEST(TickTimer, FiresFromTheEventLoopAndNeverEarly) {
    const std::vector<std::chrono::microseconds> offsets = {-5ms, 0us, 300us, 1500us, 2500us, 25ms};
    for (const auto offset : offsets) {
        SCOPED_TRACE(offset.count());
        TickTimer timer;
        std::optional<TickTimer::TimePoint> firedAt;
        QObject::connect(&timer, &TickTimer::timeout, [&] { firedAt = TickTimer::Clock::now(); });
        const TickTimer::TimePoint when = TickTimer::Clock::now() + offset;
        timer.Start(when);
        EXPECT_FALSE(firedAt) << "not from Start";
        EXPECT_TRUE(timer.Active());
        ASSERT_TRUE(QTest::qWaitFor([&] { return firedAt.has_value(); }, 10000));
        EXPECT_GE(*firedAt, when);
        EXPECT_FALSE(timer.Active());
    }
}

TEST(TickTimer, ALaterStartReplacesTheEarlierAndStopCancels) {
    TickTimer timer;
    int fired = 0;
    QObject::connect(&timer, &TickTimer::timeout, [&] { ++fired; });
    const auto now = TickTimer::Clock::now();
    timer.Start(now + 1ms);
    timer.Start(now + 30ms);
    EXPECT_EQ(timer.When(), now + 30ms);
    ASSERT_TRUE(QTest::qWaitFor([&] { return fired == 1; }, 10000));
    EXPECT_GE(TickTimer::Clock::now(), now + 30ms);
    timer.Start(TickTimer::Clock::now());
    timer.Stop();
    bool later = false;
    QTimer::singleShot(20, [&] { later = true; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return later; }, 10000));
    EXPECT_EQ(fired, 1) << "stopped";
}

}  // namespace
}  // namespace tavrel
