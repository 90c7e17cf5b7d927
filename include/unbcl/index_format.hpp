// SPDX-License-Identifier: MIT
// The limits of the index format, shared by the code that reads an index and the code that
// writes one, so that nothing written can fail to read back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

namespace unbcl {

// An index line holds at most this many characters; a longer one ends the reading.
inline constexpr std::size_t kMaxIndexLineChars = 98;
// The longest name a writer stores: its line, "[" NAME "]", must fit.
inline constexpr std::size_t kMaxMemberNameChars = kMaxIndexLineChars - 2;
// Offsets and lengths are signed 32-bit decimal numbers.
inline constexpr std::int64_t kLargestIndexNumber = std::numeric_limits<std::int32_t>::max();
// The longest path component the file systems that members are written to accept.
inline constexpr std::size_t kMaxPathComponentBytes = 255;

}  // namespace unbcl
