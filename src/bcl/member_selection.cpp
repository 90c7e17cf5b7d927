// SPDX-License-Identifier: MIT
#include "member_selection.hpp"

#include <fnmatch.h>
#include <strings.h>

#include <algorithm>

#include "member_names.hpp"

namespace unbcl::bcl {

namespace {

bool sameText(std::string_view a, std::string_view b, bool ignoreCase) {
    if (a.size() != b.size()) return false;
    return !ignoreCase || a.empty() ? a == b : ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

MemberSelection::MemberSelection(SelectionOptions options)
    : options_(std::move(options)), found_(options_.patterns.size(), false) {}

bool MemberSelection::namesExactly(std::string_view operand, std::string_view path) const {
    const bool ignoreCase = options_.ignoreCase;
    if (sameText(operand, path, ignoreCase)) return true;
    std::string_view directory = operand;
    while (!directory.empty() && directory.back() == '/') directory.remove_suffix(1);
    return !directory.empty() && path.size() > directory.size() && path[directory.size()] == '/' &&
           sameText(path.substr(0, directory.size()), directory, ignoreCase);
}

bool MemberSelection::operandSelects(const std::string& operand, std::string_view path) const {
    if (namesExactly(operand, path)) return true;
    if (options_.backslashSeparates && operand.find('\\') != std::string::npos) {
        std::string separated = operand;
        std::replace(separated.begin(), separated.end(), '\\', '/');
        if (namesExactly(normalizedPath(separated), path)) return true;
    }
    // A member name can hold a NUL no pattern can; fnmatch then sees it only up to there.
    const std::string subject(path);
    return ::fnmatch(operand.c_str(), subject.c_str(), options_.ignoreCase ? FNM_CASEFOLD : 0) == 0;
}

bool MemberSelection::excluded(std::string_view path) const {
    return std::any_of(options_.excludes.begin(), options_.excludes.end(),
                       [&](const std::string& e) { return operandSelects(e, path); });
}

bool MemberSelection::selects(std::string_view path) {
    bool selected = options_.patterns.empty();
    for (std::size_t i = 0; i < options_.patterns.size(); ++i) {
        if (operandSelects(options_.patterns[i], path)) {
            found_[i] = true;
            selected = true;
        }
    }
    return selected && !excluded(path);
}

Problems MemberSelection::patternsNotFound() const {
    Problems problems;
    for (std::size_t i = 0; i < options_.patterns.size(); ++i) {
        if (!found_[i]) problems.add(makeNameProblem(ProblemKind::NotFound, options_.patterns[i], "not found in the archive"));
    }
    return problems;
}

}  // namespace unbcl::bcl
