// SPDX-License-Identifier: MIT
// What an archive writer is to write: its header lines and its members, where each member's
// bytes come from, and where they go in the new data file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "unbcl/archive_open.hpp"
#include "unbcl/file_io.hpp"
#include "unbcl/problem.hpp"

namespace unbcl {

// Where a member's bytes come from: a file to read, or a range of the archive's old data file.
struct MemberSource {
    std::string path;  // empty: the old data file
    FileIdentity identity;
    std::int64_t oldOffset = 0;
};

struct PlannedMember {
    std::string shownName;   // in reports and -v
    std::string storedName;  // what the index holds
    MemberSource source;
    std::int64_t length = 0;
    std::int64_t offset = 0;  // where it goes in the new data file
    // Set by layOutMembers. Members that share bytes of the old data file (overlapping ranges)
    // keep sharing them: only the first of them writes, the whole shared range, rangeLength
    // bytes from rangeStart, placed so that this member lands at offset.
    bool writesBytes = true;
    std::int64_t rangeStart = 0;
    std::int64_t rangeLength = 0;
};

struct ArchivePlan {
    std::string header1 = "BCL ARCHIVE";
    std::string header2;  // empty: "N FILES"
    std::vector<PlannedMember> members;
};

// The header lines a rewritten archive keeps: its own, with a count of files brought up to
// date when the second line was one.
void keepHeaders(ArchivePlan& plan, const LoadedIndex& old);

// The members of an archive as they stand, to be written back unchanged.
std::vector<PlannedMember> keptMembers(const LoadedIndex& old);

// Gives members their offsets, back to back from start in index order, each at a multiple of
// align (a power of two); members that share old bytes keep sharing them, written once. A member
// an index could not describe (offset or length past the largest number it holds) is a problem.
Problems layOutMembers(std::vector<PlannedMember>& members, std::int64_t start, std::int64_t align);

// Where the data file ends once the members are in place: at start, or past the last member.
std::int64_t endOfMembers(const std::vector<PlannedMember>& members, std::int64_t start);

}  // namespace unbcl
