// SPDX-License-Identifier: MIT
// Which members a command works on: shell patterns, exact names and directory prefixes, with
// exclusions that win.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "unbcl/console.hpp"

namespace unbcl::bcl {

struct SelectionOptions {
    std::vector<std::string> patterns;  // empty: every member
    std::vector<std::string> excludes;
    bool ignoreCase = false;
    // A '\\' in an operand that names a member or a directory exactly is a separator, as in
    // the names it is matched against ("DATA\\Level1.MAP" selects DATA/Level1.MAP). In a
    // pattern it still escapes the next character, as fnmatch(3) has it.
    bool backslashSeparates = false;
};

class MemberSelection {
public:
    explicit MemberSelection(SelectionOptions options);

    // Does the operand select the member at path? It does when path equals it, when fnmatch(3)
    // matches ('*' crosses '/'), or when it names a directory that holds path (the last two
    // also with the operand's backslashes read as separators, when they are).
    bool operandSelects(const std::string& operand, std::string_view path) const;

    // Is the member at path selected by some pattern (all, when there are none) and excluded
    // by none? Remembers which patterns found a member.
    bool selects(std::string_view path);

    const std::vector<std::string>& patterns() const { return options_.patterns; }
    bool excluded(std::string_view path) const;

    // "PATTERN: not found in the archive" for each pattern that matched no member.
    Problems patternsNotFound() const;
    void reportPatternsNotFound(Diagnostics& diagnostics) const { diagnostics.reportAll(patternsNotFound()); }

private:
    bool namesExactly(std::string_view operand, std::string_view path) const;

    SelectionOptions options_;
    std::vector<bool> found_;
};

}  // namespace unbcl::bcl
