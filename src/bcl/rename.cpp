// SPDX-License-Identifier: MIT
// bcl rename: gives one member another name. Only the index changes.
#include <fcntl.h>
#include <unistd.h>

#include <optional>
#include <variant>

#include "archive_writing.hpp"
#include "commands.hpp"
#include "new_member_name.hpp"

namespace unbcl::bcl {

namespace {

// The stored name for NEW: the name given, in the code page names are read in, if any.
std::optional<std::string> storedNameFor(const RenameOptions& options, Diagnostics& diagnostics) {
    std::optional<NameCharset> charset;
    if (!openWritingCharset(options.members.names.charset, charset, diagnostics)) return std::nullopt;
    std::string stored = options.to;
    if (charset) {
        SysResult<std::string> converted = charset->convert(options.to);
        if (!converted) {
            diagnostics.report(options.to, "refused: the name cannot be written in " + options.members.names.charset +
                                               ": " + systemReason(converted.error()));
            return std::nullopt;
        }
        stored = std::move(*converted);
    }
    if (const auto problem = newMemberNameProblem(options.to, stored, options.members.names.literalNames)) {
        diagnostics.report(options.to, "refused: " + *problem);
        return std::nullopt;
    }
    return stored;
}

// The archive's members with OLD's entries renamed; nothing, reported, when OLD is not there or
// NEW is taken.
std::optional<ArchivePlan> renamedPlan(const LoadedIndex& old, MemberNames& names, const RenameOptions& options,
                                       const std::string& stored, Diagnostics& diagnostics) {
    ArchivePlan plan(&old.entries);
    plan.keepHeaders(old);
    bool found = false;
    std::size_t entry = 0;
    for (const ListMLV& e : old.entries) {
        const std::optional<std::string> path = names.pathOf(e.fname, diagnostics);
        if (path && (*path == options.to || e.fname == stored)) {
            diagnostics.report(options.to, "refused: already in the archive");
            return std::nullopt;
        }
        if (path && *path == options.from) {
            plan.add({stored, stored, {{}, {}, e.offset}, e.length});
            found = true;
        } else {
            plan.keep(entry);
        }
        ++entry;
    }
    if (!found) {
        diagnostics.report(options.from, "not found in the archive");
        return std::nullopt;
    }
    return plan;
}

}  // namespace

int renameMember(const ArchivePaths& paths, const RenameOptions& options, const StandardStreams& streams) {
    Diagnostics diagnostics(streams.err, "bcl");
    std::optional<MemberNames> names = MemberNames::make(options.members.names, diagnostics);
    if (!names) return kBclCannotRun;
    const std::optional<std::string> stored = storedNameFor(options, diagnostics);
    if (!stored) return kBclFailed;

    int exitCode = kBclFailed;
    std::optional<ArchiveRewrite> rewrite =
        beginRewrite(paths, ArchiveRewrite::Scope::Rename, true, diagnostics, exitCode);
    if (!rewrite) return exitCode;
    const std::optional<ArchivePlan> plan = renamedPlan(*rewrite->archive().old, *names, options, *stored, diagnostics);
    if (!plan) return kBclFailed;
    return reportRewrite(rewrite->commitIndex(*plan), diagnostics);
}

}  // namespace unbcl::bcl

namespace unbcl::bcl {

Command renameCommand() {
    const auto options = std::make_shared<RenameOptions>();
    Command command;
    command.name = "rename";
    command.summary = "Give member OLD the name NEW; only the index changes.";
    addNameOptions(command, partOf(options, options->members.names), "names are in code page NAME");
    command.operandName = "NAME";
    command.operandHelp = "[ARCHIVE] OLD NEW";
    command.misuse = [](const std::vector<std::string>& operands) -> std::string {
        return operands.size() != 2 ? "give the member's name and its new name" : "";
    };
    command.run = [options](const CommandCall& call) {
        options->from = call.operands.at(0);
        options->to = call.operands.at(1);
        return renameMember(call.paths, *options, call.streams);
    };
    return command;
}

}  // namespace unbcl::bcl
