// The command line is declared once, in the registry: the usage lines, the bash completion and the
// manual page's synopsis must say what it declares. Each test fails when an option is added to
// one and not to the others.
#include "cli/command_registry.h"

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace tavrel {
namespace {

using Names = std::set<std::string>;

std::string ReadSourceFile(const std::string& path) {
    std::ifstream file(std::string(TAVREL_SOURCE_DIR) + "/" + path);
    EXPECT_TRUE(file) << path;
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// The options a command shows (not the hidden ones).
Names Declared(const CliCommand& command) {
    Names names;
    for (const OptionDef* def : command.options) {
        if (!def->hidden) names.emplace(def->name);
    }
    return names;
}

// The "--name" words of `text`, with [SELECT] standing for the command's selection options.
Names Mentioned(const CliCommand& command, const std::string& text, const std::regex& option) {
    Names names;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), option); it != std::sregex_iterator(); ++it)
        names.insert("--" + (*it)[1].str());
    if (text.find("SELECT") != std::string::npos) {
        for (const OptionDef* def : SelectOptionDefs(command))
            names.emplace(def->name);
    }
    return names;
}

TEST(CommandRegistry, EachUsageLineNamesExactlyTheOptionsTheCommandTakes) {
    const std::regex option("--([a-z][a-z-]*)");
    for (const CliCommand& command : CliCommands()) {
        EXPECT_EQ(Mentioned(command, std::string(command.synopsis), option), Declared(command))
            << command.name;
        const std::string help = CommandHelp(command);
        for (const std::string& name : Declared(command))
            EXPECT_THAT(help, ::testing::HasSubstr("\n  " + name)) << command.name;
    }
}

TEST(CommandRegistry, TheManualPagesSynopsisNamesExactlyTheOptionsOfEachCommand) {
    const std::string page = ReadSourceFile("dist/linux/man/tavrel-cli.1");
    const std::size_t start = page.find(".SH SYNOPSIS");
    ASSERT_NE(start, std::string::npos);
    const std::string synopsis = page.substr(start, page.find(".SH ", start + 1) - start);
    // One block a command: from ".B tavrel\-cli NAME" to the next ".br".
    std::map<std::string, std::string> blocks;
    const std::regex head(R"(^\.B tavrel\\-cli ([a-z]+(?: (?:read|write|clear|\\-\\-to))?)\s*$)");
    std::istringstream lines(synopsis);
    std::string line;
    std::string current;
    while (std::getline(lines, line)) {
        std::smatch match;
        if (std::regex_match(line, match, head)) {
            current = std::regex_replace(match[1].str(), std::regex(R"(\\-)"), "-");
            continue;
        }
        if (line.starts_with(".br")) current.clear();
        if (!current.empty()) blocks[current] += line + "\n";
    }
    const std::regex option(R"(\\-\\-([a-z][a-z\\-]*[a-z]))");
    for (const CliCommand& command : CliCommands()) {
        ASSERT_TRUE(blocks.contains(std::string(command.name))) << command.name;
        Names mentioned;
        for (std::string name : Mentioned(command, blocks[std::string(command.name)], option)) {
            mentioned.insert(std::regex_replace(name, std::regex(R"(\\-)"), "-"));
        }
        if (command.name == "send --to") mentioned.insert("--to");
        EXPECT_EQ(mentioned, Declared(command)) << command.name;
    }
}

// What bash completion offers: the options of each command, and for each option's value files,
// folders, words, gadget paths or nothing.
struct Completion {
    std::map<std::string, Names> options;      // by command
    std::map<std::string, ValueHint> values;   // by option
    std::map<std::string, std::string> words;  // ValueHint::Words: the words
};

Completion ReadCompletion() {
    const std::string script = ReadSourceFile("dist/linux/bash-completion/tavrel-cli");
    Completion completion;
    const auto words = [](const std::string& text) {
        Names names;
        std::istringstream in(text);
        for (std::string word; in >> word;)
            names.insert(word);
        return names;
    };
    std::smatch match;
    Names select;
    if (std::regex_search(script, match, std::regex(R"re(local select="([^"]*)")re")))
        select = words(match[1]);
    const std::regex row(R"re(^\s*([a-z" |]+)\)\s*options=("?)([^";]*)\2)re");
    const std::regex valueRow(R"(^\s*(--[a-z-]+(?:\s*\|\s*--[a-z-]+)*)\)\s*$)");
    std::istringstream lines(script);
    std::string line;
    std::vector<std::string> pending;  // the options of a value row, until its action is read
    while (std::getline(lines, line)) {
        if (std::regex_search(line, match, row)) {
            Names offered;
            for (const std::string& word : words(match[3])) {
                if (word == "$select") {
                    offered.insert(select.begin(), select.end());
                } else {
                    offered.insert(word);
                }
            }
            std::string names = match[1];
            for (const std::string& name : {std::string("\"flash read\""), std::string("\"flash write\""),
                                            std::string("\"flash clear\"")}) {
                if (names.find(name) != std::string::npos) {
                    completion.options[name.substr(1, name.size() - 2)] = offered;
                    names.erase(names.find(name), name.size());
                }
            }
            for (std::string name : words(std::regex_replace(names, std::regex(R"(\|)"), " ")))
                completion.options[name] = offered;
        } else if (std::regex_match(line, match, valueRow)) {
            pending.clear();
            for (const std::string& name :
                 words(std::regex_replace(match[1].str(), std::regex(R"(\|)"), " ")))
                pending.push_back(name);
        } else if (!pending.empty()) {
            std::optional<ValueHint> hint;
            if (line.find("_tavrel_cli_files -d") != std::string::npos) {
                hint = ValueHint::Folder;
            } else if (line.find("_tavrel_cli_files") != std::string::npos) {
                hint = ValueHint::File;
            } else if (line.find("_tavrel_cli_devices") != std::string::npos) {
                hint = ValueHint::Device;
            } else if (line.find("free text") != std::string::npos) {
                hint = ValueHint::Text;
            } else if (std::regex_search(line, match, std::regex(R"re(compgen -W "([^"$]*)")re"))) {
                hint = ValueHint::Words;
                for (const std::string& name : pending)
                    completion.words[name] = match[1];
            }
            if (hint) {
                for (const std::string& name : pending)
                    completion.values[name] = *hint;
                pending.clear();
            }
        }
    }
    return completion;
}

TEST(CommandRegistry, BashCompletionOffersExactlyTheOptionsOfEachCommandAndTheRightValues) {
    const Completion completion = ReadCompletion();
    std::map<std::string, Names> declared;  // "send" and "send --to" complete as one
    for (const CliCommand& command : CliCommands()) {
        const std::string word = command.name == "send --to" ? "send" : std::string(command.name);
        const Names names = Declared(command);
        declared[word].insert(names.begin(), names.end());
        for (const OptionDef* def : command.options) {
            if (def->hidden || def->value != OptionValue::Required) continue;
            ASSERT_TRUE(completion.values.contains(std::string(def->name))) << def->name;
            EXPECT_EQ(completion.values.at(std::string(def->name)), def->hint) << def->name;
            if (def->hint == ValueHint::Words) {
                EXPECT_EQ(completion.words.at(std::string(def->name)), def->words) << def->name;
            }
        }
    }
    EXPECT_EQ(completion.options, declared);
}

}  // namespace
}  // namespace tavrel
