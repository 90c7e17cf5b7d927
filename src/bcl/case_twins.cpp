// SPDX-License-Identifier: MIT
#include "case_twins.hpp"

#include <algorithm>

#include "member_names.hpp"

namespace unbcl::bcl {

CaseTwins::CaseTwins(const std::vector<PlannedMember>& members, const EntryList& old,
                     std::optional<NameCharset>& reading) {
    std::set<std::string, std::less<>> wantedStored;
    for (const PlannedMember& m : members) {
        // A new member's shown name is the file's name as given, in UTF-8.
        const std::string key = caseFolded(m.shownName);
        keys_.emplace(&m, key);
        oldByKey_.emplace(key, Spellings{});
        wantedStored.insert(m.storedName);
    }
    for (const ListMLV& e : old) {
        if (wantedStored.contains(e.fname)) storedExactly_.emplace(e.fname);
        std::string shown(e.fname);
        if (reading) {
            SysResult<std::string> converted = reading->convert(e.fname);
            if (!converted) continue;
            shown = std::move(*converted);
        }
        const auto it = oldByKey_.find(caseFolded(shown));
        if (it == oldByKey_.end()) continue;
        Spellings& spellings = it->second;
        if (std::find(spellings.stored.begin(), spellings.stored.end(), e.fname) == spellings.stored.end()) {
            spellings.stored.emplace_back(e.fname);
            spellings.shown.push_back(std::move(shown));
        }
    }
}

std::optional<NameCharset> CaseTwins::readingCharset(const std::string& codePage) {
    if (codePage.empty()) return std::nullopt;
    SysResult<NameCharset> opened = NameCharset::open(codePage, NameCharset::Direction::ToUtf8);
    if (!opened) return std::nullopt;
    return std::move(*opened);
}

std::vector<std::string> CaseTwins::oldSpellingsOf(const PlannedMember& member) const {
    if (storedExactly_.contains(member.storedName)) return {};
    const auto key = keys_.find(&member);
    if (key == keys_.end()) return {};
    return oldByKey_.at(key->second).stored;
}

bool CaseTwins::refuseTwins(const std::vector<PlannedMember>& members, std::string_view hint,
                            Diagnostics& diagnostics) const {
    bool none = true;
    std::map<std::string, const PlannedMember*, std::less<>> newByKey;
    for (const PlannedMember& m : members) {
        const std::string& key = keys_.at(&m);
        std::string twin;
        if (!storedExactly_.contains(m.storedName) && !oldByKey_.at(key).shown.empty()) {
            twin = oldByKey_.at(key).shown.front() + " in the archive";
        } else if (const auto [earlier, isNew] = newByKey.emplace(key, &m);
                   !isNew && earlier->second->storedName != m.storedName) {
            twin = earlier->second->shownName + ", also given";
        }
        if (twin.empty()) continue;
        diagnostics.report(m.shownName, "refused: differs only by case from " + escapeControlBytes(twin) + " (" +
                                            std::string(hint) + ")");
        none = false;
    }
    return none;
}

}  // namespace unbcl::bcl
