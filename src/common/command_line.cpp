#include "common/command_line.h"

#include <algorithm>

namespace tavrel {

namespace {

const OptionDef* Find(std::span<const OptionDef* const> options, std::string_view name) {
    const auto found =
        std::find_if(options.begin(), options.end(), [&](const OptionDef* def) { return def->name == name; });
    return found == options.end() ? nullptr : *found;
}

}  // namespace

std::string OptionDef::Written() const {
    std::string text(name);
    if (value == OptionValue::Required) text += " " + std::string(valueName);
    if (value == OptionValue::Optional) text += "[=" + std::string(valueName) + "]";
    return text;
}

void WalkArguments(std::span<const std::string> args, std::span<const OptionDef* const> options,
                   OperandRule operands,
                   const std::function<void(const OptionDef&, const std::optional<std::string>&)>& option,
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
        const OptionDef* def = Find(options, name);
        if (def == nullptr) throw ArgumentFault{ArgumentFault::Kind::Unknown, nullptr, arg};
        if (def->value == OptionValue::None && value) {
            throw ArgumentFault{ArgumentFault::Kind::TakesNoValue, def, arg};
        }
        if (def->value == OptionValue::Required && !value) {
            if (i + 1 >= args.size()) throw ArgumentFault{ArgumentFault::Kind::NeedsValue, def, arg};
            value = args[++i];
        }
        option(*def, value);
    }
}

std::string OptionHelpTable(std::span<const OptionDef* const> options) {
    constexpr std::size_t kColumn = 18;
    std::string table;
    for (const OptionDef* def : options) {
        if (def->hidden) continue;
        const std::string written = def->Written();
        table += "  " + written;
        table += std::string(written.size() + 2 <= kColumn ? kColumn - written.size() : 2, ' ');
        for (const char c : def->help) {
            table += c;
            if (c == '\n') table += std::string(kColumn + 2, ' ');
        }
        table += '\n';
    }
    return table;
}

}  // namespace tavrel
