#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "cli/cli_status.h"
#include "common/gbk_text.h"
#include "common/text_escape.h"

namespace tavrel {

// One command-line argument: "--name=value" gives the name and its value; anything else is the
// name alone (the value, if the option takes one, is then the next argument).
struct SplitArgument {
    std::string_view name;
    std::optional<std::string> inlineValue;
};

inline SplitArgument SplitOption(std::string_view arg) {
    const std::size_t equals = arg.find('=');
    if (!arg.starts_with("--") || equals == std::string_view::npos) return {arg, std::nullopt};
    return {arg.substr(0, equals), std::string(arg.substr(equals + 1))};
}

// --version's text, refused with a UsageError unless it is a whole number from 0 to 255: the one
// byte of the version record that holds it.
inline std::string CheckedVersion(std::string text) {
    if (!ParseDigits(text, 255)) {
        throw UsageError("--version takes a whole number from 0 to 255, not '" + QuoteText(text) + "'");
    }
    return text;
}

}  // namespace tavrel
