// SPDX-License-Identifier: MIT
#include "archive_writing.hpp"

#include "new_member_name.hpp"

namespace unbcl::bcl {

std::optional<ArchiveRewrite> beginRewrite(const ArchivePaths& paths, ArchiveRewrite::Scope scope, bool readOld,
                                           Diagnostics& diagnostics, int& exitCode) {
    std::variant<ArchiveRewrite, RewriteResult> started = ArchiveRewrite::begin(paths, scope, readOld);
    if (auto* refused = std::get_if<RewriteResult>(&started)) {
        exitCode = reportRewrite(*refused, diagnostics);
        return std::nullopt;
    }
    ArchiveRewrite& rewrite = std::get<ArchiveRewrite>(started);
    diagnostics.reportAll(rewrite.notes());
    return std::move(rewrite);
}

int reportRewrite(const RewriteResult& result, Diagnostics& diagnostics) {
    diagnostics.reportAll(result.problems);
    switch (result.status) {
        case RewriteStatus::Done:
            return exitFor(diagnostics);
        case RewriteStatus::Failed:
            return kBclFailed;
        case RewriteStatus::CannotRun:
            return kBclCannotRun;
    }
    return kBclFailed;
}

MemberWritten verboseListing(Console& verbose) {
    return [&verbose](const PlannedMember& m) { verbose.write(escapeControlBytes(m.shownName) + "\n"); };
}

int rewriteArchive(const ArchivePaths& paths, const RewriteOptions& options,
                   const std::function<std::optional<ArchivePlan>(const ArchiveUnderLock&)>& makePlan,
                   const StandardStreams& streams, Diagnostics& diagnostics) {
    int exitCode = kBclFailed;
    std::optional<ArchiveRewrite> rewrite =
        beginRewrite(paths, ArchiveRewrite::Scope::Replace, options.readOld, diagnostics, exitCode);
    if (!rewrite) return exitCode;
    std::optional<ArchivePlan> plan = makePlan(rewrite->archive());
    if (!plan) return kBclFailed;
    Console verbose(streams.out, false);
    const RewriteResult result =
        rewrite->commitPlan(std::move(*plan), options.align, options.verbose ? verboseListing(verbose) : nullptr);
    if (const int code = reportRewrite(result, diagnostics); result.status != RewriteStatus::Done) return code;
    if (verbose.error() != 0) diagnostics.reportPlain("standard output: " + systemReason(verbose.error()));
    return exitFor(diagnostics);
}

bool openWritingCharset(const std::string& name, std::optional<NameCharset>& charset, Diagnostics& diagnostics) {
    if (name.empty()) return true;
    SysResult<NameCharset> opened = NameCharset::open(name, NameCharset::Direction::FromUtf8);
    if (!opened) {
        diagnostics.report(name, NameCharset::describeOpenFailure(name, opened.error()));
        return false;
    }
    charset = std::move(*opened);
    return true;
}

std::optional<FilesToAdd> prepareFilesToAdd(const AddOptions& options, const StandardStreams& streams,
                                            Diagnostics& diagnostics, int& exitCode) {
    FilesToAdd add;
    const bool reportedBefore = diagnostics.anyReported();
    exitCode = kBclCannotRun;
    // The listing -v asks for would go into the /dev/null that stands in for standard output.
    if (options.verbose && standardOutputWasClosed(streams, diagnostics)) return std::nullopt;
    if (!openWritingCharset(options.charset, add.charset, diagnostics)) return std::nullopt;
    exitCode = kBclFailed;
    GatheredInputs gathered = gatherInputs(options.inputs, diagnostics);
    // What a walk left out is reported and ends the run with 1, after the rest is written.
    if (reportedBefore || gathered.refused > 0) return std::nullopt;
    add.files = std::move(gathered.files);
    return add;
}

std::vector<PlannedMember> planNewMembers(const std::vector<FileToAdd>& inputs, const AddOptions& options,
                                          const ArchiveUnderLock& archive, std::optional<NameCharset>& charset,
                                          std::set<std::string, std::less<>>& taken, Diagnostics& diagnostics,
                                          std::size_t& refused) {
    std::vector<PlannedMember> planned;
    refused = 0;
    // A file met in a walk whose name cannot be stored is left out, as the walk leaves out what
    // is no file; one the user named is refused, and then nothing is written.
    const auto leaveOut = [&](const FileToAdd& input, const std::string& reason) {
        if (input.foundInWalk && !options.inputs.strict) {
            diagnostics.report(input.name, "skipped: " + reason);
        } else {
            diagnostics.report(input.name, "refused: " + reason);
            ++refused;
        }
    };
    for (const FileToAdd& input : inputs) {
        std::string stored = input.name;
        if (charset) {
            SysResult<std::string> converted = charset->convert(input.name);
            if (!converted) {
                leaveOut(input, "the name cannot be written in " + options.charset + ": " + systemReason(converted.error()));
                continue;
            }
            stored = std::move(*converted);
        }
        if (const auto problem = newMemberNameProblem(input.name, stored, options.literalNames)) {
            leaveOut(input, *problem);
            continue;
        }
        if (!taken.insert(stored).second && !options.allowDuplicates) {
            diagnostics.report(input.name, "refused: named twice (--allow-duplicates keeps both)");
            ++refused;
            continue;
        }
        if (input.identity == archive.index || input.identity == archive.data) {
            // A tree that holds its own archive would pack it into itself; tar and zip skip it
            // too. Named by the user, it is a mistake to say so.
            if (options.inputs.strict || !input.foundInWalk) {
                diagnostics.report(input.name, "refused: it is the archive being written");
                ++refused;
            } else {
                diagnostics.note(input.name, "warning: skipped: it is the archive being written");
            }
            continue;
        }
        planned.push_back({input.name, std::move(stored), {input.path, input.identity, 0}, input.length});
    }
    return planned;
}

}  // namespace unbcl::bcl
