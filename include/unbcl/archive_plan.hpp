// SPDX-License-Identifier: MIT
// What an archive writer is to write: its header lines and its members, where each member's
// bytes come from, and where they go in the new data file.
//
// A rewrite of an index of millions of entries keeps most of them as they stand, so a plan
// holds such an entry as nothing more than its number in the old index; only members that
// differ (files, renamed entries) are described in full. Where the members go is a layout of
// one number per member. The old index, the plan and its layout together cost about as much as
// the old index alone.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "unbcl/archive_open.hpp"
#include "unbcl/file_io.hpp"
#include "unbcl/index_format.hpp"
#include "unbcl/problem.hpp"

namespace unbcl {

// Where a member's bytes come from: a file to read, or a range of the archive's old data file.
struct MemberSource {
    std::string path;  // empty: the old data file
    FileIdentity identity;
    std::int64_t oldOffset = 0;
};

// A member described in full: a file to add, or an old entry under another name.
struct PlannedMember {
    std::string shownName;   // in reports and -v
    std::string storedName;  // what the index holds
    MemberSource source;
    std::int64_t length = 0;
};

// One member of a plan as a writer meets it, whichever way the plan holds it. Valid while the
// plan and the old index are.
struct PlanMember {
    std::string_view storedName;
    std::int64_t length = 0;
    std::int64_t oldOffset = 0;             // where its bytes are in the old data file, unless from a file
    const PlannedMember* full = nullptr;  // set when the plan describes it in full

    bool fromFile() const { return full != nullptr && !full->source.path.empty(); }
};

class ArchivePlan {
public:
    std::string header1 = "BCL ARCHIVE";
    std::string header2;  // empty: "N FILES"
    IndexForm form;       // line ends and end-of-file mark
    // How members kept from the old index are named in reports (their names in the code page
    // asked for); without it, by their stored names.
    std::function<std::string(std::string_view stored)> nameKept;

    // A plan that may keep entries of old, which must outlive it.
    explicit ArchivePlan(const EntryList* old = nullptr) : old_(old) {}

    // Keeps the old index's entry number `entry` as it stands. Entries kept in index order cost
    // nothing to find again; any other order costs a short walk each.
    void keep(std::size_t entry);
    // Keeps every entry of the old index, in order.
    void keepAll();
    void add(PlannedMember member);
    // The header lines a rewritten archive keeps: the old index's own, with a count of files
    // brought up to date when the second line was one; and the old index's form.
    void keepHeaders(const LoadedIndex& old);

    std::size_t size() const { return order_.size(); }
    bool empty() const { return order_.empty(); }
    // The members described in full, in the order they were added.
    const std::vector<PlannedMember>& described() const { return full_; }

    // Calls visit(member, number) for every member in plan order.
    void forEach(const std::function<void(const PlanMember&, std::size_t)>& visit) const;

    std::string shownName(const PlanMember& member) const;

private:
    static constexpr std::uint32_t kDescribed = std::uint32_t{1} << 31;
    void push(std::size_t ref);

    const EntryList* old_ = nullptr;
    // Per member: an entry number of the old index, or kDescribed | a position in full_.
    std::vector<std::uint32_t> order_;
    std::vector<PlannedMember> full_;
};

// Where the members of a plan go.
struct MemberLayout {
    enum class Mode {
        Compact,  // every member is placed anew, back to back from start
        InPlace,  // members from the old data file stay where they are; files go from start on
    };
    // Per member, in plan order: its offset in the data file written.
    std::vector<std::int64_t> offsets;
    // Per member: whether it writes bytes. Members that share bytes of the old data file
    // (overlapping ranges) keep sharing them: only the first of them writes, the whole shared
    // range, placed so that each lands at its offset.
    std::vector<bool> writes;
    // The merged ranges [start, end) of old bytes that members share; empty when none overlap.
    std::vector<std::pair<std::int64_t, std::int64_t>> sharedRanges;
    // Where the data file ends: at start, or past the last member placed (in place: the last file).
    std::int64_t end = 0;
    Problems problems;     // members an index could not describe (offset or length too large)

    // The old bytes a writing member of the old data file copies: [start, start + length).
    std::pair<std::int64_t, std::int64_t> oldRangeOf(const PlanMember& member) const;
};

// Gives members their offsets, in index order, each at a multiple of align (a power of two).
MemberLayout layOutMembers(const ArchivePlan& plan, std::int64_t start, std::int64_t align,
                           MemberLayout::Mode mode = MemberLayout::Mode::Compact);

}  // namespace unbcl
