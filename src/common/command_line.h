#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tavrel {

// Whether an option takes a value, and how it is given.
enum class OptionValue {
    None,      // a flag: "--x"; "--x=V" is refused
    Required,  // "--x V" or "--x=V"
    Optional,  // "--x" alone, or "--x=V" (never the next argument)
};

// What completion offers for an option's value.
enum class ValueHint {
    Text,    // free text: nothing
    File,    // file names
    Folder,  // folder names
    Words,   // the words of OptionDef::words
    Device,  // the gadgets' paths
};

// One option, declared once: the parser, the help, the completion and the manual page's checks all
// read it.
struct OptionDef {
    std::string_view name{};  // "--device", or Qt's "-platform"
    OptionValue value = OptionValue::None;
    std::string_view valueName{};  // in help and usage: "PATH", "N"
    std::string_view help{};       // one short sentence
    std::string_view noun{};       // what a missing value is called ("a file"); empty: "a value"
    ValueHint hint = ValueHint::Text;
    std::string_view words{};  // ValueHint::Words: the values, blank-separated
    bool hidden = false;       // taken but not shown (options passed on to Qt)

    // "--simulate[=N]", "--device PATH", "--all": how help and usage write it.
    std::string Written() const;
};

// An argument that cannot be read as the options allow.
struct ArgumentFault {
    enum class Kind {
        NeedsValue,    // a Required option last, without its value
        TakesNoValue,  // "--flag=V"
        Unknown,       // not an option of this command, or an operand it does not take
    };
    Kind kind;
    const OptionDef* option = nullptr;  // NeedsValue, TakesNoValue
    std::string argument;               // the argument as given
};

// What a command takes besides its options.
enum class OperandRule {
    None,   // nothing: every other argument is a fault
    Words,  // "-" and arguments that do not start with "-"
    Lines,  // every argument that does not start with "--"; after "--" every argument
};

// Reads `args` in order against `options`, calling `option` for each option with its value and
// `operand` for each operand. Throws ArgumentFault at the first argument it cannot read, after
// the calls for the arguments before it (so that a callback's own refusal of an earlier value
// comes first, as a reader going left to right would see it).
void WalkArguments(std::span<const std::string> args, std::span<const OptionDef* const> options,
                   OperandRule operands,
                   const std::function<void(const OptionDef&, const std::optional<std::string>&)>& option,
                   const std::function<void(const std::string&)>& operand);

// The options' help as a two-column table: "  --sim-trace FILE  with --simulate: ...", the
// help column at least 18 wide, further lines of a help text indented to it. Hidden options are
// left out.
std::string OptionHelpTable(std::span<const OptionDef* const> options);

}  // namespace tavrel
