#pragma once

#include <string_view>

namespace tavrel {

// Whether a debugger is attached to this process at this moment.
bool IsDebuggerAttached();

// The tracer's process id from the text of Linux's /proc/<pid>/status (0 when untraced or absent).
long TracerPidFromStatus(std::string_view statusText);

}  // namespace tavrel
