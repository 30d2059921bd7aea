#include "common/local_time.h"

#include <ctime>

namespace tavrel {

namespace {

std::string FormatTime(const char* format, const std::tm& parts) {
    char text[128];
    const std::size_t length = std::strftime(text, sizeof text, format, &parts);
    return std::string(text, length);
}

}  // namespace

std::string LocalTimeText(std::chrono::system_clock::time_point moment) {
    const auto wholeSeconds = std::chrono::floor<std::chrono::seconds>(moment);
    const auto milliseconds = std::chrono::floor<std::chrono::milliseconds>(moment - wholeSeconds);
    const std::time_t seconds = std::chrono::system_clock::to_time_t(wholeSeconds);
    std::tm parts{};
    localtime_r(&seconds, &parts);
    const bool midnight =
        milliseconds.count() == 0 && parts.tm_hour == 0 && parts.tm_min == 0 && parts.tm_sec == 0;
    std::string text = FormatTime("%x", parts);
    if (!midnight) {
        text += ' ';
        text += FormatTime("%X", parts);
    }
    return text;
}

std::string LocalTimeText() {
    return LocalTimeText(std::chrono::system_clock::now());
}

}  // namespace tavrel
