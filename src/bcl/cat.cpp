// SPDX-License-Identifier: MIT
// bcl cat: writes the chosen members' bytes to standard output, operand by operand.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "archive_access.hpp"
#include "commands.hpp"
#include "unbcl/member_copy.hpp"

namespace unbcl::bcl {

namespace {

// The members one operand selects, in index order, each name once with its last entry: the
// bytes extraction would leave behind under that name.
std::vector<NamedEntry> membersOf(const std::string& operand, const std::vector<NamedEntry>& entries,
                                  const MemberSelection& selection) {
    std::vector<NamedEntry> found;
    std::map<std::string, std::size_t, std::less<>> position;
    for (const NamedEntry& e : entries) {
        if (!selection.operandSelects(operand, e.path) || selection.excluded(e.path)) continue;
        if (const auto it = position.find(e.path); it != position.end()) {
            found[it->second] = e;
        } else {
            position.emplace(e.path, found.size());
            found.push_back(e);
        }
    }
    return found;
}

}  // namespace

int catMembers(const ArchivePaths& paths, const CatOptions& options, const StandardStreams& streams) {
    Diagnostics diagnostics(streams.err, "bcl");
    std::optional<ArchiveForReading> archive =
        openArchiveForReading(paths, options.members.names, true, streams, diagnostics);
    if (!archive) return kBclCannotRun;
    const std::optional<InputFile>& data = archive->data;
    // Every converted name, so that each operand can pick from them in its turn.
    MemberSelection all(SelectionOptions{{}, {}, false});
    const std::vector<NamedEntry> entries = selectEntries(archive->index.entries, archive->names, all, diagnostics);
    const MemberSelection selection(options.members.selectionAsRead());
    MemberCopier copier;
    for (const std::string& operand : selection.patterns()) {
        const std::vector<NamedEntry> members = membersOf(operand, entries, selection);
        if (members.empty()) diagnostics.report(operand, "not found in the archive");
        for (const NamedEntry& e : members) {
            const CopyOutcome outcome = copier.copy(data->fd.get(), e.entry.offset, e.entry.length, streams.out);
            if (const std::optional<Problem> problem =
                    copyProblem({e.path, e.entry.offset, e.entry.length}, outcome, 0, CopyTarget::Stream)) {
                diagnostics.report(*problem);
            }
        }
    }
    return exitFor(diagnostics);
}

}  // namespace unbcl::bcl

namespace unbcl::bcl {

Command catCommand() {
    const auto options = std::make_shared<CatOptions>();
    Command command;
    command.name = "cat";
    command.summary = "Write the chosen members' bytes to standard output, operand by operand.";
    addMemberOptions(command, partOf(options, options->members));
    command.misuse = [](const std::vector<std::string>& operands) -> std::string {
        return operands.empty() ? "name the members to print" : "";
    };
    command.run = [options](const CommandCall& call) {
        options->members.selection.patterns = call.operands;
        return catMembers(call.paths, *options, call.streams);
    };
    return command;
}

}  // namespace unbcl::bcl
