// SPDX-License-Identifier: MIT
// "Did you mean": the known name a mistyped one most likely meant.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace unbcl::bcl {

// The name among known that word is closest to, when it is close enough to be a slip: at most
// two edits (a wrong, missing, extra or swapped character each) and fewer than half of word.
// Nothing when none is, or when two are equally close.
std::optional<std::string> nearestName(std::string_view word, const std::vector<std::string>& known);

}  // namespace unbcl::bcl
