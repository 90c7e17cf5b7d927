// SPDX-License-Identifier: MIT
#include "unbcl/archive_rewrite.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>

#include "unbcl/archive_replace.hpp"
#include "unbcl/index_writer.hpp"
#include "unbcl/member_copy.hpp"
#include "unbcl/member_placement.hpp"

namespace unbcl {

namespace {

struct OpenInput {
    UniqueFd fd;
    struct stat status {};
};

// Opens an input without waiting: a FIFO with no writer would block a plain open. Only regular
// files are ever read, so anything else is refused from its status before it is opened at all;
// the status is taken again from the descriptor in case the name changed in between.
SysResult<OpenInput> openInput(const std::string& name) {
    struct stat byName {};
    if (::stat(name.c_str(), &byName) != 0) return SysResult<OpenInput>::failure(errno);
    if (S_ISDIR(byName.st_mode)) return SysResult<OpenInput>::failure(EISDIR);
    if (!S_ISREG(byName.st_mode)) return OpenInput{UniqueFd(), byName};
    OpenInput input{UniqueFd(::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)), {}};
    if (!input.fd || ::fstat(input.fd.get(), &input.status) != 0) return SysResult<OpenInput>::failure(errno);
    if (S_ISDIR(input.status.st_mode)) return SysResult<OpenInput>::failure(EISDIR);
    return input;
}

FileIdentity identityOf(const struct stat& status) { return {status.st_dev, status.st_ino}; }

Problem memberProblem(ProblemKind kind, const std::string& shown, std::string reason, int err = 0) {
    return makeProblem(kind, shown, std::move(reason), err);
}

// Why a member's bytes are not what was planned for it, or nothing when they are. Bytes found
// past the planned length count as a change too: the index already says how long the member is.
std::optional<std::string> changeAfterCopy(const PlannedMember& m, const OpenInput& file, std::int64_t copied) {
    if (copied < m.length) return "it shrank below " + std::to_string(m.length) + " bytes";
    struct stat now {};
    if (::fstat(file.fd.get(), &now) != 0) return "cannot read: " + systemReason(errno);
    if (now.st_size > m.length) return "it grew past " + std::to_string(m.length) + " bytes";
    return std::nullopt;
}

WriteOutcome copyFromFile(const PlannedMember& m, MemberCopier& copier, int dataFd, Problems& problems,
                          const HeldSignals* held) {
    const SysResult<OpenInput> file = openInput(m.source.path);
    if (!file) {
        problems.add(memberProblem(ProblemKind::CannotRead, m.shownName, "cannot read: " + systemReason(file.error()),
                                   file.error()));
        return WriteOutcome::Failed;
    }
    if (!(identityOf(file->status) == m.source.identity) || !file->fd) {
        problems.add(memberProblem(ProblemKind::Changed, m.shownName,
                                   "changed while the archive was written: another file has its name now"));
        return WriteOutcome::Failed;
    }
    const CopyOutcome outcome = copier.copy(file->fd.get(), 0, m.length, dataFd, held);
    if (outcome.interrupted) return WriteOutcome::Interrupted;
    if (outcome.writeErrno != 0) {
        problems.add(memberProblem(ProblemKind::CannotWrite, m.shownName,
                                   "cannot write the data file: " + systemReason(outcome.writeErrno),
                                   outcome.writeErrno));
        return WriteOutcome::Failed;
    }
    if (outcome.readErrno != 0) {
        problems.add(memberProblem(ProblemKind::CannotRead, m.shownName, "read error: " + systemReason(outcome.readErrno),
                                   outcome.readErrno));
        return WriteOutcome::Failed;
    }
    if (const auto change = changeAfterCopy(m, *file, outcome.copied)) {
        problems.add(memberProblem(ProblemKind::Changed, m.shownName, "changed while the archive was written: " + *change));
        return WriteOutcome::Failed;
    }
    return WriteOutcome::Written;
}

bool copyFromOldData(const std::string& shown, std::pair<std::int64_t, std::int64_t> range, MemberCopier& copier,
                     int oldDataFd, int dataFd, Problems& problems) {
    const CopyOutcome outcome = copier.copy(oldDataFd, range.first, range.second, dataFd);
    if (outcome.writeErrno != 0) {
        problems.add(memberProblem(ProblemKind::CannotWrite, shown,
                                   "cannot write the data file: " + systemReason(outcome.writeErrno),
                                   outcome.writeErrno));
        return false;
    }
    if (outcome.readErrno != 0) {
        problems.add(memberProblem(ProblemKind::CannotRead, shown,
                                   "read error in the data file: " + systemReason(outcome.readErrno),
                                   outcome.readErrno));
        return false;
    }
    if (outcome.copied != range.second) {
        problems.add(memberProblem(ProblemKind::Changed, shown, "the data file changed while the archive was written"));
        return false;
    }
    return true;
}

Problem pathProblem(ProblemKind kind, const std::string& path, const std::string& what, int err) {
    return makeProblem(kind, path, what + ": " + systemReason(err), err);
}

RewriteResult failed(Problems problems, RewriteStatus status = RewriteStatus::Failed) {
    return RewriteResult{status, std::move(problems)};
}

RewriteResult failedWith(Problem problem, RewriteStatus status = RewriteStatus::Failed) {
    Problems problems;
    problems.add(std::move(problem));
    return failed(std::move(problems), status);
}

// Whether a member has all its bytes in a data file of dataSize bytes; a problem when not.
// The name is asked for only then: naming a member can mean converting its name.
bool memberIsWhole(const std::function<std::string()>& nameOf, std::int32_t offset, std::int32_t length,
                   std::int64_t dataSize, Problems& problems) {
    const MemberPlacement placement = judgeMemberPlacement(offset, length, bytesInDataFile(offset, length, dataSize));
    if (placement.placement == Placement::Whole) return true;
    problems.add(makeProblem(ProblemKind::NotWhole, nameOf(),
                             "refused to rewrite: " + describePlacement(placement, offset, length) +
                                 " (deleting or updating it repairs the archive)"));
    return false;
}

// Checks that every member whose bytes a rewrite copies from the old data file has them all:
// the copy would otherwise shorten it silently. Members being removed or replaced may be
// broken, which is how a broken archive is repaired.
bool copiedMembersAreWhole(const ArchivePlan& plan, int oldDataFd, const std::string& dataPath, Problems& problems) {
    const SysResult<std::int64_t> dataSize = fileSize(oldDataFd);
    if (!dataSize) {
        problems.add(pathProblem(ProblemKind::CannotRead, dataPath, "cannot read", dataSize.error()));
        return false;
    }
    bool whole = true;
    plan.forEach([&](const PlanMember& m, std::size_t) {
        if (m.fromFile()) return;
        // A kept member's numbers are the old index's own, which are 32-bit.
        const auto offset = static_cast<std::int32_t>(m.oldOffset);
        const auto length = static_cast<std::int32_t>(m.length);
        whole = memberIsWhole([&] { return plan.shownName(m); }, offset, length, *dataSize, problems) && whole;
    });
    return whole;
}

bool oldMembersAreWhole(const LoadedIndex& old, std::int64_t dataSize, Problems& problems) {
    bool whole = true;
    for (const ListMLV& e : old.entries) {
        whole = memberIsWhole([&e] { return std::string(e.fname); }, e.offset, e.length, dataSize, problems) && whole;
    }
    return whole;
}

// The data file, open for adding bytes at its end; the size it had, to go back to on failure.
struct DataForAppend {
    UniqueFd fd;
    FileIdentity identity;
    std::int64_t size = 0;
};

}  // namespace

