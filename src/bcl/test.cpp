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
    std::size_t errors = 0;
    std::size_t warnings = 0;
};

std::size_t errorsAmong(const Problems& problems) {
    return static_cast<std::size_t>(
        std::count_if(problems.begin(), problems.end(), [](const Problem& p) { return p.isError(); }));
}

// The entries to check, and what choosing them met: names that do not convert (said by
// pathOf) and patterns that found nothing.
struct Chosen {
    std::vector<NamedEntry> entries;
    std::size_t errors = 0;
};

Chosen chooseEntries(const EntryList& entries, MemberNames& names, MemberSelection& selection,
                     Diagnostics& diagnostics) {
    Chosen chosen;
    for (const ListMLV& e : entries) {
        std::optional<std::string> path = names.pathOf(e.fname, diagnostics);
        if (!path) {
            ++chosen.errors;
        } else if (selection.selects(*path)) {
            chosen.entries.push_back({e, std::move(*path)});
        }
    }
    const Problems notFound = selection.patternsNotFound();
    chosen.errors += errorsAmong(notFound);
    diagnostics.reportAll(notFound);
    return chosen;
}

Problems entryProblems(const NamedEntry& named, NameStyle style, std::int64_t dataSize) {
    const ListMLV& e = named.entry;
    Problems problems;
    const auto unsafe = [&](std::string reason) {
        problems.add(makeNameProblem(ProblemKind::UnsafeName, named.path, std::move(reason)));
    };
    if (const NameVerdict verdict = judgeMemberName(named.path, style); verdict != NameVerdict::Safe) {
        unsafe("unsafe name: " + std::string(describeNameVerdict(verdict)));
    } else if (named.path.empty()) {
        unsafe("empty name");
    } else if (!endsInAFileName(named.path)) {
        unsafe("the name ends in a directory, not a file");
    } else if (const auto tooLong = pathComponentProblem(named.path)) {
        unsafe(*tooLong);
    }
    const MemberPlacement placement =
        judgeMemberPlacement(e.offset, e.length, bytesInDataFile(e.offset, e.length, dataSize));
    if (placement.placement != Placement::Whole) {
        problems.add(makeNameProblem(ProblemKind::NotWhole, named.path, describePlacement(placement, e.offset, e.length)));
    }
    return problems;
}

// Duplicates are judged by the path extraction writes, so "A\B" and "A/B" are one name.
// Returns how many names were warned about.
std::size_t warnAboutDuplicates(const std::vector<NamedEntry>& entries, Diagnostics& diagnostics) {
    std::unordered_map<std::string_view, int> uses;
    std::vector<std::string_view> order;
    for (const NamedEntry& e : entries) {
        if (++uses[e.path] == 2) order.push_back(e.path);
    }
    std::sort(order.begin(), order.end());
    for (const std::string_view name : order) {
        diagnostics.note(name, "warning: named " + std::to_string(uses[name]) +
                                   " times; extraction keeps the last entry's bytes");
    }
    return order.size();
}

// Names that differ only by the case of ASCII letters ("CONFIG.INI", "config.ini") are one file
// where most of these archives end up, on Windows and FAT: extraction there keeps one of them.
// Each later spelling is warned about once, naming the first. Returns how many were.
std::size_t warnAboutCaseTwins(const std::vector<NamedEntry>& entries, Diagnostics& diagnostics) {
    std::unordered_map<std::string, std::string_view> firstSpelling;
    std::unordered_map<std::string_view, bool> warned;
    std::size_t count = 0;
    for (const NamedEntry& e : entries) {
        const auto [first, isNew] = firstSpelling.emplace(caseFolded(e.path), e.path);
        if (isNew || first->second == e.path || !warned.emplace(e.path, true).second) continue;
        diagnostics.note(e.path, "warning: differs only by case from " + escapeControlBytes(first->second) +
                                     "; where case is ignored, extraction keeps one of them");
        ++count;
    }
    return count;
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

}  // namespace

int testArchive(const ArchivePaths& paths, const TestOptions& options, const StandardStreams& streams) {
    Diagnostics diagnostics(streams.err, "bcl");
    std::optional<ArchiveForReading> archive =
        openArchiveForReading(paths, options.members.names, true, streams, diagnostics);
    if (!archive) return kBclCannotRun;
    const SysResult<std::int64_t> dataSize = fileSize(archive->data->fd.get());
    if (!dataSize) {
        diagnostics.report(paths.data, "cannot read: " + systemReason(dataSize.error()));
        return kBclCannotRun;
    }

    Tally tally;
    if (!archive->index.complete) ++tally.errors;
    // Repaired or not, a commit that was cut short is a fault of the archive as it was found.
    if (archive->repairedCommit) ++tally.errors;
    MemberSelection selection(options.members.selectionAsRead());
    const Chosen chosen = chooseEntries(archive->index.entries, archive->names, selection, diagnostics);
    tally.errors += chosen.errors;
    for (const NamedEntry& e : chosen.entries) {
        const Problems problems = entryProblems(e, archive->names.style(), *dataSize);
        tally.errors += errorsAmong(problems);
        diagnostics.reportAll(problems);
    }
    tally.warnings += warnAboutDuplicates(chosen.entries, diagnostics);
    tally.warnings += warnAboutCaseTwins(chosen.entries, diagnostics);
    noteOverlaps(chosen.entries, diagnostics);

    Console console(streams.out, false);
    console.write(escapeControlBytes(paths.index) + ": " + std::to_string(chosen.entries.size()) +
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

Command testCommand() {
    const auto options = std::make_shared<TestOptions>();
    Command command;
    command.name = "test";
    command.summary = "Check the members against the data file, writing nothing.";
    addMemberOptions(command, partOf(options, options->members));
    command.run = [options](const CommandCall& call) {
        options->members.selection.patterns = call.operands;
        return testArchive(call.paths, *options, call.streams);
    };
    return command;
}

}  // namespace unbcl::bcl
