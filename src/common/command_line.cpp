#include "common/command_line.h"

#include <algorithm>

namespace tavrel {

namespace {

const OptionSpec* Find(std::span<const OptionSpec* const> options, std::string_view name) {
    const auto found = std::find_if(options.begin(), options.end(),
                                    [&](const OptionSpec* spec) { return spec->name == name; });
    return found == options.end() ? nullptr : *found;
}

}  // namespace

std::string OptionSpec::Written() const {
    std::string text(name);
    if (value == OptionValue::Required) text += " " + std::string(valueName);
    if (value == OptionValue::Optional) text += "[=" + std::string(valueName) + "]";
    return text;
}

void WalkArguments(std::span<const std::string> args, std::span<const OptionSpec* const> options,
                   OperandRule operands,
                   const std::function<void(const OptionSpec&, const std::optional<std::string>&)>& option,
                   const std::function<void(const std::string&)>& operand) {
    bool operandsOnly = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool isOperand = operandsOnly || (operands == OperandRule::Lines && !arg.starts_with("--")) ||
                               (operands == OperandRule::Words && (arg == "-" || !arg.starts_with("-")));
        if (isOperand) {
            operand(arg);
            continue;
        }
        if (operands == OperandRule::Lines && arg == "--") {
            operandsOnly = true;
            continue;
        }
        std::string_view name = arg;
        std::optional<std::string> value;
        if (const std::size_t equals = name.find('='); arg.starts_with("--") && equals != std::string::npos) {
            value = std::string(name.substr(equals + 1));
            name = name.substr(0, equals);
        }
        const OptionSpec* spec = Find(options, name);
        if (spec == nullptr) throw ArgumentFault{ArgumentFault::Kind::Unknown, nullptr, arg};
        if (spec->value == OptionValue::None && value) {
            throw ArgumentFault{ArgumentFault::Kind::TakesNoValue, spec, arg};
        }
        if (spec->value == OptionValue::Required && !value) {
            if (i + 1 >= args.size()) throw ArgumentFault{ArgumentFault::Kind::NeedsValue, spec, arg};
            value = args[++i];
        }
        option(*spec, value);
    }
}

std::string OptionHelpTable(std::span<const OptionSpec* const> options) {
    constexpr std::size_t kColumn = 18;
    std::string table;
    for (const OptionSpec* spec : options) {
        if (spec->hidden) continue;
        const std::string written = spec->Written();
        table += "  " + written;
        table += std::string(written.size() + 2 <= kColumn ? kColumn - written.size() : 2, ' ');
        for (const char c : spec->help) {
            table += c;
            if (c == '\n') table += std::string(kColumn + 2, ' ');
        }
        table += '\n';
    }
    return table;
}

}  // namespace tavrel
