// SPDX-License-Identifier: MIT
#include "unbcl/archive_plan.hpp"

#include <algorithm>

#include "unbcl/index_format.hpp"

namespace unbcl {

namespace {

constexpr std::int64_t kLargestNumber = kLargestIndexNumber;

// The ranges of the old data file that members copied from it cover, overlapping ones merged,
// in order: each is copied once, so members that shared bytes still share them.
std::vector<std::pair<std::int64_t, std::int64_t>> sharedOldRanges(const std::vector<PlannedMember>& members) {
    std::vector<std::pair<std::int64_t, std::int64_t>> spans;  // [start, end)
    for (const PlannedMember& m : members) {
        if (m.source.path.empty() && m.length > 0) spans.emplace_back(m.source.oldOffset, m.source.oldOffset + m.length);
    }
    std::sort(spans.begin(), spans.end());
    std::vector<std::pair<std::int64_t, std::int64_t>> merged;
    for (const auto& span : spans) {
        if (!merged.empty() && span.first < merged.back().second) {
            merged.back().second = std::max(merged.back().second, span.second);
        } else {
            merged.push_back(span);
        }
    }
    return merged;
}

}  // namespace

void keepHeaders(ArchivePlan& plan, const LoadedIndex& old) {
    plan.header1 = old.header1;
    plan.header2 = old.header2 == std::to_string(old.entries.size()) + " FILES" ? std::string() : old.header2;
}

Problems layOutMembers(std::vector<PlannedMember>& members, std::int64_t start, std::int64_t align) {
    const std::string limit = std::to_string(kLargestNumber);
    Problems problems;
    const auto ranges = sharedOldRanges(members);
    std::vector<std::int64_t> rangePlacedAt(ranges.size(), -1);
    std::int64_t offset = start;
    const auto placeNext = [&offset, align](std::int64_t bytes) {
        offset = (offset + align - 1) / align * align;
        const std::int64_t at = offset;
        offset += bytes;
        return at;
    };
    for (PlannedMember& m : members) {
        if (m.length > kLargestNumber) {
            problems.add(makeProblem(ProblemKind::Refused, m.shownName,
                                     "refused: " + std::to_string(m.length) + " bytes long, past " + limit +
                                         ", the largest length an index holds"));
            continue;
        }
        if (m.length <= 0) {
            // Empty members take no room, so they need no alignment either.
            m.offset = offset;
            // Nothing to copy; a file, even an empty one, is still opened to see it unchanged.
            if (m.source.path.empty()) m.writesBytes = false;
        } else if (m.source.path.empty()) {
            const auto range = std::prev(std::upper_bound(ranges.begin(), ranges.end(),
                                                          std::pair{m.source.oldOffset, kLargestNumber + 1}));
            const auto r = static_cast<std::size_t>(range - ranges.begin());
            m.writesBytes = rangePlacedAt[r] < 0;
            if (m.writesBytes) {
                rangePlacedAt[r] = placeNext(range->second - range->first);
                m.rangeStart = range->first;
                m.rangeLength = range->second - range->first;
            }
            m.offset = rangePlacedAt[r] + (m.source.oldOffset - range->first);
        } else {
            // A file named twice gets two copies, as create has always written it.
            m.offset = placeNext(m.length);
        }
        if (m.offset > kLargestNumber) {
            problems.add(makeProblem(ProblemKind::Refused, m.shownName,
                                     "refused: it would start at byte " + std::to_string(m.offset) + ", past " +
                                         limit + ", the largest offset an index holds"));
        }
    }
    return problems;
}

std::int64_t endOfMembers(const std::vector<PlannedMember>& members, std::int64_t start) {
    std::int64_t end = start;
    for (const PlannedMember& m : members) end = std::max(end, m.offset + m.length);
    return end;
}

std::vector<PlannedMember> keptMembers(const LoadedIndex& old) {
    std::vector<PlannedMember> members;
    for (const ListMLV& e : old.entries) {
        const std::string name(e.fname);
        members.push_back({name, name, {{}, {}, e.offset}, e.length, e.offset});
    }
    return members;
}

}  // namespace unbcl
