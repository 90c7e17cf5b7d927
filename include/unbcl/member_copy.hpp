// SPDX-License-Identifier: MIT
// Copying a member's bytes out of the data file, with bounded memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "unbcl/held_signals.hpp"
#include "unbcl/list_entry.hpp"
#include "unbcl/problem.hpp"

namespace unbcl {

struct CopyOutcome {
    std::int64_t copied = 0;
    int readErrno = 0;         // the data file could not be read
    int writeErrno = 0;        // the output could not be written
    bool interrupted = false;  // a held signal came, and the copy stopped short
};

// Copies a member's bytes between descriptors: the kernel's in-place copy where the file
// systems allow it, otherwise pread/write through one reused block.
class MemberCopier {
public:
    // Copies up to length bytes found at offset in dataFd to outFd's current position. Stops
    // early, without error, where the data file ends: bytes that do not exist are never made up.
    // With held, it also stops once one of the held signals is pending, looking between pieces
    // of kBytesBetweenLooks, so that a Ctrl-C is answered soon even in a member of many GiB.
    CopyOutcome copy(int dataFd, std::int64_t offset, std::int64_t length, int outFd,
                     const HeldSignals* held = nullptr);

private:
    static constexpr std::int64_t kBytesBetweenLooks = std::int64_t{64} << 20;
    static constexpr std::size_t kBlockSize = 128 * 1024;

    void copyPiece(int dataFd, std::int64_t offset, std::int64_t length, int outFd, CopyOutcome& outcome);
    void copyWithKernel(int dataFd, std::int64_t offset, std::int64_t length, int outFd,
                        CopyOutcome& outcome);
    void copyThroughBuffer(int dataFd, std::int64_t offset, std::int64_t length, int outFd,
                           CopyOutcome& outcome);

    bool kernelCopyUsable_ = true;
    std::unique_ptr<char[]> block_;
};

enum class CopyTarget { File, Stream };

// What a copy of the entry's member did not do: a failed write (or close) or read, bytes that
// the data file does not have, a negative length. Nothing when the member came out whole.
std::optional<Problem> copyProblem(const ListMLV& entry, const CopyOutcome& outcome, int closeErrno,
                                   CopyTarget target);

}  // namespace unbcl
