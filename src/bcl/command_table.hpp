// SPDX-License-Identifier: MIT
// What a command of bcl tells the command line about itself: its name, its one-line help, its
// options and operands, and how it runs. Each command's file builds its own
// Command; main.cpp lists them and turns them into the parser, the help and the
// dispatch. The options write into
// state that the command owns (through its run function), so a table built for one run shares
// nothing with another.
#pragma once

#include <charconv>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "unbcl/console.hpp"

namespace unbcl {
struct ArchivePaths;
}

namespace unbcl::bcl {

// What is wrong with one value, in words that follow "bcl COMMAND: OPTION: ", or nothing.
using ValueProblem = std::optional<std::string>;

struct CommandOption {
    std::string names;      // every spelling, as --help shows them: "-j,--jobs"
    std::string valueName;  // "N"; empty for a flag
    std::string help;
    std::string shownDefault;  // shown after the value's name in --help ("."), when it helps
    bool repeatable = false;
    char delimiter = '\0';  // "--hash md5,sha1" gives two values
    std::function<void(bool)> setFlag;
    // Takes each value given, in order, and says what is wrong with it.
    std::function<ValueProblem(const std::string&)> takeValue;
};

struct CommandCall {
    const ArchivePaths& paths;
    std::vector<std::string> operands;  // the archive operand, if there was one, taken out
    const StandardStreams& streams;
};

struct Command {
    std::string name;
    std::string summary;      // one line, for bcl --help
    std::string operandName;  // "PATTERN", as --help shows the operands
    std::string operandHelp;
    std::size_t maxOperands = 0;  // 0: any number
    bool takesArchive = true;     // false: no operand names the archive, and none may come before it
    std::vector<CommandOption> options;
    // What is wrong with the command line as a whole once every option has been taken, or "".
    std::function<std::string(const std::vector<std::string>& operands)> misuse;
    std::function<int(const CommandCall&)> run;
};

// An option's value, or a part of it, lives inside the state its command's run function owns.
template <class Part, class Owner>
std::shared_ptr<Part> partOf(const std::shared_ptr<Owner>& owner, Part& part) {
    return std::shared_ptr<Part>(owner, &part);
}

inline CommandOption flagOption(std::string names, std::string help, std::shared_ptr<bool> target) {
    CommandOption o;
    o.names = std::move(names);
    o.help = std::move(help);
    o.setFlag = [target](bool on) { *target = on; };
    return o;
}

// An option given at most once, whose value take checks and keeps.
inline CommandOption valueOption(std::string names, std::string valueName, std::string help,
                              std::function<ValueProblem(const std::string&)> take) {
    CommandOption o;
    o.names = std::move(names);
    o.valueName = std::move(valueName);
    o.help = std::move(help);
    o.takeValue = std::move(take);
    return o;
}

inline CommandOption textOption(std::string names, std::string valueName, std::string help,
                             std::shared_ptr<std::string> target) {
    return valueOption(std::move(names), std::move(valueName), std::move(help),
                       [target](const std::string& value) -> ValueProblem {
                           *target = value;
                           return std::nullopt;
                       });
}

// An option that may be given more than once; each value is kept, in order.
inline CommandOption textsOption(std::string names, std::string valueName, std::string help,
                              std::shared_ptr<std::vector<std::string>> target) {
    CommandOption o = valueOption(std::move(names), std::move(valueName), std::move(help),
                               [target](const std::string& value) -> ValueProblem {
                                   target->push_back(value);
                                   return std::nullopt;
                               });
    o.repeatable = true;
    return o;
}

// A whole decimal number, nothing before or after it.
template <class Number>
std::optional<Number> decimalNumber(std::string_view text) {
    Number n{};
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, n);
    if (text.empty() || error != std::errc() || stop != end) return std::nullopt;
    return n;
}

}  // namespace unbcl::bcl
