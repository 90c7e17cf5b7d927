// SPDX-License-Identifier: MIT
#include "unbcl/member_placement.hpp"

#include <algorithm>

namespace unbcl {

MemberPlacement judgeMemberPlacement(std::int32_t offset, std::int32_t length, std::int64_t bytesThatExist) {
    if (length < 0) return {Placement::NegativeLength, 0};
    if (length == 0) return {Placement::Whole, 0};
    const std::int64_t missing = length - std::clamp<std::int64_t>(bytesThatExist, 0, length);
    if (offset < 0) return {Placement::NegativeOffset, length};
    if (missing > 0) return {Placement::RunsPastEnd, missing};
    return {Placement::Whole, 0};
}

std::int64_t bytesInDataFile(std::int32_t offset, std::int32_t length, std::int64_t dataSize) {
    if (offset < 0 || length <= 0) return 0;
    return std::clamp<std::int64_t>(dataSize - offset, 0, length);
}

std::string describePlacement(const MemberPlacement& placement, std::int32_t offset, std::int32_t length) {
    const std::string counts =
        std::to_string(placement.missing) + " of " + std::to_string(length) + " bytes missing";
    switch (placement.placement) {
        case Placement::Whole: return {};
        case Placement::NegativeLength: return "negative length " + std::to_string(length);
        case Placement::NegativeOffset: return "negative offset " + std::to_string(offset) + ": " + counts;
        case Placement::RunsPastEnd: return "member runs past the end of the data file: " + counts;
    }
    return {};
}

}  // namespace unbcl
