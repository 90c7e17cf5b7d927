// The commands of bcl, the companion tool: list, test, extract, cat and create.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace unbcl::bcl {

enum ExitCode : int {
    kExitOk = 0,
    kExitFailed = 1,     // some member or check failed; each failure was reported
    kExitCannotRun = 2,  // bad usage, or an archive file that cannot be opened
};

struct ArchivePaths {
    std::string index = "MOLVARE.BCL";
    std::string data = "MOLVARE.BCD";
};

struct Streams {
    int out = 1;
    int err = 2;
    bool errIsTerminal = false;
    // A progress line appears on a terminal once extraction has run this long.
    std::chrono::milliseconds progressAfter{1000};
};

int listArchive(const ArchivePaths& paths, bool json, const Streams& streams);
int testArchive(const ArchivePaths& paths, const Streams& streams);

struct ExtractOptions {
    std::string directory = ".";
    bool keepOldFiles = false;
    std::vector<std::string> members;  // empty: every entry
};
int extractArchive(const ArchivePaths& paths, const ExtractOptions& options, const Streams& streams);

int catMembers(const ArchivePaths& paths, const std::vector<std::string>& members, const Streams& streams);

struct CreateOptions {
    std::vector<std::string> headers;  // at most two; defaults fill the rest
    std::vector<std::string> files;
    bool allowDuplicates = false;
};
int createArchive(const ArchivePaths& paths, const CreateOptions& options, const Streams& streams);

// The JSON text of a name: a string when its bytes are valid UTF-8; otherwise the string has
// U+FFFD for each byte that is not, and the exact bytes also appear in hexadecimal.
std::string jsonNameFields(const std::string& name);

}  // namespace unbcl::bcl
