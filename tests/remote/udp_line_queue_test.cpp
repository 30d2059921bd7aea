#include "remote/udp_line_queue.h"

#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "commands/command_codes.h"
#include "support/log_collector.h"

namespace tavrel {
namespace {

using namespace std::chrono_literals;
using test::LogCollector;
using test::PacketCollector;
using test::Utf8ToGbk;
using ::testing::ElementsAre;
using Time = UdpLineQueue::TimePoint;

class UdpLineQueueTest : public ::testing::Test {
protected:
    bool TickAt(std::chrono::microseconds at) { return queue.Tick(t0 + at, packets, log); }
    void PushAt(std::chrono::microseconds at, const char* utf8) { queue.Push(Utf8ToGbk(utf8), t0 + at); }
    std::optional<std::chrono::microseconds> NextAt(std::chrono::microseconds now) const {
        const auto next = queue.NextTick(t0 + now);
        if (!next) return std::nullopt;
        return std::chrono::duration_cast<std::chrono::microseconds>(*next - t0);
    }

    UdpLineQueue queue;
    PacketCollector packets;
    LogCollector log;
    // Ahead of the clock, so that the times a test gives are never behind a real write's.
    const Time t0 = UdpLineQueue::Clock::now() + std::chrono::hours(1);
};

TEST_F(UdpLineQueueTest, ADatagramIsOneLineCutAtItsFirstZeroByte) {
    using namespace std::string_literals;
    EXPECT_EQ(UdpLineQueue::LineOf("abc\0def"s), "abc");
    EXPECT_EQ(UdpLineQueue::LineOf("a\r\nb"), "a\r\nb") << "line breaks stay";
    EXPECT_EQ(UdpLineQueue::LineOf(""), "");
}

// A line arriving at an idle queue runs at once; later ones keep a 10 ms grid, one line a tick.
TEST_F(UdpLineQueueTest, OneLinePerTickInArrivalOrderWithoutWaitingForTheFirst) {
    EXPECT_EQ(NextAt(0ms), std::nullopt);
    PushAt(3ms, "按键：A");
    EXPECT_EQ(NextAt(3ms), 3ms);
    ASSERT_TRUE(TickAt(3ms));
    PushAt(4ms, "按键：B");
    PushAt(4ms, "注释：c");
    EXPECT_EQ(NextAt(4ms), 13ms);
    EXPECT_FALSE(TickAt(12ms));
    ASSERT_TRUE(TickAt(13ms));
    EXPECT_EQ(NextAt(14ms), 23ms);
    ASSERT_TRUE(TickAt(24ms));  // a millisecond late: the grid holds
    EXPECT_EQ(NextAt(24ms), std::nullopt);
    PushAt(25ms, "按键：C");
    EXPECT_EQ(NextAt(25ms), 33500us) << "the last line ran less than a tick ago";
    EXPECT_FALSE(TickAt(33ms));
    ASSERT_TRUE(TickAt(33500us));
    PushAt(48ms, "按键：D");
    EXPECT_EQ(NextAt(48ms), 48ms) << "idle for a tick: at once";
    ASSERT_TRUE(TickAt(48ms));
    PushAt(49ms, "按键：E");
    EXPECT_EQ(NextAt(49ms), 58ms) << "the moment it ran became the tick";
    ASSERT_TRUE(TickAt(58ms));

    EXPECT_THAT(log.Utf8Lines(), ElementsAre("执行脚本：按键：A", "执行脚本：按键：B", "执行脚本：注释：c",
                                             "执行脚本：按键：C", "执行脚本：按键：D", "执行脚本：按键：E"));
    ASSERT_EQ(packets.packets().size(), 5u);
    EXPECT_EQ(packets.packets()[0].code, CMD_KEYBOARD);
    EXPECT_THAT(packets.packets()[0].data, ElementsAre(0x20, 0x04, 0x00, 0, 0, 0, 0, 0));
    EXPECT_THAT(packets.packets()[1].data, ElementsAre(0x20, 0x05, 0x00, 0, 0, 0, 0, 0));
}

// Ticks as late as each case has them, with a line waiting for each: when the line after the last
// is due. A late tick keeps the grid: the lines behind it follow 9.5 ms apart until it is reached.
TEST_F(UdpLineQueueTest, LateTicksKeepTheGridButNeverBringTwoLinesCloserThanNineAndAHalfMilliseconds) {
    const struct {
        const char* what;
        std::vector<std::chrono::microseconds> ticks;
        std::chrono::microseconds next;
    } cases[] = {
        {"on time", {0ms, 10ms, 20ms}, 30ms},
        {"late by half a millisecond or less: the grid holds", {0ms, 10400us, 20500us}, 30ms},
        {"late by more: the next line waits 9.5 ms", {0ms, 11ms}, 20500us},
        {"nearly a tick late: the next line still waits 9.5 ms", {0ms, 19900us}, 29400us},
        {"a whole tick late: the grid holds", {0ms, 20ms}, 29500us},
        {"late lines catch up 0.5 ms each", {0ms, 15ms, 24500us, 34ms, 43500us}, 53ms},
        {"until the grid is reached", {0ms, 11ms, 20500us, 30ms}, 40ms},
        {"lateness is never lost", {0ms, 19ms, 28500us, 38ms, 47500us, 57ms, 66500us}, 76ms},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        UdpLineQueue fresh;
        for (std::size_t i = 0; i <= c.ticks.size(); ++i)
            fresh.Push("x", t0);
        for (const auto tick : c.ticks)
            ASSERT_TRUE(fresh.Tick(t0 + tick, packets, log)) << tick.count();
        const auto next = fresh.NextTick(t0 + c.ticks.back());
        ASSERT_TRUE(next);
        EXPECT_EQ(std::chrono::duration_cast<std::chrono::microseconds>(*next - t0).count(), c.next.count());
        EXPECT_FALSE(fresh.Tick(*next - 1us, packets, log)) << "not before";
        EXPECT_EQ(fresh.TakeStallReport(), std::nullopt);
    }
}

// The spacing counts from the write, not from the tick: a line whose packet went out late is
// followed no sooner than 9.5 ms after that packet.
TEST_F(UdpLineQueueTest, TheSpacingCountsFromTheLastWrite) {
    class SlowSink : public PacketSink {
    public:
        void SendPacket(const CommandPacket&) override { std::this_thread::sleep_for(3ms); }
    } slow;
    const Time start = UdpLineQueue::Clock::now();
    queue.Push(Utf8ToGbk("按键：A"), start);
    queue.Push(Utf8ToGbk("按键：B"), start);
    ASSERT_TRUE(queue.Tick(start, slow, log));
    const auto next = queue.NextTick(start);
    ASSERT_TRUE(next);
    EXPECT_GE(*next - start, 9500us + 3ms) << "9.5 ms after the write that ended 3 ms into the tick";
}

TEST_F(UdpLineQueueTest, OnlyAStallOfASecondStartsTheGridAgainAndIsSaid) {
    for (int i = 0; i < 5; ++i)
        queue.Push("x", t0);
    ASSERT_TRUE(TickAt(0ms));
    ASSERT_TRUE(TickAt(500ms));  // held up for half a second: caught up later, not said
    EXPECT_EQ(NextAt(500ms), 509500us);
    EXPECT_EQ(queue.TakeStallReport(), std::nullopt);
    ASSERT_TRUE(TickAt(2000ms));  // 1.98 s behind the grid's 20 ms
    const std::optional<std::string> report = queue.TakeStallReport();
    ASSERT_TRUE(report);
    EXPECT_EQ(test::GbkToUtf8(*report), "UDP队列延迟1980毫秒，重新计时");
    EXPECT_EQ(queue.TakeStallReport(), std::nullopt) << "said once";
    EXPECT_EQ(NextAt(2000ms), 2010ms) << "the grid starts again from the late tick";
}

TEST_F(UdpLineQueueTest, ADelayLineHoldsTheLinesBehindIt) {
    queue.Push(Utf8ToGbk("延时：3秒"));
    queue.Push(Utf8ToGbk("按键：A"));
    ASSERT_TRUE(TickAt(0ms));
    EXPECT_EQ(NextAt(10ms), 3000ms);
    EXPECT_FALSE(TickAt(2990ms));
    ASSERT_TRUE(TickAt(3000ms));
    queue.Push(Utf8ToGbk("延时：250毫秒"));
    queue.Push(Utf8ToGbk("按键：B"));
    ASSERT_TRUE(TickAt(3010ms));
    EXPECT_EQ(NextAt(3020ms), 3260ms);
    EXPECT_EQ(packets.packets().size(), 1u);
}

TEST_F(UdpLineQueueTest, ClearDropsTheWaitingLinesAndTheDelay) {
    queue.Push(Utf8ToGbk("延时：3秒"));
    queue.Push("x");
    ASSERT_TRUE(TickAt(0ms));
    queue.Clear();
    EXPECT_EQ(queue.Size(), 0u);
    queue.Push(Utf8ToGbk("按键：A"));
    EXPECT_EQ(NextAt(20ms), 20ms);
}

TEST_F(UdpLineQueueTest, AFullQueueDropsAndSaysSoAtMostOnceASecond) {
    for (std::size_t i = 0; i < UdpLineQueue::kCapacity; ++i)
        ASSERT_TRUE(queue.Push("x"));
    EXPECT_FALSE(queue.Push("y"));
    EXPECT_FALSE(queue.Push("y"));
    EXPECT_EQ(queue.Size(), UdpLineQueue::kCapacity);
    const auto first = queue.TakeOverflowReport(t0);
    ASSERT_TRUE(first);
    EXPECT_EQ(test::GbkToUtf8(*first), "UDP队列已满，已丢弃2行");
    EXPECT_FALSE(queue.Push("y"));
    EXPECT_FALSE(queue.TakeOverflowReport(t0 + 999ms));
    const auto second = queue.TakeOverflowReport(t0 + 1000ms);
    ASSERT_TRUE(second);
    EXPECT_EQ(test::GbkToUtf8(*second), "UDP队列已满，已丢弃1行");
    EXPECT_FALSE(queue.TakeOverflowReport(t0 + 5000ms)) << "nothing dropped since";
}

}  // namespace
}  // namespace tavrel
