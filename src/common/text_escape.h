#pragma once

#include <string>
#include <string_view>

namespace tavrel {

// UTF-8 text as one piece of one line, whatever it holds (a device's name, say): tab, line feed
// and backslash as \t, \n and \\, every other control character (C0, DEL, C1) as \xHH.
std::string EscapeControlCharacters(std::string_view utf8);

}  // namespace tavrel
