// bcl list: one row per entry (offset, length, name) and a total, or the same as JSON.
#include <algorithm>
#include <cstdint>
#include <string>

#include "archive_access.hpp"
#include "commands.hpp"
#include "json.hpp"

namespace unbcl::bcl {

namespace {

// A number in a column of 11, wide enough for any signed 32-bit value.
std::string rightAligned(std::int32_t value) {
    std::string digits = std::to_string(value);
    return std::string(digits.size() < 11 ? 11 - digits.size() : 0, ' ') + digits;
}

}  // namespace

int listArchive(const ArchivePaths& paths, const ListOptions& options, const StandardStreams& streams) {
    Diagnostics diagnostics(streams.err, "bcl");
    const std::optional<LoadedIndex> index = loadIndex(paths.index, diagnostics);
    if (!index) return kBclCannotRun;
    Console console(streams.out, false);
    std::int64_t totalBytes = 0;
    std::string text = options.json ? "[" : "";
    bool first = true;
    for (const ListMLV& e : index->entries) {
        totalBytes += std::max(e.length, 0);
        if (options.json) {
            text += first ? "\n  {" : ",\n  {";
            text += jsonNameFields(e.fname) + ", \"offset\": " + std::to_string(e.offset) +
                    ", \"length\": " + std::to_string(e.length) + "}";
        } else {
            text += rightAligned(e.offset) + ' ' + rightAligned(e.length) + "  " + escapeControlBytes(e.fname) + '\n';
        }
        first = false;
        // Written in pieces, so a long listing never gathers in memory.
        if (text.size() > 60000) {
            console.write(text);
            text.clear();
        }
    }
    if (options.json) {
        text += index->entries.empty() ? "]\n" : "\n]\n";
    } else {
        text += std::to_string(index->entries.size()) + " members, " + std::to_string(totalBytes) + " bytes\n";
    }
    console.write(text);
    if (console.error() != 0) diagnostics.reportPlain("standard output: " + systemReason(console.error()));
    return exitFor(diagnostics);
}

}  // namespace unbcl::bcl
