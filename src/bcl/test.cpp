// bcl test: checks every entry against the data file and writes nothing.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "archive_access.hpp"
#include "commands.hpp"
#include "unbcl/member_name.hpp"
#include "unbcl/member_placement.hpp"

namespace unbcl::bcl {

namespace {

struct Tally {
    int errors = 0;
    int warnings = 0;
};

void checkEntry(const ListMLV& e, std::int64_t dataSize, Diagnostics& diagnostics, Tally& tally) {
    const auto error = [&](const std::string& reason) {
        diagnostics.report(e.fname, reason);
        ++tally.errors;
    };
    if (const NameVerdict verdict = judgeMemberName(e.fname); verdict != NameVerdict::Safe) {
        error("unsafe name: " + std::string(describeNameVerdict(verdict)));
    } else if (e.fname.empty()) {
        error("empty name");
    }
    const MemberPlacement placement =
        judgeMemberPlacement(e.offset, e.length, bytesInDataFile(e.offset, e.length, dataSize));
    if (placement.placement != Placement::Whole) error(describePlacement(placement, e.offset, e.length));
}

void warnAboutDuplicates(const EntryList& entries, Diagnostics& diagnostics, Tally& tally) {
    // Names stay valid as long as the list, so counting them copies no bytes.
    std::unordered_map<std::string_view, int> uses;
    std::vector<std::string_view> order;
    for (const ListMLV& e : entries) {
        if (++uses[e.fname] == 2) order.push_back(e.fname);
    }
    std::sort(order.begin(), order.end());
    for (const std::string_view name : order) {
        diagnostics.note(name, "warning: named " + std::to_string(uses[name]) +
                                   " times; extraction keeps the last entry's bytes");
        ++tally.warnings;
    }
}

// Overlapping members are legitimate (shared bytes), so they are only noted.
void noteOverlaps(const EntryList& entries, Diagnostics& diagnostics) {
    std::vector<ListMLV> byOffset;
    for (const ListMLV& e : entries) {
        if (e.offset >= 0 && e.length > 0) byOffset.push_back(e);
    }
    std::stable_sort(byOffset.begin(), byOffset.end(),
                     [](const ListMLV& a, const ListMLV& b) { return a.offset < b.offset; });
    const auto endOf = [](const ListMLV& e) { return std::int64_t{e.offset} + e.length; };
    const ListMLV* reachesFurthest = nullptr;
    for (const ListMLV& e : byOffset) {
        if (reachesFurthest != nullptr && e.offset < endOf(*reachesFurthest)) {
            diagnostics.note(e.fname, "note: overlaps " + escapeControlBytes(reachesFurthest->fname));
        }
        if (reachesFurthest == nullptr || endOf(e) > endOf(*reachesFurthest)) reachesFurthest = &e;
    }
}

std::string plural(int count, std::string_view word) {
    return std::to_string(count) + " " + std::string(word) + (count == 1 ? "" : "s");
}

}  // namespace

int testArchive(const ArchivePaths& paths, const StandardStreams& streams) {
    Diagnostics diagnostics(streams.err, "bcl");
    const std::optional<LoadedIndex> index = loadIndex(paths.index, diagnostics);
    if (!index) return kBclCannotRun;
    const std::optional<InputFile> data = openOrReport(paths.data, diagnostics);
    if (!data) return kBclCannotRun;
    const SysResult<std::int64_t> dataSize = fileSize(data->fd.get());
    if (!dataSize) {
        diagnostics.report(paths.data, "cannot read: " + systemReason(dataSize.error()));
        return kBclCannotRun;
    }

    Tally tally;
    if (!index->complete) ++tally.errors;
    for (const ListMLV& e : index->entries) checkEntry(e, *dataSize, diagnostics, tally);
    warnAboutDuplicates(index->entries, diagnostics, tally);
    noteOverlaps(index->entries, diagnostics);

    Console console(streams.out, false);
    console.write(escapeControlBytes(paths.index) + ": " + std::to_string(index->entries.size()) +
                  " entries checked: " + plural(tally.errors, "error") + ", " + plural(tally.warnings, "warning") +
                  "\n");
    if (console.error() != 0) {
        diagnostics.reportPlain("standard output: " + systemReason(console.error()));
        return kBclFailed;
    }
    return tally.errors > 0 ? kBclFailed : kBclOk;
}

}  // namespace unbcl::bcl
