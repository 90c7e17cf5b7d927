// SPDX-License-Identifier: MIT
// Which members' outputs can touch one another: the members that several threads must still
// extract one after another, in index order, to leave what one thread leaves.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "unbcl/extract.hpp"

namespace unbcl {

// Each group's members in index order; the groups in the order of their first members.
using MemberGroups = std::vector<std::vector<std::size_t>>;

// Groups the members named names[i] (output names as the extractor is given them) by the
// directory entries the extractor says each one uses (BeneathExtractor::footprint). Members in
// different groups may be extracted side by side in any interleaving, and the tree and every
// member's outcome are what extracting all of them in index order gives; why that holds is
// argued in output_groups.cpp. Looks at the directory as it stands and changes nothing.
MemberGroups groupMembersByOutput(const std::vector<std::string_view>& names, const BeneathExtractor& extractor);

}  // namespace unbcl
