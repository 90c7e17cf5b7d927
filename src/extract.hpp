// Writing members out of the data file into files of their own.
#pragma once

#include <fcntl.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "console.hpp"
#include "file_io.hpp"
#include "list_entry.hpp"

namespace unbcl {

struct CopyOutcome {
    std::int64_t copied = 0;
    int readErrno = 0;   // the data file could not be read
    int writeErrno = 0;  // the output could not be written
};

// Copies a member's bytes between descriptors with bounded memory: the kernel's in-place copy
// where the file systems allow it, otherwise pread/write through one reused block.
class MemberCopier {
public:
    // Copies up to length bytes found at offset in dataFd to outFd's current position. Stops
    // early, without error, where the data file ends: bytes that do not exist are never made up.
    CopyOutcome copy(int dataFd, std::int64_t offset, std::int64_t length, int outFd);

private:
    static constexpr std::size_t kBlockSize = 128 * 1024;

    void copyWithKernel(int dataFd, std::int64_t offset, std::int64_t length, int outFd,
                        CopyOutcome& outcome);
    void copyThroughBuffer(int dataFd, std::int64_t offset, std::int64_t length, int outFd,
                           CopyOutcome& outcome);

    bool kernelCopyUsable_ = true;
    std::unique_ptr<char[]> block_;
};

// Reports what a copy of the entry's member did not do: a failed write or read, bytes that the
// data file does not have, a negative length. Says nothing when the member came out whole.
void reportCopyOutcome(Diagnostics& diagnostics, const ListMLV& entry, const CopyOutcome& outcome, int closeErrno);

// A file the extraction must never write to, whatever name an entry gives it.
struct ProtectedFile {
    FileIdentity identity;
    std::string description;  // "the data file"
};

// Where and how output files are made. The defaults are unbcl's: names relative to the current
// directory, opened as they stand, no directory created, existing files replaced.
struct OutputPolicy {
    int directoryFd = AT_FDCWD;
    // Resolve every name beneath directoryFd only: a symbolic link that leads out of it, on
    // the way or at the end, refuses the entry.
    bool stayBeneath = false;
    bool createDirectories = false;
    bool keepExisting = false;
};

class MemberExtractor {
public:
    MemberExtractor(int dataFd, std::vector<ProtectedFile> protectedFiles, Diagnostics& diagnostics,
                    OutputPolicy policy = {})
        : dataFd_(dataFd),
          policy_(policy),
          protected_(std::move(protectedFiles)),
          diagnostics_(diagnostics) {}

    // Creates or truncates the entry's output file and copies the member into it. Problems
    // are reported and the entry is left; the next entry does not depend on this one.
    // Returns the member's bytes written.
    std::int64_t extractMember(const ListMLV& entry);

private:
    int openOutput(const std::string& name, int flags) const;
    bool makeParentDirectories(const std::string& name);
    UniqueFd createOutput(const std::string& name);
    const ProtectedFile* protectedFileFor(const FileIdentity& identity) const;

    int dataFd_;
    OutputPolicy policy_;
    std::vector<ProtectedFile> protected_;
    Diagnostics& diagnostics_;
    MemberCopier copier_;
};

}  // namespace unbcl
