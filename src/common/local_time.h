#pragma once

#include <chrono>
#include <string>

namespace tavrel {

// The moment as local date and time: the locale's short date, one blank, its long time
// (strftime's %x and %X under the C library's LC_TIME). At exactly midnight, to the
// millisecond, only the date is given.
std::string LocalTimeText(std::chrono::system_clock::time_point moment);

// LocalTimeText of now.
std::string LocalTimeText();

}  // namespace tavrel
