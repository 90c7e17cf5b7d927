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

// An old end-of-file mark: the index's text ends at the first one.
inline constexpr char kEndOfTextMark = '\x1a';

// How an index's text is written, beyond what it says: the reader takes every form alike, and
// a rewrite keeps the form it found, so that a pack goes back to its program as it came.
struct IndexForm {
    bool crlf = false;           // lines end in CR LF (as its first line does), else in LF
    bool endOfTextMark = false;  // the text ends with the end-of-file mark
    friend bool operator==(const IndexForm&, const IndexForm&) = default;
};

}  // namespace unbcl
