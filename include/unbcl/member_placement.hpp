// SPDX-License-Identifier: MIT
// Where a member lies against the data file: the one judgement that extraction, checking and
// printing share, so that they never disagree about a member.
#pragma once

#include <cstdint>
#include <string>

namespace unbcl {

enum class Placement {
    Whole,           // every byte exists; an empty member is whole wherever its offset points
    NegativeLength,  // nothing to copy; the output is empty
    NegativeOffset,  // nothing can be read for it
    RunsPastEnd,     // only the first bytes exist
};

struct MemberPlacement {
    Placement placement = Placement::Whole;
    std::int64_t missing = 0;  // bytes of the member that do not exist
};

// bytesThatExist: how many of the member's bytes the data file holds, as a copy found them
// or as bytesInDataFile computes them from the file's size.
MemberPlacement judgeMemberPlacement(std::int32_t offset, std::int32_t length, std::int64_t bytesThatExist);

// How many of length bytes at offset lie inside a data file of dataSize bytes.
std::int64_t bytesInDataFile(std::int32_t offset, std::int32_t length, std::int64_t dataSize);

// "negative length -5", "negative offset -1: 5 of 5 bytes missing", "member runs past the end
// of the data file: 3 of 8 bytes missing"; empty for a whole member.
std::string describePlacement(const MemberPlacement& placement, std::int32_t offset, std::int32_t length);

}  // namespace unbcl
