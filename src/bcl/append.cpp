// SPDX-License-Identifier: MIT
// bcl append: adds new members at the end of the data file, in place, then replaces the index.
// Readers of the old index never see a changed byte: the old members' bytes stay where they
// are, and until the new index is in place the new bytes are merely unreferenced.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <set>
#include <variant>

#include "archive_writing.hpp"
#include "case_twins.hpp"
#include "commands.hpp"
#include "input_files.hpp"

namespace unbcl::bcl {

namespace {

// The names the files would be stored under that the archive already has. They are found in
// one walk of the index rather than by a set of every old name: an index of millions of names
// would cost several times its size. A name that does not convert is left to planNewMembers,
// which reports it.
std::set<std::string, std::less<>> namesAlreadyStored(const std::vector<FileToAdd>& files,
                                                      std::optional<NameCharset>& charset, const EntryList& old) {
    std::set<std::string, std::less<>> wanted;
    for (const FileToAdd& file : files) {
        if (!charset) {
            wanted.insert(file.name);
        } else if (SysResult<std::string> converted = charset->convert(file.name)) {
            wanted.insert(std::move(*converted));
        }
    }
    std::set<std::string, std::less<>> stored;
    for (const ListMLV& e : old) {
        if (wanted.contains(e.fname)) stored.emplace(e.fname);
    }
    return stored;
}

}  // namespace

int appendToArchive(const ArchivePaths& paths, const AddOptions& options, const StandardStreams& streams) {
    Diagnostics diagnostics(streams.err, "bcl");
    int exitCode = kBclFailed;
    std::optional<FilesToAdd> toAdd = prepareFilesToAdd(options, streams, diagnostics, exitCode);
    if (!toAdd) return exitCode;

    std::optional<ArchiveRewrite> rewrite =
        beginRewrite(paths, ArchiveRewrite::Scope::Append, true, diagnostics, exitCode);
    if (!rewrite) return exitCode;
    const ArchiveUnderLock& archive = rewrite->archive();
    ArchivePlan plan(&archive.old->entries);
    plan.keepHeaders(*archive.old);
    plan.keepAll();
    std::set<std::string, std::less<>> taken = namesAlreadyStored(toAdd->files, toAdd->charset, archive.old->entries);
    // What was skipped is reported and fails the run once the rest is written; a refusal
    // writes nothing.
    std::size_t refused = 0;
    std::vector<PlannedMember> added =
        planNewMembers(toAdd->files, options, archive, toAdd->charset, taken, diagnostics, refused);
    if (!options.allowCaseTwins) {
        std::optional<NameCharset> reading = CaseTwins::readingCharset(options.charset);
        if (!CaseTwins(added, archive.old->entries, reading)
                 .refuseTwins(added, "--allow-case-twins adds it anyway", diagnostics)) {
            ++refused;
        }
    }
    if (refused > 0) return kBclFailed;
    for (PlannedMember& m : added) plan.add(std::move(m));

    Console verbose(streams.out, false);
    // The new bytes are written in place, so a Ctrl-C or a kill must not leave them behind:
    // such a signal waits for the next safe point, the data file is cut back, and then the
    // signal ends the process as it would have, once the reports are out. Only SIGKILL leaves
    // unreferenced bytes.
    const HeldSignals held;
    const RewriteResult result =
        rewrite->commitAppend(plan, options.align, options.verbose ? verboseListing(verbose) : nullptr, held);
    if (const int code = reportRewrite(result, diagnostics); result.status != RewriteStatus::Done) return code;
    if (verbose.error() != 0) diagnostics.reportPlain("standard output: " + systemReason(verbose.error()));
    return exitFor(diagnostics);
}

}  // namespace unbcl::bcl

namespace unbcl::bcl {

Command appendCommand() {
    const auto options = std::make_shared<AddOptions>();
    Command command;
    command.name = "append";
    command.summary = "Add the files as new members at the end of the data file, in place, then replace the index.";
    addFileOptions(command, options);
    command.options.push_back(flagOption("--allow-case-twins",
                                         "add a name that differs only by case from a member's",
                                         partOf(options, options->allowCaseTwins)));
    command.run = [options](const CommandCall& call) {
        options->inputs.operands = call.operands;
        return appendToArchive(call.paths, *options, call.streams);
    };
    return command;
}

}  // namespace unbcl::bcl
