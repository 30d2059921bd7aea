#include "log_sink.h"

#include "debugger.h"

namespace tavrel {

void LogSink::TraceLine(std::string_view text) {
    if (DebuggerAttached()) {
        LogLine(text);
    }
}

bool LogSink::DebuggerAttached() const {
    return IsDebuggerAttached();
}

}  // namespace tavrel
