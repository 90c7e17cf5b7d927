// SPDX-License-Identifier: MIT
#include "unbcl/archive_plan.hpp"

#include <algorithm>
#include <stdexcept>

#include "unbcl/index_format.hpp"

namespace unbcl {

namespace {

constexpr std::int64_t kLargestNumber = kLargestIndexNumber;

using Span = std::pair<std::int64_t, std::int64_t>;  // [start, end)

bool copiesOldBytes(const PlanMember& m) { return !m.fromFile() && m.length > 0; }

// Whether the old bytes members copy lie in plan order, each after the one before: then no
// two overlap, and each member is a range of its own. Rewrites of ordinary archives are so,
// and are laid out without a table of ranges.
bool oldBytesInOrder(const ArchivePlan& plan) {
    bool inOrder = true;
    std::int64_t end = 0;
    plan.forEach([&](const PlanMember& m, std::size_t) {
        if (!inOrder || !copiesOldBytes(m)) return;
        inOrder = m.oldOffset >= end;
        end = m.oldOffset + m.length;
    });
    return inOrder;
}

// The ranges of the old data file that members copy, overlapping ones merged, in order: each
// is copied once, so members that shared bytes still share them.
std::vector<Span> mergedOldRanges(const ArchivePlan& plan) {
    std::vector<Span> spans;
    plan.forEach([&](const PlanMember& m, std::size_t) {
        if (copiesOldBytes(m)) spans.emplace_back(m.oldOffset, m.oldOffset + m.length);
    });
    std::sort(spans.begin(), spans.end());
    std::vector<Span> merged;
    for (const Span& span : spans) {
        if (!merged.empty() && span.first < merged.back().second) {
            merged.back().second = std::max(merged.back().second, span.second);
        } else {
            merged.push_back(span);
        }
    }
    return merged;
}

std::size_t rangeHolding(const std::vector<Span>& ranges, std::int64_t oldOffset) {
    const auto range = std::prev(std::upper_bound(ranges.begin(), ranges.end(), Span{oldOffset, kLargestNumber + 1}));
    return static_cast<std::size_t>(range - ranges.begin());
}

}  // namespace

void ArchivePlan::push(std::size_t ref) {
    if (order_.size() >= kDescribed - 1) throw std::length_error("an archive plan holds fewer than 2^31 members");
    order_.push_back(static_cast<std::uint32_t>(ref));
}

void ArchivePlan::keep(std::size_t entry) {
    if (old_ == nullptr || entry >= old_->size()) throw std::out_of_range("no such entry in the old index");
    if (entry >= kDescribed) throw std::length_error("an archive plan keeps entries below 2^31");
    push(entry);
}

void ArchivePlan::keepAll() {
    if (old_ == nullptr) return;
    order_.reserve(order_.size() + old_->size());
    for (std::size_t i = 0; i < old_->size(); ++i) keep(i);
}

void ArchivePlan::add(PlannedMember member) {
    push(kDescribed | full_.size());
    full_.push_back(std::move(member));
}

void ArchivePlan::keepHeaders(const LoadedIndex& old) {
    header1 = old.header1;
    header2 = old.header2 == std::to_string(old.entries.size()) + " FILES" ? std::string() : old.header2;
    form = old.form;
}

void ArchivePlan::forEach(const std::function<void(const PlanMember&, std::size_t)>& visit) const {
    // Kept entries usually come in index order, so one walk along the old index finds them all.
    EntryList::const_iterator walk;
    std::size_t walkedTo = 0;
    if (old_ != nullptr) walk = old_->begin();
    for (std::size_t i = 0; i < order_.size(); ++i) {
        const std::uint32_t ref = order_[i];
        PlanMember member;
        if ((ref & kDescribed) != 0) {
            const PlannedMember& full = full_[ref & ~kDescribed];
            member = {full.storedName, full.length, full.source.oldOffset, &full};
        } else {
            ListMLV entry;
            if (ref >= walkedTo) {
                for (; walkedTo < ref; ++walkedTo) ++walk;
                entry = *walk;
            } else {
                entry = (*old_)[ref];
            }
            member = {entry.fname, entry.length, entry.offset, nullptr};
        }
        visit(member, i);
    }
}

std::string ArchivePlan::shownName(const PlanMember& member) const {
    if (member.full != nullptr) return member.full->shownName;
    return nameKept ? nameKept(member.storedName) : std::string(member.storedName);
}

std::pair<std::int64_t, std::int64_t> MemberLayout::oldRangeOf(const PlanMember& member) const {
    if (sharedRanges.empty()) return {member.oldOffset, member.length};
    const Span& range = sharedRanges[rangeHolding(sharedRanges, member.oldOffset)];
    return {range.first, range.second - range.first};
}

MemberLayout layOutMembers(const ArchivePlan& plan, std::int64_t start, std::int64_t align, MemberLayout::Mode mode) {
    const std::string limit = std::to_string(kLargestNumber);
    MemberLayout layout;
    layout.offsets.resize(plan.size());
    layout.writes.resize(plan.size());
    layout.end = start;
    const bool compact = mode == MemberLayout::Mode::Compact;
    if (compact && !oldBytesInOrder(plan)) layout.sharedRanges = mergedOldRanges(plan);
    std::vector<std::int64_t> rangePlacedAt(layout.sharedRanges.size(), -1);
    std::int64_t offset = start;
    const auto placeNext = [&offset, align](std::int64_t bytes) {
        offset = (offset + align - 1) / align * align;
        const std::int64_t at = offset;
        offset += bytes;
        return at;
    };
    plan.forEach([&](const PlanMember& m, std::size_t i) {
        if (m.length > kLargestNumber) {
            layout.problems.add(makeProblem(ProblemKind::Refused, plan.shownName(m),
                                            "refused: " + std::to_string(m.length) + " bytes long, past " + limit +
                                                ", the largest length an index holds"));
            return;
        }
        std::int64_t at = 0;
        bool writes = true;
        if (!m.fromFile() && !compact) {
            at = m.oldOffset;
            writes = false;
        } else if (m.length <= 0) {
            // Empty members take no room, so they need no alignment either. Nothing to copy;
            // a file, even an empty one, is still opened to see it unchanged.
            at = offset;
            writes = m.fromFile();
        } else if (!m.fromFile() && !layout.sharedRanges.empty()) {
            const std::size_t r = rangeHolding(layout.sharedRanges, m.oldOffset);
            const Span& range = layout.sharedRanges[r];
            writes = rangePlacedAt[r] < 0;
            if (writes) rangePlacedAt[r] = placeNext(range.second - range.first);
            at = rangePlacedAt[r] + (m.oldOffset - range.first);
        } else {
            // A file named twice gets two copies, as create has always written it.
            at = placeNext(m.length);
        }
        layout.offsets[i] = at;
        layout.writes[i] = writes;
        // Members left in place say nothing of where the data file ends: an empty one may
        // name any offset, even one past the end.
        if (compact || m.fromFile()) layout.end = std::max(layout.end, at + std::max<std::int64_t>(m.length, 0));
        if (at > kLargestNumber) {
            layout.problems.add(makeProblem(ProblemKind::Refused, plan.shownName(m),
                                            "refused: it would start at byte " + std::to_string(at) + ", past " +
                                                limit + ", the largest offset an index holds"));
        }
    });
    return layout;
}

}  // namespace unbcl
