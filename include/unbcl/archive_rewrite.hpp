// SPDX-License-Identifier: MIT
// Rewriting an archive: one session from the lock to the commit. It resolves both files, takes
// the writers' lock, finishes a commit an earlier writer left interrupted, reads the archive as
// it is under that lock, writes the data and then the index, and commits both or neither.
// Everything that goes wrong comes back as a value.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

#include "unbcl/archive_open.hpp"
#include "unbcl/archive_plan.hpp"
#include "unbcl/file_io.hpp"
#include "unbcl/held_signals.hpp"
#include "unbcl/problem.hpp"

namespace unbcl {

// What a writer sees of the archive it rewrites, under the writers' lock.
struct ArchiveUnderLock {
    std::optional<FileIdentity> index;  // the files there now, if any
    std::optional<FileIdentity> data;
    const LoadedIndex* old = nullptr;  // when the session read it: the archive as it is
    int oldDataFd = -1;
};

enum class RewriteStatus {
    Done,       // the new archive is in place
    Failed,     // it is not, and the previous archive is whole (or its problems say otherwise)
    CannotRun,  // the archive as it is cannot be rewritten (unreadable, both names one file)
};

struct RewriteResult {
    RewriteStatus status = RewriteStatus::Done;
    Problems problems;
};

enum class WriteOutcome {
    Written,
    Failed,
    Interrupted,  // a held signal came: the caller undoes what it wrote, then lets it through
};

struct MembersWritten {
    WriteOutcome outcome = WriteOutcome::Written;
    Problems problems;
};

// Told each member that came from a file, once its bytes are in the data file.
using MemberWritten = std::function<void(const PlannedMember&)>;

// Copies every member that writes bytes to its offset in dataFd, from its file (which must
// still be the file planned, with the length planned) or from oldDataFd. Gaps before aligned
// members stay holes, which read as zeros. With held, the copy stops at the next safe point,
// between members or between pieces of a large one, once a signal is pending.
MembersWritten writeMembers(const ArchivePlan& plan, const MemberLayout& layout, int dataFd, int oldDataFd,
                            const MemberWritten& onWritten, const HeldSignals* held = nullptr);

class ArchiveRewrite {
public:
    enum class Scope {
        Replace,  // a new data file and a new index: create, update, delete
        Rename,   // a new index over the same data file
        Append,   // new bytes at the end of the data file, in place, then a new index
    };

    // Starts a session: nothing visible changes yet. With readOld (always for Rename and
    // Append) the archive is read as it stands under the lock, and refused when its index
    // cannot be read whole or, for Append, when a member does not have all its bytes.
    static std::variant<ArchiveRewrite, RewriteResult> begin(const ArchivePaths& paths, Scope scope, bool readOld);

    ArchiveRewrite(ArchiveRewrite&&) noexcept;
    ArchiveRewrite& operator=(ArchiveRewrite&&) noexcept;
    ~ArchiveRewrite();

    // What begin found and did first: an interrupted commit finished or undone.
    const Problems& notes() const;
    const ArchiveUnderLock& archive() const;

    // Replace: lays out the plan's members, copies them, and commits the new data file and
    // index. Members copied from the old data file must have all their bytes there.
    RewriteResult commitPlan(const ArchivePlan& plan, std::int64_t align, const MemberWritten& onWritten);
    // Rename: commits the plan's index; the members keep their offsets. The plan holds no files.
    RewriteResult commitIndex(const ArchivePlan& plan);
    // Append: writes the plan's files after everything the data file holds, then commits the
    // plan's index, where the old members keep their offsets. A failure, or a signal held
    // meanwhile, cuts the data file back to the bytes it had.
    RewriteResult commitAppend(const ArchivePlan& plan, std::int64_t align, const MemberWritten& onWritten,
                               const HeldSignals& held);

    struct State;

private:
    explicit ArchiveRewrite(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace unbcl
