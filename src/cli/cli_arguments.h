#pragma once

#include <optional>
#include <string>
#include <string_view>

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

}  // namespace tavrel
