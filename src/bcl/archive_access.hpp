// Opening an archive's files for a command, reporting what cannot be opened or read.
#pragma once

#include <optional>
#include <string>

#include "unbcl/console.hpp"
#include "unbcl/file_io.hpp"
#include "unbcl/list_entry.hpp"

namespace unbcl::bcl {

struct LoadedIndex {
    InputFile file;
    std::string header1;
    std::string header2;
    EntryList entries;
    bool complete = true;  // false when reading stopped at a malformed or unreadable spot
};

std::optional<InputFile> openOrReport(const std::string& path, Diagnostics& diagnostics);

// Reads the whole index the way unbcl does. A stop is reported; what was read is kept.
std::optional<LoadedIndex> loadIndex(const std::string& path, Diagnostics& diagnostics);

// 0 when nothing was reported, else 1: each failure has been said on standard error.
int exitFor(const Diagnostics& diagnostics);

}  // namespace unbcl::bcl
