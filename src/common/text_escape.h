#pragma once

#include <string>
#include <string_view>

namespace tavrel {

// UTF-8 text as one piece of one line, whatever it holds (a device's name, say): tab, line feed
// and backslash as \t, \n and \\, every other control character (C0, DEL, C1) as \xHH.
std::string EscapeControlCharacters(std::string_view utf8);

// Text from outside quoted in a message (an argument, a word of an input): at most
// `maxCharacters` UTF-8 characters of it, the cut marked with "…", escaped as above.
std::string QuoteText(std::string_view utf8, std::size_t maxCharacters = 80);

}  // namespace tavrel