struct ArchiveRewrite::State {
    ArchivePaths paths;
    Scope scope = Scope::Replace;
    std::optional<FileSetReplacement> replacement;
    std::size_t indexTarget = 0;
    std::size_t dataTarget = 0;  // Replace only
    Problems notes;
    std::optional<LoadedIndex> old;
    std::optional<InputFile> oldData;
    std::optional<DataForAppend> appendData;
    ArchiveUnderLock view;

    // Puts the data file back as it was: the archive must come out of a failure unchanged.
    void restoreDataSize(Problems& problems) const {
        const DataForAppend& data = *appendData;
        if (::ftruncate(data.fd.get(), data.size) != 0 || ::fsync(data.fd.get()) != 0) {
            const int err = errno;
            problems.add(makeProblem(ProblemKind::CannotWrite, paths.data,
                                     "could not be cut back to its previous " + std::to_string(data.size) +
                                         " bytes: " + systemReason(err),
                                     err));
        }
    }

    // Writes the plan's index and commits; true when the new index is in place (durable or
    // not, as inPlace then says).
    bool commitIndexText(const ArchivePlan& plan, const MemberLayout& layout, Problems& problems, bool& inPlace) {
        inPlace = false;
        const int fd = replacement->fd(indexTarget);
        if (const int err = writeIndex(plan, layout, [fd](std::string_view piece) { return writeAll(fd, piece); });
            err != 0) {
            problems.add(pathProblem(ProblemKind::CannotWrite, paths.index, "cannot write", err));
            return false;
        }
        if (const auto failure = replacement->commit()) {
            problems.add(makeProblem(ProblemKind::CannotReplace, failure->path, failure->reason));
            inPlace = failure->inPlace;
            return false;
        }
        return true;
    }
};

