#include "common/log_sink.h"

#include "common/debugger.h"

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
