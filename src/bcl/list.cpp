// SPDX-License-Identifier: MIT
// bcl list: one row per member (offset, length, checksums, name) and a total, or one JSON object.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>

#include "archive_access.hpp"
#include "commands.hpp"
#include "json.hpp"
#include "member_hash.hpp"
#include "unbcl/member_placement.hpp"

namespace unbcl::bcl {

namespace {

// A number in a column of 11, wide enough for any signed 32-bit value.
std::string rightAligned(std::int32_t value) {
    std::string digits = std::to_string(value);
    return std::string(digits.size() < 11 ? 11 - digits.size() : 0, ' ') + digits;
}

struct Listing {
    const ListOptions& options;
    Console& console;
    // Names are escaped for a terminal only; a pipe gets them as they are, to be fed back.
    bool escape = false;
    std::string text;
    std::size_t rows = 0;
    std::int64_t totalBytes = 0;

    // Written in pieces, so a long listing never gathers in memory.
    std::string shown(std::string_view name) const { return escape ? escapeControlBytes(name) : std::string(name); }

    void flushIfLong() {
        if (text.size() > 60000) {
            console.write(text);
            text.clear();
        }
    }
};

void beginListing(Listing& out, const LoadedIndex& index) {
    if (out.options.json) {
        out.text = "{\n  " + jsonTextFields("header1", index.header1) + ",\n  " +
                   jsonTextFields("header2", index.header2) + ",\n  \"members\": [";
    } else if (out.options.showHeader && !out.options.namesOnly && !out.options.nullSeparated) {
        out.text = out.shown(index.header1) + "\n" + out.shown(index.header2) + "\n";
    }
}

void listRow(Listing& out, const NamedEntry& e, const std::optional<MemberHashes>& hashes, std::int64_t missing) {
    const ListOptions& options = out.options;
    if (options.json) {
        out.text += out.rows == 0 ? "\n    {" : ",\n    {";
        out.text += jsonNameFields(e.path);
        if (e.path != e.entry.fname) out.text += ", \"stored_hex\": \"" + hexBytes(e.entry.fname) + "\"";
        out.text += ", \"offset\": " + std::to_string(e.entry.offset) + ", \"length\": " + std::to_string(e.entry.length);
        if (hashes) {
            out.text += ", \"hashes\": {";
            for (std::size_t i = 0; i < options.hashes.size(); ++i) {
                out.text += (i == 0 ? "\"" : ", \"") + std::string(hashName(options.hashes[i])) + "\": \"" +
                            hashes->hex[i] + "\"";
            }
            out.text += "}";
            if (missing > 0) out.text += ", \"missing\": " + std::to_string(missing);
        }
        out.text += "}";
    } else if (options.nullSeparated) {
        out.text += e.path;
        out.text += '\0';
    } else if (options.namesOnly) {
        out.text += out.shown(e.path) + '\n';
    } else {
        out.text += rightAligned(e.entry.offset) + ' ' + rightAligned(e.entry.length) + "  ";
        if (hashes) {
            for (const std::string& hex : hashes->hex) out.text += hex + "  ";
        }
        out.text += out.shown(e.path) + '\n';
    }
    ++out.rows;
    out.totalBytes += std::max(e.entry.length, 0);
    out.flushIfLong();
}

void endListing(Listing& out) {
    if (out.options.json) {
        out.text += std::string(out.rows == 0 ? "]" : "\n  ]") + ",\n  \"member_count\": " + std::to_string(out.rows) +
                    ",\n  \"total_bytes\": " + std::to_string(out.totalBytes) + "\n}\n";
    } else if (!out.options.namesOnly && !out.options.nullSeparated) {
        out.text += plural(out.rows, "member") + ", " + plural(static_cast<std::size_t>(out.totalBytes), "byte") + "\n";
    }
    out.console.write(out.text);
}

// Hashes one member over the bytes that exist, and says when some do not.
std::optional<MemberHashes> hashMember(MemberHasher& hasher, int dataFd, const NamedEntry& e,
                                       Diagnostics& diagnostics, std::int64_t& missing) {
    MemberHashes hashes = hasher.hash(dataFd, e.entry.offset, e.entry.length);
    if (hashes.readErrno != 0) {
        diagnostics.report(e.path, "read error in the data file: " + systemReason(hashes.readErrno));
        return std::nullopt;
    }
    const MemberPlacement placement = judgeMemberPlacement(e.entry.offset, e.entry.length, hashes.hashed);
    missing = placement.missing;
    if (placement.placement != Placement::Whole) {
        diagnostics.report(e.path, describePlacement(placement, e.entry.offset, e.entry.length) +
                                       " (the checksums cover the bytes that exist)");
    }
    return hashes;
}

}  // namespace

int listArchive(const ArchivePaths& paths, const ListOptions& options, const StandardStreams& streams) {
    Diagnostics diagnostics(streams.err, "bcl");
    std::optional<ArchiveForReading> archive =
        openArchiveForReading(paths, options.members.names, !options.hashes.empty(), streams, diagnostics);
    if (!archive) return kBclCannotRun;
    const LoadedIndex* index = &archive->index;
    const std::optional<InputFile>& data = archive->data;
    MemberSelection selection(options.members.selectionAsRead());
    const std::vector<NamedEntry> chosen = selectEntries(index->entries, archive->names, selection, diagnostics);

    Console console(streams.out, false);
    Listing listing{options, console, streams.outIsTerminal, {}, 0, 0};
    std::optional<MemberHasher> hasher;
    if (data) hasher.emplace(options.hashes);
    beginListing(listing, *index);
    for (const NamedEntry& e : chosen) {
        std::int64_t missing = 0;
        std::optional<MemberHashes> hashes;
        if (hasher) {
            hashes = hashMember(*hasher, data->fd.get(), e, diagnostics, missing);
            if (!hashes) continue;
        }
        listRow(listing, e, hashes, missing);
    }
    endListing(listing);
    if (console.error() != 0) diagnostics.reportPlain("standard output: " + systemReason(console.error()));
    return exitFor(diagnostics);
}

}  // namespace unbcl::bcl

