// SPDX-License-Identifier: MIT
// Names that differ only by case: one file on Windows and FAT, where most of these archives are
// unpacked. New members are judged against the archive's members, and against each other, on
// the names as read (converted from the code page, when one is given) with ASCII letters folded.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "unbcl/archive_plan.hpp"
#include "unbcl/console.hpp"
#include "unbcl/list_entry.hpp"
#include "unbcl/name_charset.hpp"

namespace unbcl::bcl {

class CaseTwins {
public:
    // Walks the old index once. reading converts stored names for the comparison; without
    // it, stored bytes are compared. A stored name that does not convert twins nothing.
    CaseTwins(const std::vector<PlannedMember>& members, const EntryList& old, std::optional<NameCharset>& reading);

    // The archive's spellings (stored) of a member's name that differ from it only by case,
    // none when the archive has the name exactly.
    std::vector<std::string> oldSpellingsOf(const PlannedMember& member) const;

    // Refuses, reported, each member whose name differs only by case from an old member's, or
    // from an earlier new one's. hint says how else to go on. True when none is.
    bool refuseTwins(const std::vector<PlannedMember>& members, std::string_view hint, Diagnostics& diagnostics) const;

    // The code page's reading side, to compare old names as read; nothing without a code page
    // (or when iconv cannot read it, and then stored bytes are compared).
    static std::optional<NameCharset> readingCharset(const std::string& codePage);

private:
    struct Spellings {
        std::vector<std::string> stored;  // distinct, in index order
        std::vector<std::string> shown;
    };
    std::map<std::string, Spellings, std::less<>> oldByKey_;
    std::set<std::string, std::less<>> storedExactly_;  // members' names the archive has as they are
    std::map<const PlannedMember*, std::string> keys_;
};

}  // namespace unbcl::bcl
