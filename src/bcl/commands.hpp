// SPDX-License-Identifier: MIT
// The commands of bcl, the companion tool, one source file each.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "input_files.hpp"
#include "member_names.hpp"
#include "member_selection.hpp"
#include "unbcl/archive_open.hpp"
#include "unbcl/console.hpp"

namespace unbcl::bcl {

enum BclExit : int {
    kBclOk = 0,
    kBclFailed = 1,     // some member or check failed; each failure was reported
    kBclCannotRun = 2,  // bad usage, or an archive file that cannot be opened
};

using unbcl::ArchivePaths;

// How names are read and which members are chosen: shared by list, test, extract and cat.
struct MemberOptions {
    NameOptions names;
    SelectionOptions selection;
};

enum class HashAlgorithm { Crc32, Md5, Sha1, Sha256 };

struct ListOptions {
    MemberOptions members;
    bool json = false;
    bool showHeader = false;
    std::vector<HashAlgorithm> hashes;
};
int listArchive(const ArchivePaths& paths, const ListOptions& options, const StandardStreams& streams);

struct TestOptions {
    MemberOptions members;
};
int testArchive(const ArchivePaths& paths, const TestOptions& options, const StandardStreams& streams);

enum class ProgressMode { OnTerminal, Always, Never };

constexpr unsigned kMaxExtractJobs = 256;

struct ExtractOptions {
    MemberOptions members;
    std::string directory = ".";
    bool keepOldFiles = false;
    bool verbose = false;
    bool flatten = false;
    bool lowercase = false;
    ProgressMode progress = ProgressMode::OnTerminal;
    // The progress line appears once extraction has run this long.
    std::chrono::milliseconds progressAfter{1000};
    // Threads that write members; with more than one, the result is still that of one.
    unsigned jobs = 1;
};
int extractArchive(const ArchivePaths& paths, const ExtractOptions& options, const StandardStreams& streams);

struct CatOptions {
    MemberOptions members;
};
int catMembers(const ArchivePaths& paths, const CatOptions& options, const StandardStreams& streams);

// What goes into an archive, and how: shared by create, update and append.
struct AddOptions {
    InputOptions inputs;
    bool allowDuplicates = false;
    bool literalNames = false;  // allow backslashes and drive letters, which bcl reads as paths
    std::string charset;     // write names in this code page instead of the bytes given
    std::int64_t align = 1;  // each member starts at a multiple of this (a power of two)
    bool verbose = false;    // name each member as it is added
};

struct CreateOptions {
    std::vector<std::string> headers;  // at most two; defaults fill the rest
    AddOptions add;
};
int createArchive(const ArchivePaths& paths, const CreateOptions& options, const StandardStreams& streams);

// Replaces the members whose names the files have, in their places, and adds the others.
int updateArchive(const ArchivePaths& paths, const AddOptions& options, const StandardStreams& streams);

// Adds new members at the end of the data file, in place, then replaces the index.
int appendToArchive(const ArchivePaths& paths, const AddOptions& options, const StandardStreams& streams);

// Removes the chosen members and compacts the data file.
int deleteMembers(const ArchivePaths& paths, const MemberOptions& options, const StandardStreams& streams);

struct RenameOptions {
    MemberOptions members;  // how names are read; OLD is matched as bcl shows names
    std::string from;
    std::string to;
};
// Renames one member; only the index changes.
int renameMember(const ArchivePaths& paths, const RenameOptions& options, const StandardStreams& streams);

struct MountOptions {
    NameOptions names;  // how stored names become paths in the tree
    std::string mountPoint;
    bool foreground = false;
    std::vector<std::string> fuseOptions;  // each as given to -o
};
// Returns once the mount is usable (in the background), or once it is unmounted (foreground).
int mountArchive(const ArchivePaths& paths, const MountOptions& options, const StandardStreams& streams);

int unmountArchive(const std::string& mountPoint, const StandardStreams& streams);

}  // namespace unbcl::bcl
