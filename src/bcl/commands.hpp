// SPDX-License-Identifier: MIT
// The commands of bcl, the companion tool, one source file each.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "member_names.hpp"
#include "member_selection.hpp"
#include "unbcl/archive_names.hpp"
#include "unbcl/console.hpp"

namespace unbcl::bcl {

enum BclExit : int {
    kBclOk = 0,
    kBclFailed = 1,     // some member or check failed; each failure was reported
    kBclCannotRun = 2,  // bad usage, or an archive file that cannot be opened
};

struct ArchivePaths {
    std::string index{kDefaultListFname};
    std::string data{kDefaultDataFname};
};

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

struct CreateOptions {
    std::vector<std::string> headers;  // at most two; defaults fill the rest
    std::vector<std::string> files;
    bool allowDuplicates = false;
    std::string charset;  // write names in this code page instead of the bytes given
};
int createArchive(const ArchivePaths& paths, const CreateOptions& options, const StandardStreams& streams);

}  // namespace unbcl::bcl
