// SPDX-License-Identifier: MIT
// Writing members out of the data file into files of their own.
#pragma once

#include <fcntl.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "unbcl/console.hpp"
#include "unbcl/file_io.hpp"
#include "unbcl/held_signals.hpp"
#include "unbcl/list_entry.hpp"
#include "unbcl/member_copy.hpp"
#include "unbcl/member_name.hpp"

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

// Where and how output files are made. The defaults are unbcl's: names relative to the current
// directory, opened as they stand, no directory created, existing regular files emptied and
// rewritten. Whatever the policy, an existing FIFO, device or socket is refused, never opened
// for writing, and a file with other hard links never changes through this name.
struct OutputPolicy {
    int directoryFd = AT_FDCWD;
    // bcl's way. Resolve every name beneath directoryFd only: a symbolic link that leads out of
    // it on the way refuses the entry. Each member is written to a new file that takes its name
    // only when written whole, replacing an existing file or link there, so a failed write or a
    // killed process leaves what stood at the name before.
    bool stayBeneath = false;
    bool createDirectories = false;
    // With stayBeneath: an existing file at the name is left alone and a note says so.
    bool keepExisting = false;
    // With stayBeneath: a member stops at the next 64 MiB once one of these held signals is
    // pending, and its unfinished file is dropped (ExtractedMember::interrupted).
    const HeldSignals* stopOnSignal = nullptr;
    // How names are judged: bcl reads a drive letter as absolute.
    NameStyle nameStyle = NameStyle::Unix;
};

struct ExtractedMember {
    bool written = false;     // the output file was made (its bytes may still fall short)
    bool whole = false;       // and holds all of the member, with nothing reported
    std::int64_t copied = 0;  // the member's bytes written
    bool interrupted = false; // a held signal stopped it, and nothing was written
};

class MemberExtractor {
public:
    MemberExtractor(int dataFd, std::vector<ProtectedFile> protectedFiles, Diagnostics& diagnostics,
                    OutputPolicy policy = {})
        : dataFd_(dataFd),
          policy_(policy),
          protected_(std::move(protectedFiles)),
          diagnostics_(diagnostics) {}

    // Writes the entry's output file as the policy says. Problems are reported and the entry is
    // left; the next entry does not depend on this one.
    ExtractedMember extractMember(const ListMLV& entry);

private:
    // Where a member's file goes: its directory, opened beneath the extraction directory, and
    // the last component of its name.
    struct OutputSlot {
        UniqueFd parent;  // none: the extraction directory itself
        std::string base;
        int parentFd(int extractionDirectory) const { return parent ? parent.get() : extractionDirectory; }
    };

    int openOutput(const std::string& name, int flags) const;
    // Makes the directories a name needs; gives the last of them, open (none when the name has
    // no directory to make), or nothing with the reason reported.
    std::optional<UniqueFd> makeParentDirectories(const std::string& name);
    // unbcl's way: the output is written at its name, an existing regular file emptied in
    // place unless other names share it. Returns the output, or nothing with the reason reported.
    UniqueFd createOutput(const std::string& name);
    UniqueFd reuseExisting(const std::string& name);
    // bcl extract's way: a new file, put at its name only when written whole.
    ExtractedMember extractWhole(const ListMLV& entry, const std::string& name);
    std::optional<OutputSlot> findOutputSlot(const std::string& name);
    // Whether the new file must replace something at the name (true) or finds it free (false);
    // nothing, with the reason reported, when what stands there must be left alone.
    std::optional<bool> mayReplace(const OutputSlot& slot, const std::string& name);
    void keepExisting(const std::string& name);
    void reportOpenFailure(const std::string& name, int err);
    const ProtectedFile* protectedFileFor(const FileIdentity& identity) const;

    int dataFd_;
    OutputPolicy policy_;
    std::vector<ProtectedFile> protected_;
    Diagnostics& diagnostics_;
    MemberCopier copier_;
};

}  // namespace unbcl