namespace unbcl::bcl {

Command listCommand() {
    const auto options = std::make_shared<ListOptions>();
    Command command;
    command.name = "list";
    command.summary = "List the members: offset, length and name, then a total.";
    addMemberOptions(command, partOf(options, options->members));
    command.options.push_back(flagOption("--json", "one JSON object: header lines, members, count and total",
                                      partOf(options, options->json)));
    command.options.push_back(flagOption("-l,--long", "show the index's two header lines first",
                                      partOf(options, options->showHeader)));
    command.options.push_back(flagOption("-1,--names-only", "the names alone, a line each, with no total",
                                      partOf(options, options->namesOnly)));
    command.options.push_back(flagOption("--null", "the names alone, each ended by a NUL byte (for xargs -0)",
                                      partOf(options, options->nullSeparated)));
    CommandOption hash = valueOption("--hash", "ALG", "add each member's checksum: crc32, md5, sha1 or sha256 (repeatable)",
                                     [options](const std::string& name) -> ValueProblem {
                                         const std::optional<HashAlgorithm> algorithm = hashFromName(name);
                                         if (!algorithm) return "'" + name + "' is not crc32, md5, sha1 or sha256";
                                         options->hashes.push_back(*algorithm);
                                         return std::nullopt;
                                     });
    hash.repeatable = true;
    hash.delimiter = ',';
    command.options.push_back(std::move(hash));
    command.misuse = [options](const std::vector<std::string>&) -> std::string {
        const std::vector<std::pair<bool, const char*>> forms{{options->json, "--json"},
                                                              {options->namesOnly, "--names-only"},
                                                              {options->nullSeparated, "--null"},
                                                              {options->showHeader, "--long"},
                                                              {!options->hashes.empty(), "--hash"}};
        std::vector<std::string> given;
        for (const auto& [on, name] : forms) {
            if (on) given.emplace_back(name);
        }
        // A list of names alone has no room for anything else; the other forms combine.
        if (!(options->namesOnly || options->nullSeparated) || given.size() < 2) return "";
        return given[0] + " and " + given[1] + " exclude each other";
    };
    command.run = [options](const CommandCall& call) {
        options->members.selection.patterns = call.operands;
        return listArchive(call.paths, *options, call.streams);
    };
    return command;
}

}  // namespace unbcl::bcl
