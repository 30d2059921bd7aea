#include <fstream>
#include <sstream>

#include "common/debugger.h"
#include "common/gbk_text.h"

namespace tavrel {

long TracerPidFromStatus(std::string_view statusText) {
    static constexpr std::string_view kField = "TracerPid:";
    std::size_t at = 0;
    while (at < statusText.size()) {
        std::size_t end = statusText.find('\n', at);
        if (end == std::string_view::npos) {
            end = statusText.size();
        }
        const std::string_view line = statusText.substr(at, end - at);
        if (line.substr(0, kField.size()) == kField) {
            return ReadInteger(line.substr(kField.size()));
        }
        at = end + 1;
    }
    return 0;
}

bool IsDebuggerAttached() {
    std::ifstream status("/proc/self/status");
    if (!status) {
        return false;
    }
    std::ostringstream text;
    text << status.rdbuf();
    return TracerPidFromStatus(text.str()) != 0;
}

}  // namespace tavrel
