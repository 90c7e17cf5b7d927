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

#include "archive_writer.hpp"
#include "commands.hpp"
#include "input_files.hpp"

namespace unbcl::bcl {

namespace {

// The data file, open for adding bytes at its end; the size it had, to go back to on failure.
struct DataForAppend {
    UniqueFd fd;
    FileIdentity identity;
    std::int64_t size = 0;
};

// Nothing, with the reason reported, when the data file cannot be written in place; exitCode
// then says whether it could not even be opened (2) or is not a file to append to (1).
std::optional<DataForAppend> openDataForAppend(const std::string& path, Diagnostics& diagnostics, int& exitCode) {
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0) {
        diagnostics.report(path, "cannot open: " + systemReason(errno));
        exitCode = kBclCannotRun;
        return std::nullopt;
    }
    exitCode = kBclFailed;
    if (!S_ISREG(st.st_mode)) {
        // Worded and counted as the commands that replace the data file have it: a failure (1).
        diagnostics.report(path, "cannot write: not a regular file (" + describeFileType(st.st_mode) + ")");
        return std::nullopt;
    }
    return DataForAppend{std::move(fd), {st.st_dev, st.st_ino}, static_cast<std::int64_t>(st.st_size)};
}

// Puts the data file back as it was: the archive must come out of a failure unchanged.
void restoreSize(const DataForAppend& data, const std::string& path, Diagnostics& diagnostics) {
    if (::ftruncate(data.fd.get(), data.size) != 0 || ::fsync(data.fd.get()) != 0) {
        diagnostics.report(path, "could not be cut back to its previous " + std::to_string(data.size) +
                                     " bytes: " + systemReason(errno));
    }
}

}  // namespace

int appendToArchive(const ArchivePaths& paths, const AddOptions& options, const StandardStreams& streams) {
    Diagnostics diagnostics(streams.err, "bcl");
    int exitCode = kBclFailed;
    std::optional<FilesToAdd> toAdd = prepareFilesToAdd(options, diagnostics, exitCode);
    if (!toAdd) return exitCode;
    const std::vector<FileToAdd>& inputs = toAdd->files;
    std::optional<NameCharset>& charset = toAdd->charset;

    std::optional<IndexRewrite> rewrite = startIndexRewrite(paths, diagnostics, exitCode);
    if (!rewrite) return exitCode;
    const LoadedIndex* old = &rewrite->old;
    const std::optional<DataForAppend> data = openDataForAppend(paths.data, diagnostics, exitCode);
    if (!data) return exitCode;
    // A member that runs past the end would take the new bytes as its own.
    if (!oldMembersAreWhole(*old, data->size, diagnostics)) return kBclFailed;

    ArchivePlan plan;
    keepHeaders(plan, *old);
    plan.members = keptMembers(*old);
    std::set<std::string, std::less<>> taken;
    for (const PlannedMember& m : plan.members) taken.insert(m.storedName);
    const ArchiveUnderLock archive{rewrite->existingIndex, data->identity, old, -1};
    std::vector<PlannedMember> added = planNewMembers(inputs, options, archive, charset, taken, diagnostics);
    if (diagnostics.anyReported()) return kBclFailed;
    // New bytes start after everything the data file holds, unreferenced bytes of an earlier
    // interrupted append included, so a failure can give back exactly the old file.
    if (!layOutMembers(added, data->size, options.align, diagnostics)) return kBclFailed;

    Console verbose(streams.out, false);
    // The new bytes are written in place, so a Ctrl-C or a kill must not leave them behind:
    // such a signal waits for the next safe point, the data file is cut back, and then the
    // signal ends the process as it would have. Only SIGKILL leaves unreferenced bytes.
    const HeldSignals held;
    const WriteOutcome copied =
        writeMembers(added, data->fd.get(), -1, options.verbose ? &verbose : nullptr, diagnostics, &held);
    const bool written = copied == WriteOutcome::Written &&
                         ::ftruncate(data->fd.get(), endOfMembers(added, data->size)) == 0 && ::fsync(data->fd.get()) == 0;
    if (!written) {
        if (copied != WriteOutcome::Interrupted && !diagnostics.anyReported()) {
            diagnostics.report(paths.data, "cannot write: " + systemReason(errno));
        }
        restoreSize(*data, paths.data, diagnostics);
        return kBclFailed;
    }
    plan.members.insert(plan.members.end(), added.begin(), added.end());
    // Once the new index is in place, its members' bytes must stay, whatever else failed.
    if (const IndexRewriteResult result = finishIndexRewrite(*rewrite, plan, paths.index, diagnostics);
        result != IndexRewriteResult::Done) {
        if (result == IndexRewriteResult::NotDone) restoreSize(*data, paths.data, diagnostics);
        return kBclFailed;
    }
    if (verbose.error() != 0) diagnostics.reportPlain("standard output: " + systemReason(verbose.error()));
    return exitFor(diagnostics);
}

}  // namespace unbcl::bcl
