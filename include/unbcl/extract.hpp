// SPDX-License-Identifier: MIT
// Writing members out of the data file into files of their own: unbcl's way, in place at each
// name, and bcl extract's way, a whole new file beneath a directory or nothing.
#pragma once

#include <fcntl.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "unbcl/file_io.hpp"
#include "unbcl/held_signals.hpp"
#include "unbcl/list_entry.hpp"
#include "unbcl/member_copy.hpp"
#include "unbcl/member_name.hpp"
#include "unbcl/problem.hpp"

namespace unbcl {

// A file the extraction must never write to, whatever name an entry gives it.
struct ProtectedFile {
    FileIdentity identity;
    std::string_view description;  // "the data file"
};

// The archive's own two files: no entry may overwrite either.
std::vector<ProtectedFile> archiveFilesToProtect(const FileIdentity& index, const FileIdentity& data);

// Which of the archive's files (named by the two paths) is open on fd, if either is: "the
// index file" or "the data file". Output written there would change the archive.
std::optional<std::string_view> archiveFileAtFd(int fd, const std::string& index, const std::string& data);

// What extracting one member did, and every problem on the way, in the order they happened.
struct ExtractedMember {
    bool written = false;      // the output file was made (its bytes may still fall short)
    bool whole = false;        // and holds all of the member, with no error among the problems
    std::int64_t copied = 0;   // the member's bytes written
    bool interrupted = false;  // a held signal stopped it, and nothing was written
    Problems problems;
};

// unbcl's writer. Each name is opened relative to the current directory as it stands, no
// directory is made, and an existing regular file is emptied and rewritten in place. An
// existing FIFO, device or socket is refused, never opened for writing, and a file with other
// hard links gets a new file at this name instead, so the other names never change.
class InPlaceExtractor {
public:
    InPlaceExtractor(int dataFd, std::vector<ProtectedFile> protectedFiles)
        : dataFd_(dataFd), protected_(std::move(protectedFiles)) {}

    // The next entry does not depend on this one, whatever its problems.
    ExtractedMember extractMember(const ListMLV& entry);

private:
    UniqueFd createOutput(const std::string& name, Problems& problems) const;
    UniqueFd reuseExisting(const std::string& name, Problems& problems) const;

    int dataFd_;
    std::vector<ProtectedFile> protected_;
    MemberCopier copier_;
};

// How bcl extract writes beneath its directory.
struct BeneathPolicy {
    int directoryFd = AT_FDCWD;
    // An existing file at a member's name is left alone, and a note says so.
    bool keepExisting = false;
    // A member stops at the next 64 MiB once one of these held signals is pending, and its
    // unfinished file is dropped (ExtractedMember::interrupted).
    const HeldSignals* stopOnSignal = nullptr;
    // How names are judged: bcl reads a drive letter as absolute.
    NameStyle nameStyle = NameStyle::Unix;
};

// The directory entries that extracting one member beneath the directory uses, in the order
// the extractor uses them. The extractor walks exactly these, and groupMembersByOutput orders
// members by them, so the two cannot disagree about what a member touches.
struct OutputFootprint {
    struct Directory {
        std::string_view path;  // the member's name up to and including this component
        std::string_view name;  // the component: never empty, never "."
    };
    // The directories before the last '/', as the kernel walks them. Each is opened by its path
    // from the extraction directory, symbolic links followed as long as they stay beneath it,
    // and made with mkdirat in the one before it where it is missing (EEXIST counts as made).
    std::vector<Directory> directories;
    // What follows the last '/', in the last directory: what stands there is replaced by the
    // new file or refused, never followed, and only once the copy has ended without a read or
    // write error. Empty or "." when the name ends in a directory (bcl refuses those first).
    std::string_view file;
    // Whether what stands at file is looked at through symbolic links first (-k keeps it).
    bool readsThroughFile = false;
};

// bcl extract's writer. Every name is resolved beneath the directory only: a symbolic link that
// leads out of it on the way refuses the entry. Missing directories are made. Each member is
// written to a new file that takes its name only when written whole, replacing an existing file
// or link there, so a failed write or a killed process leaves what stood at the name before.
// An existing FIFO, device, socket or directory at the name is refused.
class BeneathExtractor {
public:
    BeneathExtractor(int dataFd, std::vector<ProtectedFile> protectedFiles, BeneathPolicy policy)
        : dataFd_(dataFd), policy_(policy), protected_(std::move(protectedFiles)) {}

    ExtractedMember extractMember(const ListMLV& entry);

    // Whether the name is refused before anything is touched for it.
    bool refusesName(std::string_view name) const;
    // Entries a member named name uses; for a name that refusesName, nothing is touched at all.
    OutputFootprint footprint(std::string_view name) const;
    const BeneathPolicy& policy() const { return policy_; }

private:
    // Where a member's file goes: its directory, opened beneath the extraction directory, and
    // the last component of its name.
    struct OutputSlot {
        UniqueFd parent;  // none: the extraction directory itself
        std::string base;
        int parentFd(int extractionDirectory) const { return parent ? parent.get() : extractionDirectory; }
    };

    int openBeneath(const std::string& path, int flags) const;
    std::optional<OutputSlot> makeOutputSlot(const std::string& name, Problems& problems) const;
    // Whether the new file must replace something at the name (true) or finds it free (false);
    // nothing, with the reason among the problems, when what stands there must be left alone.
    std::optional<bool> mayReplace(const OutputSlot& slot, const std::string& name, Problems& problems) const;
    Problem whatIsKept(const std::string& name) const;
    void writeWhole(const ListMLV& entry, const std::string& name, ExtractedMember& result);
    void tidyOnce(const std::string& name, int parentFd);

    int dataFd_;
    BeneathPolicy policy_;
    std::vector<ProtectedFile> protected_;
    MemberCopier copier_;
    // The directories (by their path beneath the extraction directory) already cleared of what
    // dead writers left there, once per run.
    std::unordered_set<std::string> tidied_;
};

}  // namespace unbcl
