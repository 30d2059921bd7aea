#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/log_sink.h"
#include "gadget/gadget_exchange.h"
#include "gadget/gadget_link.h"

class QEventLoop;

namespace tavrel {

class HidPlatform;

class THidDeviceController;

// How one exchange of a command ended, for its result line.
struct ExchangeEnd {
    GadgetExchange::Outcome outcome = GadgetExchange::Outcome::Running;
    std::string failure;   // the exchange's FailureText
    std::size_t sent = 0;  // packets sent and answered, for a PacketSequence
    std::size_t answered = 0;
    std::size_t packets = 0;  // the sequence's packets
};

// What a window would otherwise hold for the command line: the controller over a platform, the
// gadget link with the gadgets listed, and the event loop that runs their exchanges. Every gadget
// is listed (none is selected); device changes rebuild the list, which ends the exchanges of
// gadgets that went away.
class GadgetSession {
public:
    GadgetSession(HidPlatform& platform, int replyWaitMs);
    ~GadgetSession();
    GadgetSession(const GadgetSession&) = delete;
    GadgetSession& operator=(const GadgetSession&) = delete;

    // Runs the controller's first scan (at most 10 s) and lists the gadgets it found.
    void Open();
    GadgetLink& Link() { return *m_link; }
    // `rebuilt` is told after every rebuild of the list (each device change, the first scan too).
    void SetRebuilt(std::function<void()> rebuilt) { m_rebuilt = std::move(rebuilt); }

    // Starts every exchange at once, each with its own gadget, and runs the event loop until each
    // has ended; gives how each ended, in the order given. Work that feeds them (queued lines,
    // timers) runs on the same loop.
    std::vector<ExchangeEnd> RunAll(std::vector<std::unique_ptr<GadgetExchange>> exchanges);

private:
    SilentLogSink m_log;  // the replies' lines: the command line reports results instead
    std::unique_ptr<THidDeviceController> m_controller;
    std::unique_ptr<GadgetLink> m_link;
    std::function<void()> m_rebuilt;
};

}  // namespace tavrel
