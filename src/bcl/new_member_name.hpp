// SPDX-License-Identifier: MIT
// The one rule for a name bcl gives a member: create, update and append judge each file's name
// by it, rename the new name.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace unbcl::bcl {

// Why a member cannot be given a name, or nothing when it can. name is the name as the user
// gives it, '/' between components; stored is what the index will hold (name in the code
// page asked for). A name passes when it reads back as itself and extraction can write it.
// literalNames lets a backslash and a drive letter through, as --literal-names asks.
std::optional<std::string> newMemberNameProblem(std::string_view name, std::string_view stored, bool literalNames);

}  // namespace unbcl::bcl
