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

// A file the extraction must never write to, whatever name an entry gives it.
struct ProtectedFile {
    FileIdentity identity;
    std::string description;  // "the data file"
};

class MemberExtractor {
public:
    MemberExtractor(int dataFd, std::vector<ProtectedFile> protectedFiles, Diagnostics& diagnostics,
                    int directoryFd = AT_FDCWD)
        : dataFd_(dataFd),
          directoryFd_(directoryFd),
          protected_(std::move(protectedFiles)),
          diagnostics_(diagnostics) {}

    // Creates or truncates the entry's output file and copies the member into it. Problems
    // are reported and the entry is left; the next entry does not depend on this one.
    void extractMember(const ListMLV& entry);

private:
    UniqueFd createOutput(const std::string& name);
    const ProtectedFile* protectedFileFor(const FileIdentity& identity) const;
    void reportCopy(const ListMLV& entry, const CopyOutcome& outcome, int closeErrno);

    int dataFd_;
    int directoryFd_;
    std::vector<ProtectedFile> protected_;
    Diagnostics& diagnostics_;
    MemberCopier copier_;
};

}  // namespace unbcl
