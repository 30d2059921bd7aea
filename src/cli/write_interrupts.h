#pragma once

#include <csignal>

namespace tavrel {

// While it lives, an interrupt (SIGINT or SIGTERM) does not cut a write to the gadgets' flash
// short, which would leave a version record promising records never written: the first says on
// standard error that the running write is being finished, and the program goes on; a second ends
// it at once. The dispositions before it are restored when it goes.
class WriteInterrupts {
public:
    WriteInterrupts();
    ~WriteInterrupts();
    WriteInterrupts(const WriteInterrupts&) = delete;
    WriteInterrupts& operator=(const WriteInterrupts&) = delete;

    // Whether an interrupt came while one lived.
    static bool Interrupted();

private:
    struct sigaction m_previousInt {};
    struct sigaction m_previousTerm {};
};

}  // namespace tavrel
