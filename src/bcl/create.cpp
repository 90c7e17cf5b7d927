// SPDX-License-Identifier: MIT
// bcl create: writes an index and a data file that read back, through unbcl, into the same files.
#include <optional>
#include <set>

#include "archive_writing.hpp"
#include "commands.hpp"
#include "input_files.hpp"

namespace unbcl::bcl {

int createArchive(const ArchivePaths& paths, const CreateOptions& options, const StandardStreams& streams) {
    Diagnostics diagnostics(streams.err, "bcl");
    if (options.headers.size() > 2) {
        diagnostics.reportPlain("at most two header lines (-H) can be given");
        return kBclCannotRun;
    }
    diagnostics.reportAll(headerProblems(options.headers));
    int exitCode = kBclFailed;
    std::optional<FilesToAdd> toAdd = prepareFilesToAdd(options.add, streams, diagnostics, exitCode);
    if (!toAdd) return exitCode;
    const std::vector<FileToAdd>& inputs = toAdd->files;
    std::optional<NameCharset>& charset = toAdd->charset;

    const auto plan = [&](const ArchiveUnderLock& archive) -> std::optional<ArchivePlan> {
        ArchivePlan p;
        if (!options.headers.empty()) p.header1 = options.headers[0];
        if (options.headers.size() > 1) p.header2 = options.headers[1];
        p.form.crlf = options.crlf;
        std::set<std::string, std::less<>> taken;
        // What was skipped is reported and fails the run once the rest is written; a refusal
        // writes nothing.
        std::size_t refused = 0;
        for (PlannedMember& m : planNewMembers(inputs, options.add, archive, charset, taken, diagnostics, refused)) {
            p.add(std::move(m));
        }
        if (refused > 0) return std::nullopt;
        return p;
    };
    return rewriteArchive(paths, {false, options.add.align, options.add.verbose}, plan, streams, diagnostics);
}

}  // namespace unbcl::bcl

namespace unbcl::bcl {

Command createCommand() {
    const auto options = std::make_shared<CreateOptions>();
    Command command;
    command.name = "create";
    command.summary = "Write a new archive holding the files, and the files beneath directories, in the order given.";
    command.options.push_back(
        textsOption("-H,--header", "TEXT", "a header line (up to twice)", partOf(options, options->headers)));
    command.options.push_back(flagOption("--crlf", "end the index's lines in CR LF, as DOS programs wrote them",
                                         partOf(options, options->crlf)));
    addFileOptions(command, partOf(options, options->add));
    command.run = [options](const CommandCall& call) {
        options->add.inputs.operands = call.operands;
        return createArchive(call.paths, *options, call.streams);
    };
    return command;
}

}  // namespace unbcl::bcl
