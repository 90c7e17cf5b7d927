// SPDX-License-Identifier: MIT
// Writing an index: the rules a text must keep to read back as written, and the index text of
// an archive plan. The reader (index_reader.hpp) and this file share the format's limits
// (index_format.hpp), so that nothing written here reads back otherwise.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "unbcl/archive_plan.hpp"
#include "unbcl/problem.hpp"

namespace unbcl {

// Why a text cannot stand on an index line of its own, or nothing when it can.
std::optional<std::string> lineProblem(std::string_view text);

// Why a name cannot be a member name that reads back the same, or nothing when it can.
std::optional<std::string> memberNameProblem(std::string_view stored);

// The header lines given for a new index that cannot be written as given, one problem each.
Problems headerProblems(const std::vector<std::string>& headers);

// The line that gives a member its name: the reader takes the text between an optional
// opening bracket and the last closing one.
std::string nameLine(std::string_view stored);

// Writes the index of a plan laid out by layout, piece by piece (never the whole text at
// once) through write, which returns 0 or the errno that stopped it.
int writeIndex(const ArchivePlan& plan, const MemberLayout& layout,
               const std::function<int(std::string_view)>& write);

// The whole index text of a laid-out plan, for small plans.
std::string indexText(const ArchivePlan& plan, const MemberLayout& layout);

}  // namespace unbcl
