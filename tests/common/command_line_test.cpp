#include "common/command_line.h"

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace tavrel {
namespace {

constexpr OptionDef kFlag{.name = "--all", .help = "every gadget"};
constexpr OptionDef kValue{
    .name = "--device", .value = OptionValue::Required, .valueName = "PATH", .help = "the gadget at PATH"};
constexpr OptionDef kOptional{.name = "--simulate",
                              .value = OptionValue::Optional,
                              .valueName = "N",
                              .help = "simulated gadgets\nN of them"};
constexpr OptionDef kQt{.name = "-platform", .value = OptionValue::Required, .hidden = true};
constexpr const OptionDef* kOptions[] = {&kFlag, &kValue, &kOptional, &kQt};

// What the walk saw, one word per option ("--device=PATH", "--simulate" without a value) or
// operand ("[x]"), and the fault it ended in ("fault:KIND:ARGUMENT").
std::string Walk(std::vector<std::string> args, OperandRule rule) {
    std::string seen;
    try {
        WalkArguments(
            args, kOptions, rule,
            [&](const OptionDef& def, const std::optional<std::string>& value) {
                seen += std::string(def.name) + (value ? "=" + *value : "") + " ";
            },
            [&](const std::string& operand) { seen += "[" + operand + "] "; });
    } catch (const ArgumentFault& fault) {
        const char* kinds[] = {"needs-value", "takes-no-value", "unknown"};
        seen += "fault:" + std::string(kinds[static_cast<int>(fault.kind)]) + ":" + fault.argument;
    }
    return seen;
}

TEST(WalkArguments, ReadsValuesBothWaysAnOptionalOneOnlyAfterEqualsAndOperandsByTheRule) {
    const struct {
        std::vector<std::string> args;
        OperandRule rule;
        std::string seen;
    } cases[] = {
        {{"--device", "a", "--device=b=c", "--all"}, OperandRule::None, "--device=a --device=b=c --all "},
        {{"--simulate", "--simulate=3"}, OperandRule::None, "--simulate --simulate=3 "},
        {{"--simulate", "3"}, OperandRule::None, "--simulate fault:unknown:3"},
        {{"--simulate", "3"}, OperandRule::Words, "--simulate [3] "},
        {{"--device"}, OperandRule::None, "fault:needs-value:--device"},
        {{"--device", "--all"}, OperandRule::None, "--device=--all "},  // a value may start with dashes
        {{"--all=1"}, OperandRule::None, "fault:takes-no-value:--all=1"},
        {{"--al"}, OperandRule::None, "fault:unknown:--al"},
        {{"--bogus=1"}, OperandRule::None, "fault:unknown:--bogus=1"},
        {{"-platform", "xcb", "-"}, OperandRule::Words, "-platform=xcb [-] "},
        {{"-platform=xcb"}, OperandRule::None, "fault:unknown:-platform=xcb"},  // only "--" options split
        {{"file", "-x"}, OperandRule::Words, "[file] fault:unknown:-x"},
        {{"-x", "a b", "--all", "--", "--all", "--"}, OperandRule::Lines, "[-x] [a b] --all [--all] [--] "},
        {{"--"}, OperandRule::Words, "fault:unknown:--"},
        // The calls before a fault are made: a callback's refusal of an earlier value comes first.
        {{"--all", "--bogus", "--device", "a"}, OperandRule::None, "--all fault:unknown:--bogus"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Walk(c.args, c.rule), c.seen) << testing::PrintToString(c.args);
    }
}

TEST(OptionHelpTable, AlignsTheHelpAndLeavesHiddenOptionsOut) {
    EXPECT_EQ(OptionHelpTable(kOptions),
              "  --all             every gadget\n"
              "  --device PATH     the gadget at PATH\n"
              "  --simulate[=N]    simulated gadgets\n"
              "                    N of them\n");
}

}  // namespace
}  // namespace tavrel
