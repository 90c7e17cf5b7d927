// The commands of bcl, the companion tool, one source file each.
#pragma once

#include <chrono>
#include <string>
#include <vector>

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

struct ListOptions {
    bool json = false;
};
int listArchive(const ArchivePaths& paths, const ListOptions& options, const StandardStreams& streams);

int testArchive(const ArchivePaths& paths, const StandardStreams& streams);

struct ExtractOptions {
    std::string directory = ".";
    bool keepOldFiles = false;
    std::vector<std::string> members;  // empty: every entry
    // A progress line appears on a terminal once extraction has run this long.
    std::chrono::milliseconds progressAfter{1000};
};
int extractArchive(const ArchivePaths& paths, const ExtractOptions& options, const StandardStreams& streams);

int catMembers(const ArchivePaths& paths, const std::vector<std::string>& members, const StandardStreams& streams);

struct CreateOptions {
    std::vector<std::string> headers;  // at most two; defaults fill the rest
    std::vector<std::string> files;
    bool allowDuplicates = false;
};
int createArchive(const ArchivePaths& paths, const CreateOptions& options, const StandardStreams& streams);

struct MountOptions {
    std::string mountPoint;
    bool foreground = false;
    std::vector<std::string> fuseOptions;  // each as given to -o
};
// Returns once the mount is usable (in the background), or once it is unmounted (foreground).
int mountArchive(const ArchivePaths& paths, const MountOptions& options, const StandardStreams& streams);

int unmountArchive(const std::string& mountPoint, const StandardStreams& streams);

}  // namespace unbcl::bcl