namespace {

using State = ArchiveRewrite::State;

// Reads the index under the lock: no other writer's archive can slip in between.
std::optional<RewriteResult> readOldIndex(State& s) {
    SysResult<InputFile> file = openInputFile(s.paths.index);
    if (!file) {
        return failedWith(pathProblem(ProblemKind::CannotOpen, s.paths.index, "cannot open", file.error()),
                          RewriteStatus::CannotRun);
    }
    Problems problems;
    s.old = readWholeIndexFile(std::move(*file), s.paths.index, problems);
    if (!s.old->complete) {
        problems.add(makeProblem(ProblemKind::CannotRead, s.paths.index,
                                 "refused to rewrite: reading it stopped early, and what follows would be lost"));
        return failed(std::move(problems), RewriteStatus::CannotRun);
    }
    s.view.old = &*s.old;
    return std::nullopt;
}

std::optional<RewriteResult> openOldData(State& s) {
    SysResult<InputFile> data = openDataFile(s.paths.data);
    if (!data) {
        return failedWith(pathProblem(ProblemKind::CannotOpen, s.paths.data, "cannot open", data.error()),
                          RewriteStatus::CannotRun);
    }
    if (!readableAtOffsets(data->mode)) {
        return failedWith(makeProblem(ProblemKind::CannotOpen, s.paths.data,
                                      "cannot open: not a regular file (" + describeFileType(data->mode) + ")"),
                          RewriteStatus::CannotRun);
    }
    s.oldData = std::move(*data);
    s.view.oldDataFd = s.oldData->fd.get();
    return std::nullopt;
}

// The data file opened for adding bytes in place. One that cannot be opened at all cannot run
// (2); one that is not a file to append to is worded and counted as the commands that replace
// the data file have it: a failure (1).
std::optional<RewriteResult> openDataForAppend(State& s) {
    UniqueFd fd(::open(s.paths.data.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0) {
        return failedWith(pathProblem(ProblemKind::CannotOpen, s.paths.data, "cannot open", errno),
                          RewriteStatus::CannotRun);
    }
    if (!S_ISREG(st.st_mode)) {
        return failedWith(makeProblem(ProblemKind::CannotWrite, s.paths.data,
                                      "cannot write: not a regular file (" + describeFileType(st.st_mode) + ")"));
    }
    s.appendData = DataForAppend{std::move(fd), {st.st_dev, st.st_ino}, static_cast<std::int64_t>(st.st_size)};
    s.view.data = s.appendData->identity;
    // A member that runs past the end would take the new bytes as its own.
    Problems problems;
    if (!oldMembersAreWhole(*s.old, s.appendData->size, problems)) return failed(std::move(problems));
    return std::nullopt;
}

}  // namespace

ArchiveRewrite::ArchiveRewrite(std::unique_ptr<State> state) : state_(std::move(state)) {}
ArchiveRewrite::ArchiveRewrite(ArchiveRewrite&&) noexcept = default;
ArchiveRewrite& ArchiveRewrite::operator=(ArchiveRewrite&&) noexcept = default;
ArchiveRewrite::~ArchiveRewrite() = default;

const Problems& ArchiveRewrite::notes() const { return state_->notes; }
const ArchiveUnderLock& ArchiveRewrite::archive() const { return state_->view; }

std::variant<ArchiveRewrite, RewriteResult> ArchiveRewrite::begin(const ArchivePaths& paths, Scope scope,
                                                                  bool readOld) {
    auto s = std::make_unique<State>();
    s->paths = paths;
    s->scope = scope;
    SysResult<ResolvedTarget> index = resolveTarget(paths.index);
    SysResult<ResolvedTarget> data = resolveTarget(paths.data);
    Problems problems;
    for (const auto& [target, path] : {std::pair{&index, &paths.index}, {&data, &paths.data}}) {
        if (!*target) problems.add(pathProblem(ProblemKind::CannotOpen, *path, "cannot write", target->error()));
    }
    if (!index || !data) return failed(std::move(problems));
    if (sameLocation(*index, *data)) {
        return failedWith(makeProblem(ProblemKind::Refused, paths.data, "refused: the same file as the index, " + paths.index),
                          RewriteStatus::CannotRun);
    }
    // The data file goes in first, so that whoever sees the new index finds the new data
    // already in place. The index comes last: the commit record stands beside it.
    std::vector<ResolvedTarget> targets;
    std::vector<ResolvedTarget> lockedOnly;
    if (scope == Scope::Replace) {
        targets.push_back(std::move(*data));
        targets.push_back(std::move(*index));
        s->dataTarget = 0;
        s->indexTarget = 1;
    } else {
        targets.push_back(std::move(*index));
        lockedOnly.push_back(std::move(*data));
    }
    ReplacementStart started = FileSetReplacement::start(std::move(targets), std::move(lockedOnly));
    if (const auto* failure = std::get_if<ReplaceFailure>(&started)) {
        return failedWith(makeProblem(ProblemKind::CannotReplace, failure->path, failure->reason));
    }
    s->replacement = std::move(std::get<FileSetReplacement>(started));
    s->notes = s->replacement->notes();
    s->view.index = s->replacement->existing(s->indexTarget);
    if (scope == Scope::Replace) s->view.data = s->replacement->existing(s->dataTarget);
    if (readOld || scope != Scope::Replace) {
        if (auto refused = readOldIndex(*s)) return std::move(*refused);
    }
    if (scope == Scope::Replace && readOld) {
        if (auto refused = openOldData(*s)) return std::move(*refused);
    }
    if (scope == Scope::Append) {
        if (auto refused = openDataForAppend(*s)) return std::move(*refused);
    }
    return ArchiveRewrite(std::move(s));
}

RewriteResult ArchiveRewrite::commitPlan(const ArchivePlan& plan, std::int64_t align, const MemberWritten& onWritten) {
    State& s = *state_;
    Problems problems;
    if (s.old && !copiedMembersAreWhole(plan, s.view.oldDataFd, s.paths.data, problems)) {
        return failed(std::move(problems));
    }
    MemberLayout layout = layOutMembers(plan, 0, align);
    if (layout.problems.anyError()) return failed(std::move(layout.problems));
    const int dataFd = s.replacement->fd(s.dataTarget);
    MembersWritten written = writeMembers(plan, layout, dataFd, s.view.oldDataFd, onWritten);
    if (written.outcome != WriteOutcome::Written) return failed(std::move(written.problems));
    // The data file ends with its last member's bytes, even when that member is empty and the
    // one before it left a gap.
    if (::ftruncate(dataFd, layout.end) != 0) {
        return failedWith(pathProblem(ProblemKind::CannotWrite, s.paths.data, "cannot write", errno));
    }
    bool inPlace = false;
    if (!s.commitIndexText(plan, layout, problems, inPlace)) return failed(std::move(problems));
    return {};
}

RewriteResult ArchiveRewrite::commitIndex(const ArchivePlan& plan) {
    Problems problems;
    MemberLayout layout = layOutMembers(plan, 0, 1, MemberLayout::Mode::InPlace);
    if (layout.problems.anyError()) return failed(std::move(layout.problems));
    bool inPlace = false;
    if (!state_->commitIndexText(plan, layout, problems, inPlace)) return failed(std::move(problems));
    return {};
}

RewriteResult ArchiveRewrite::commitAppend(const ArchivePlan& plan, std::int64_t align, const MemberWritten& onWritten,
                                           const HeldSignals& held) {
    State& s = *state_;
    const DataForAppend& data = *s.appendData;
    // New bytes start after everything the data file holds, unreferenced bytes of an earlier
    // interrupted append included, so a failure can give back exactly the old file.
    MemberLayout layout = layOutMembers(plan, data.size, align, MemberLayout::Mode::InPlace);
    if (layout.problems.anyError()) return failed(std::move(layout.problems));
    MembersWritten copied = writeMembers(plan, layout, data.fd.get(), -1, onWritten, &held);
    Problems problems = std::move(copied.problems);
    const bool written = copied.outcome == WriteOutcome::Written && ::ftruncate(data.fd.get(), layout.end) == 0 &&
                         ::fsync(data.fd.get()) == 0;
    if (!written) {
        if (copied.outcome != WriteOutcome::Interrupted && problems.empty()) {
            problems.add(pathProblem(ProblemKind::CannotWrite, s.paths.data, "cannot write", errno));
        }
        s.restoreDataSize(problems);
        return failed(std::move(problems));
    }
    // Once the new index is in place, its members' bytes must stay, whatever else failed.
    bool inPlace = false;
    if (!s.commitIndexText(plan, layout, problems, inPlace)) {
        if (!inPlace) s.restoreDataSize(problems);
        return failed(std::move(problems));
    }
    return {};
}

namespace {

// Copies one member's bytes to its place; false, with the problem, when it cannot.
WriteOutcome writeMember(const ArchivePlan& plan, const MemberLayout& layout, const PlanMember& m, std::size_t i,
                         MemberCopier& copier, int dataFd, int oldDataFd, Problems& problems,
                         const HeldSignals* held) {
    const auto range = m.fromFile() ? std::pair<std::int64_t, std::int64_t>{} : layout.oldRangeOf(m);
    const std::int64_t at = m.fromFile() ? layout.offsets[i] : layout.offsets[i] - (m.oldOffset - range.first);
    if (::lseek(dataFd, at, SEEK_SET) < 0) {
        problems.add(memberProblem(ProblemKind::CannotWrite, plan.shownName(m),
                                   "cannot write the data file: " + systemReason(errno), errno));
        return WriteOutcome::Failed;
    }
    if (m.fromFile()) return copyFromFile(*m.full, copier, dataFd, problems, held);
    return copyFromOldData(plan.shownName(m), range, copier, oldDataFd, dataFd, problems) ? WriteOutcome::Written
                                                                                           : WriteOutcome::Failed;
}

}  // namespace

MembersWritten writeMembers(const ArchivePlan& plan, const MemberLayout& layout, int dataFd, int oldDataFd,
                            const MemberWritten& onWritten, const HeldSignals* held) {
    MembersWritten result;
    MemberCopier copier;
    plan.forEach([&](const PlanMember& m, std::size_t i) {
        if (result.outcome != WriteOutcome::Written) return;
        if (held && held->pending()) {
            result.outcome = WriteOutcome::Interrupted;
            return;
        }
        if (layout.writes[i]) {
            result.outcome = writeMember(plan, layout, m, i, copier, dataFd, oldDataFd, result.problems, held);
            if (result.outcome != WriteOutcome::Written) return;
        }
        if (onWritten && m.fromFile()) onWritten(*m.full);
    });
    if (result.outcome == WriteOutcome::Written && held && held->pending()) result.outcome = WriteOutcome::Interrupted;
    return result;
}

}  // namespace unbcl
