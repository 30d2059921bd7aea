#pragma once

#include "commands/command_packet.h"
#include "common/log_sink.h"
#include "remote/tick_timer.h"
#include "remote/udp_line_queue.h"

namespace tavrel {

// Runs a line queue's ticks from the event loop, for the UDP server and for send alike: arms the
// timer for the queue's next tick (a tick never runs from inside another, or from a push) and runs
// each tick with whether traces show decided before its time is taken.
class LineQueueDriver {
public:
    LineQueueDriver(UdpLineQueue& queue, TickTimer& timer) : m_queue(queue), m_timer(timer) {}

    // Arms the timer for the queue's next tick, unless it is armed for an earlier moment already.
    void Schedule();
    // The timer's tick: runs the line that is due (UdpLineQueue::Tick), then arms for the next.
    // Gives whether a line ran.
    bool Tick(PacketSink& packets, LogSink& log);

private:
    UdpLineQueue& m_queue;
    TickTimer& m_timer;
};

}  // namespace tavrel
