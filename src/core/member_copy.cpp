// SPDX-License-Identifier: MIT
#include "unbcl/member_copy.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "unbcl/file_io.hpp"
#include "unbcl/member_placement.hpp"

namespace unbcl {

namespace {

// copy_file_range errors that mean "not here", not "failed".
bool kernelCopyUnsupported(int err) { return err == ENOSYS || err == EXDEV || err == EOPNOTSUPP; }

}  // namespace

CopyOutcome MemberCopier::copy(int dataFd, std::int64_t offset, std::int64_t length, int outFd,
                               const HeldSignals* held) {
    CopyOutcome outcome;
    if (offset < 0 || length <= 0) return outcome;
    if (!held) {
        copyPiece(dataFd, offset, length, outFd, outcome);
        return outcome;
    }
    while (outcome.copied < length) {
        const std::int64_t before = outcome.copied;
        const std::int64_t end = std::min(length, before + kBytesBetweenLooks);
        copyPiece(dataFd, offset, end, outFd, outcome);
        if (outcome.copied < end || outcome.readErrno != 0 || outcome.writeErrno != 0) break;
        if (outcome.copied < length && held->pending()) {
            outcome.interrupted = true;
            break;
        }
    }
    return outcome;
}

// Copies until outcome.copied reaches length (both counted from offset), or the data file ends,
// or an error.
void MemberCopier::copyPiece(int dataFd, std::int64_t offset, std::int64_t length, int outFd, CopyOutcome& outcome) {
    if (kernelCopyUsable_) copyWithKernel(dataFd, offset, length, outFd, outcome);
    if (outcome.copied < length && outcome.readErrno == 0 && outcome.writeErrno == 0) {
        copyThroughBuffer(dataFd, offset, length, outFd, outcome);
    }
}

void MemberCopier::copyWithKernel(int dataFd, std::int64_t offset, std::int64_t length, int outFd,
                                  CopyOutcome& outcome) {
    constexpr std::int64_t kMaxChunk = std::int64_t{1} << 30;
    while (outcome.copied < length) {
        loff_t from = offset + outcome.copied;
        const auto chunk = static_cast<std::size_t>(std::min(length - outcome.copied, kMaxChunk));
        const ssize_t n = ::copy_file_range(dataFd, &from, outFd, nullptr, chunk, 0);
        if (n > 0) {
            outcome.copied += n;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && kernelCopyUnsupported(errno)) kernelCopyUsable_ = false;
        // A zero may be the data file's end or a file system that copies nothing, and an error
        // does not say which side failed: the plain path tells these apart for the rest.
        return;
    }
}

void MemberCopier::copyThroughBuffer(int dataFd, std::int64_t offset, std::int64_t length, int outFd,
                                     CopyOutcome& outcome) {
    if (!block_) block_ = std::make_unique<char[]>(kBlockSize);
    while (outcome.copied < length) {
        const auto want = static_cast<std::size_t>(
            std::min<std::int64_t>(length - outcome.copied, static_cast<std::int64_t>(kBlockSize)));
        const ssize_t n = ::pread(dataFd, block_.get(), want, offset + outcome.copied);
        if (n < 0) {
            if (errno == EINTR) continue;
            outcome.readErrno = errno;
            return;
        }
        if (n == 0) return;  // the data file ends here
        if (const int err = writeAll(outFd, {block_.get(), static_cast<std::size_t>(n)}); err != 0) {
            outcome.writeErrno = err;
            return;
        }
        outcome.copied += n;
    }
}

std::optional<Problem> copyProblem(const ListMLV& entry, const CopyOutcome& outcome, int closeErrno,
                                   CopyTarget target) {
    const std::string name(entry.fname);
    if (const int err = outcome.writeErrno != 0 ? outcome.writeErrno : closeErrno; err != 0) {
        return makeNameProblem(ProblemKind::CannotWrite, name, "write error: " + systemReason(err), err);
    }
    if (outcome.readErrno != 0) {
        return makeNameProblem(ProblemKind::CannotRead, name,
                           "read error in the data file: " + systemReason(outcome.readErrno), outcome.readErrno);
    }
    const MemberPlacement placement = judgeMemberPlacement(entry.offset, entry.length, outcome.copied);
    if (placement.placement == Placement::Whole) return std::nullopt;
    std::string reason = describePlacement(placement, entry.offset, entry.length);
    if (placement.placement == Placement::NegativeLength && target == CopyTarget::File) {
        reason += ": empty file written";
    }
    return makeNameProblem(ProblemKind::NotWhole, name, std::move(reason));
}

}  // namespace unbcl
