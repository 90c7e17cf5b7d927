// SPDX-License-Identifier: MIT
// bcl delete: removes the chosen members; the data file keeps no dead bytes.
#include <optional>

#include "archive_writing.hpp"
#include "commands.hpp"

namespace unbcl::bcl {

int deleteMembers(const ArchivePaths& paths, const MemberOptions& options, const StandardStreams& streams) {
    Diagnostics diagnostics(streams.err, "bcl");
    std::optional<MemberNames> names = MemberNames::make(options.names, diagnostics);
    if (!names) return kBclCannotRun;
    if (options.selection.patterns.empty()) {
        diagnostics.reportPlain("delete: name the members to remove");
        return kBclCannotRun;
    }
    const auto plan = [&](const ArchiveUnderLock& archive) -> std::optional<ArchivePlan> {
        MemberSelection selection(options.selectionAsRead());
        ArchivePlan p(&archive.old->entries);
        p.keepHeaders(*archive.old);
        p.nameKept = [&names](std::string_view stored) { return names->shownName(stored); };
        std::size_t entry = 0;
        for (const ListMLV& e : archive.old->entries) {
            // A name that does not convert cannot be chosen, so it stays (and is reported).
            const std::optional<std::string> path = names->pathOf(e.fname, diagnostics);
            if (!path || !selection.selects(*path)) p.keep(entry);
            ++entry;
        }
        // A pattern that found nothing fails the command, but the others still take effect.
        selection.reportPatternsNotFound(diagnostics);
        return p;
    };
    return rewriteArchive(paths, {true, 1, false}, plan, streams, diagnostics);
}

}  // namespace unbcl::bcl

namespace unbcl::bcl {

Command deleteCommand() {
    const auto options = std::make_shared<MemberOptions>();
    Command command;
    command.name = "delete";
    command.summary = "Remove the chosen members; the data file keeps no dead bytes.";
    addMemberOptions(command, options);
    command.run = [options](const CommandCall& call) {
        options->selection.patterns = call.operands;
        return deleteMembers(call.paths, *options, call.streams);
    };
    return command;
}

}  // namespace unbcl::bcl
