// SPDX-License-Identifier: MIT
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

void checkEntry(const NamedEntry& named, NameStyle style, std::int64_t dataSize, Diagnostics& diagnostics,
                Tally& tally) {
    const ListMLV& e = named.entry;
    const auto error = [&](const std::string& reason) {
        diagnostics.report(named.path, reason);
        ++tally.errors;
    };
    if (const NameVerdict verdict = judgeMemberName(named.path, style); verdict != NameVerdict::Safe) {
        error("unsafe name: " + std::string(describeNameVerdict(verdict)));
    } else if (named.path.empty()) {
        error("empty name");
    } else if (!endsInAFileName(named.path)) {
        error("the name ends in a directory, not a file");
    }
    const MemberPlacement placement =
        judgeMemberPlacement(e.offset, e.length, bytesInDataFile(e.offset, e.length, dataSize));
    if (placement.placement != Placement::Whole) error(describePlacement(placement, e.offset, e.length));
}

// Duplicates are judged by the path extraction writes, so "A\B" and "A/B" are one name.
void warnAboutDuplicates(const std::vector<NamedEntry>& entries, Diagnostics& diagnostics, Tally& tally) {
    std::unordered_map<std::string_view, int> uses;
    std::vector<std::string_view> order;
    for (const NamedEntry& e : entries) {
        if (++uses[e.path] == 2) order.push_back(e.path);
    }
    std::sort(order.begin(), order.end());
    for (const std::string_view name : order) {
        diagnostics.note(name, "warning: named " + std::to_string(uses[name]) +
                                   " times; extraction keeps the last entry's bytes");
        ++tally.warnings;
    }
}

// Overlapping members are legitimate (shared bytes), so they are only noted.
void noteOverlaps(const std::vector<NamedEntry>& entries, Diagnostics& diagnostics) {
    std::vector<const NamedEntry*> byOffset;
    for (const NamedEntry& e : entries) {
        if (e.entry.offset >= 0 && e.entry.length > 0) byOffset.push_back(&e);
    }
    std::stable_sort(byOffset.begin(), byOffset.end(),
                     [](const NamedEntry* a, const NamedEntry* b) { return a->entry.offset < b->entry.offset; });
    const auto endOf = [](const NamedEntry& e) { return std::int64_t{e.entry.offset} + e.entry.length; };
    const NamedEntry* reachesFurthest = nullptr;
    for (const NamedEntry* e : byOffset) {
        // Entries of one name are duplicates, already warned about, not an overlap.
        if (reachesFurthest != nullptr && e->entry.offset < endOf(*reachesFurthest) && e->path != reachesFurthest->path) {
            diagnostics.note(e->path, "note: overlaps " + escapeControlBytes(reachesFurthest->path));
        }
        if (reachesFurthest == nullptr || endOf(*e) > endOf(*reachesFurthest)) reachesFurthest = e;
    }
}

std::string plural(int count, std::string_view word) {
    return std::to_string(count) + " " + std::string(word) + (count == 1 ? "" : "s");
}

}  // namespace

int testArchive(const ArchivePaths& paths, const TestOptions& options, const StandardStreams& streams) {
    Diagnostics diagnostics(streams.err, "bcl");
    std::optional<ArchiveForReading> archive =
        openArchiveForReading(paths, options.members.names, true, streams, diagnostics);
    if (!archive) return kBclCannotRun;
    const LoadedIndex* index = &archive->index;
    const std::optional<InputFile>& data = archive->data;
    MemberNames* names = &archive->names;
    const SysResult<std::int64_t> dataSize = fileSize(data->fd.get());
    if (!dataSize) {
        diagnostics.report(paths.data, "cannot read: " + systemReason(dataSize.error()));
        return kBclCannotRun;
    }

    Tally tally;
    if (!index->complete) ++tally.errors;
    // Repaired or not, a commit that was cut short is a fault of the archive as it was found.
    if (archive->repairedCommit) ++tally.errors;
    MemberSelection selection(options.members.selection);
    // A name that does not convert and a pattern that found nothing are errors too.
    const std::size_t reportsBefore = diagnostics.reportCount();
    const std::vector<NamedEntry> chosen = selectEntries(index->entries, *names, selection, diagnostics);
    tally.errors += static_cast<int>(diagnostics.reportCount() - reportsBefore);
    for (const NamedEntry& e : chosen) checkEntry(e, names->style(), *dataSize, diagnostics, tally);
    warnAboutDuplicates(chosen, diagnostics, tally);
    noteOverlaps(chosen, diagnostics);

    Console console(streams.out, false);
    console.write(escapeControlBytes(paths.index) + ": " + std::to_string(chosen.size()) +
                  " entries checked: " + plural(tally.errors, "error") + ", " + plural(tally.warnings, "warning") +
                  "\n");
    if (console.error() != 0) {
        diagnostics.reportPlain("standard output: " + systemReason(console.error()));
        return kBclFailed;
    }
    return tally.errors > 0 ? kBclFailed : kBclOk;
}

}  // namespace unbcl::bcl

namespace unbcl::bcl {

CommandSpec testCommand() {
    const auto options = std::make_shared<TestOptions>();
    CommandSpec spec;
    spec.name = "test";
    spec.summary = "Check the members against the data file, writing nothing.";
    addMemberOptions(spec, partOf(options, options->members));
    spec.run = [options](const CommandCall& call) {
        options->members.selection.patterns = call.operands;
        return testArchive(call.paths, *options, call.streams);
    };
    return spec;
}

}  // namespace unbcl::bcl
