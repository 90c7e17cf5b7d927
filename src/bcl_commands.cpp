#include "bcl_commands.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string_view>

#include "console.hpp"
#include "extract.hpp"
#include "file_io.hpp"
#include "index_reader.hpp"
#include "list_entry.hpp"
#include "member_name.hpp"

namespace unbcl::bcl {

namespace {

struct LoadedIndex {
    InputFile file;
    EntryList entries;
    bool complete = true;  // false when reading stopped at a malformed or unreadable spot
};

std::optional<InputFile> openOrReport(const std::string& path, Diagnostics& diagnostics) {
    std::optional<InputFile> file = openInputFile(path);
    if (!file) diagnostics.report(path, "cannot open: " + systemReason(errno));
    return file;
}

// Reads the whole index the way unbcl does. A stop is reported; what was read is kept.
std::optional<LoadedIndex> loadIndex(const std::string& path, Diagnostics& diagnostics) {
    std::optional<InputFile> file = openOrReport(path, diagnostics);
    if (!file) return std::nullopt;
    IndexContents contents = readWholeIndex(readFromFd(file->fd.get()));
    LoadedIndex loaded{std::move(*file), std::move(contents.entries), true};
    if (const ReadingStop& stop = contents.stop; isReportedStop(stop.reason)) {
        diagnostics.reportPlain(stopReport(path, stop));
        loaded.complete = false;
    }
    return loaded;
}

std::int64_t fileSize(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 ? static_cast<std::int64_t>(st.st_size) : 0;
}

int exitFor(const Diagnostics& diagnostics) { return diagnostics.anyReported() ? kExitFailed : kExitOk; }

// --- list ---------------------------------------------------------------------------------

// Length of the valid UTF-8 sequence at text[0], or 0 when it is not one.
std::size_t utf8SequenceLength(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    std::uint32_t min = 0;
    std::uint32_t code = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, min = 0x80, code = lead & 0x1Fu;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, min = 0x800, code = lead & 0x0Fu;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, min = 0x10000, code = lead & 0x07u;
    } else {
        return 0;
    }
    if (text.size() < length) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return 0;
        code = (code << 6) | (byte(i) & 0x3Fu);
    }
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    return code < min || code > 0x10FFFF || surrogate ? 0 : length;
}

void appendJsonString(std::string& out, std::string_view text, bool& valid) {
    out += '"';
    while (!text.empty()) {
        const auto c = static_cast<unsigned char>(text.front());
        const std::size_t n = utf8SequenceLength(text);
        if (n == 0) {
            valid = false;
            out += "\\ufffd";
            text.remove_prefix(1);
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            out += "\\u00";
            appendHexByte(out, c);
        } else {
            out.append(text.substr(0, n));
        }
        text.remove_prefix(n);
    }
    out += '"';
}

// A number in a column of 11, wide enough for any signed 32-bit value.
std::string rightAligned(std::int32_t value) {
    std::string digits = std::to_string(value);
    return std::string(digits.size() < 11 ? 11 - digits.size() : 0, ' ') + digits;
}

}  // namespace

std::string jsonNameFields(const std::string& name) {
    std::string out = "\"name\": ";
    bool valid = true;
    appendJsonString(out, name, valid);
    if (!valid) {
        out += ", \"name_hex\": \"";
        for (const char ch : name) appendHexByte(out, static_cast<unsigned char>(ch));
        out += '"';
    }
    return out;
}

int listArchive(const ArchivePaths& paths, bool json, const Streams& streams) {
    Diagnostics diagnostics(streams.err, "bcl");
    const std::optional<LoadedIndex> index = loadIndex(paths.index, diagnostics);
    if (!index) return kExitCannotRun;
    Console console(streams.out, false);
    std::int64_t totalBytes = 0;
    std::string text = json ? "[" : "";
    for (std::size_t i = 0; i < index->entries.size(); ++i) {
        const ListMLV& e = index->entries[i];
        totalBytes += std::max(e.length, 0);
        if (json) {
            text += i == 0 ? "\n  {" : ",\n  {";
            text += jsonNameFields(e.fname) + ", \"offset\": " + std::to_string(e.offset) +
                    ", \"length\": " + std::to_string(e.length) + "}";
        } else {
            text += rightAligned(e.offset) + ' ' + rightAligned(e.length) + "  " + escapeControlBytes(e.fname) + '\n';
        }
        if (text.size() > 60000) {
            console.write(text);
            text.clear();
        }
    }
    if (json) {
        text += index->entries.empty() ? "]\n" : "\n]\n";
    } else {
        text += std::to_string(index->entries.size()) + " members, " + std::to_string(totalBytes) + " bytes\n";
    }
    console.write(text);
    if (console.error() != 0) diagnostics.reportPlain("standard output: " + systemReason(console.error()));
    return exitFor(diagnostics);
}

// --- test ---------------------------------------------------------------------------------

int testArchive(const ArchivePaths& paths, const Streams& streams) {
    Diagnostics diagnostics(streams.err, "bcl");
    const std::optional<LoadedIndex> index = loadIndex(paths.index, diagnostics);
    if (!index) return kExitCannotRun;
    const std::optional<InputFile> data = openOrReport(paths.data, diagnostics);
    if (!data) return kExitCannotRun;
    const std::int64_t dataSize = fileSize(data->fd.get());

    int errors = index->complete ? 0 : 1;
    int warnings = 0;
    const auto error = [&](const std::string& name, const std::string& reason) {
        diagnostics.report(name, reason);
        ++errors;
    };
    std::map<std::string, int> uses;
    for (const ListMLV& e : index->entries) {
        ++uses[e.fname];
        switch (judgeMemberName(e.fname)) {
            case NameVerdict::Absolute: error(e.fname, "unsafe name: absolute"); break;
            case NameVerdict::ParentStep: error(e.fname, "unsafe name: has a '..' component"); break;
            case NameVerdict::Safe:
                if (e.fname.empty()) error(e.fname, "empty name");
                break;
        }
        if (e.length < 0) {
            error(e.fname, "negative length " + std::to_string(e.length));
        } else if (e.offset < 0) {
            error(e.fname, "negative offset " + std::to_string(e.offset));
        } else if (const std::int64_t end = std::int64_t{e.offset} + e.length; end > dataSize) {
            const std::int64_t missing = std::min<std::int64_t>(end - dataSize, e.length);
            error(e.fname, "runs past the end of the data file: " + std::to_string(missing) + " of " +
                               std::to_string(e.length) + " bytes missing");
        }
    }
    for (const auto& [name, count] : uses) {
        if (count < 2) continue;
        diagnostics.note(name, "warning: named " + std::to_string(count) +
                                   " times; extraction keeps the last entry's bytes");
        ++warnings;
    }
    // Overlapping members are legitimate (shared bytes), so they are only noted.
    std::vector<const ListMLV*> byOffset;
    for (const ListMLV& e : index->entries) {
        if (e.offset >= 0 && e.length > 0) byOffset.push_back(&e);
    }
    std::stable_sort(byOffset.begin(), byOffset.end(),
                     [](const ListMLV* a, const ListMLV* b) { return a->offset < b->offset; });
    const ListMLV* reachesFurthest = nullptr;
    for (const ListMLV* e : byOffset) {
        if (reachesFurthest != nullptr && e->offset < std::int64_t{reachesFurthest->offset} + reachesFurthest->length) {
            diagnostics.note(e->fname, "note: overlaps " + escapeControlBytes(reachesFurthest->fname));
        }
        if (reachesFurthest == nullptr ||
            std::int64_t{e->offset} + e->length > std::int64_t{reachesFurthest->offset} + reachesFurthest->length) {
            reachesFurthest = e;
        }
    }
    Console console(streams.out, false);
    console.write(escapeControlBytes(paths.index) + ": " + std::to_string(index->entries.size()) + " entries checked: " +
                  std::to_string(errors) + (errors == 1 ? " error, " : " errors, ") + std::to_string(warnings) +
                  (warnings == 1 ? " warning\n" : " warnings\n"));
    return errors > 0 ? kExitFailed : kExitOk;
}

// --- extract ------------------------------------------------------------------------------

namespace {

// A one-line display of members and bytes done, shown on a terminal once the work has taken
// a while, and cleared at the end.
class ProgressLine {
public:
    ProgressLine(int fd, bool enabled, std::chrono::milliseconds after, std::size_t members, std::int64_t bytes)
        : fd_(fd), enabled_(enabled), after_(after), totalMembers_(members), totalBytes_(bytes),
          start_(std::chrono::steady_clock::now()) {}
    ~ProgressLine() { clear(); }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    void advance(std::int64_t bytes) {
        ++members_;
        bytes_ += bytes;
        if (!enabled_) return;
        const auto now = std::chrono::steady_clock::now();
        if (now - start_ < after_ || now - lastShown_ < std::chrono::milliseconds(200)) return;
        lastShown_ = now;
        const std::string line = "\r\x1b[Kbcl: " + std::to_string(members_) + " of " + std::to_string(totalMembers_) +
                                 " members, " + std::to_string(bytes_ >> 20) + " of " +
                                 std::to_string(totalBytes_ >> 20) + " MiB";
        (void)writeAll(fd_, line);
        shown_ = true;
    }

    void clear() {
        if (!shown_) return;
        (void)writeAll(fd_, "\r\x1b[K");
        shown_ = false;
    }

private:
    int fd_;
    bool enabled_;
    std::chrono::milliseconds after_;
    std::size_t totalMembers_;
    std::int64_t totalBytes_;
    std::size_t members_ = 0;
    std::int64_t bytes_ = 0;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastShown_{};
    bool shown_ = false;
};

// The entries to extract, in index order: all, or those whose names were asked for.
std::vector<const ListMLV*> chooseEntries(const EntryList& entries, const std::vector<std::string>& members,
                                          Diagnostics& diagnostics) {
    std::vector<const ListMLV*> chosen;
    if (members.empty()) {
        for (const ListMLV& e : entries) chosen.push_back(&e);
        return chosen;
    }
    std::map<std::string, bool> wanted;
    for (const std::string& m : members) wanted.emplace(m, false);
    for (const ListMLV& e : entries) {
        if (const auto it = wanted.find(e.fname); it != wanted.end()) {
            chosen.push_back(&e);
            it->second = true;
        }
    }
    for (const auto& [name, found] : wanted) {
        if (!found) diagnostics.report(name, "not in the archive");
    }
    return chosen;
}

}  // namespace

int extractArchive(const ArchivePaths& paths, const ExtractOptions& options, const Streams& streams) {
    Diagnostics diagnostics(streams.err, "bcl");
    const UniqueFd directory(::open(options.directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory) {
        diagnostics.report(options.directory, "cannot open directory: " + systemReason(errno));
        return kExitCannotRun;
    }
    const std::optional<LoadedIndex> index = loadIndex(paths.index, diagnostics);
    if (!index) return kExitCannotRun;
    const std::optional<InputFile> data = openOrReport(paths.data, diagnostics);
    if (!data) return kExitCannotRun;

    const std::vector<const ListMLV*> chosen = chooseEntries(index->entries, options.members, diagnostics);
    std::int64_t totalBytes = 0;
    for (const ListMLV* e : chosen) totalBytes += std::max(e->length, 0);
    ProgressLine progress(streams.err, streams.errIsTerminal, streams.progressAfter, chosen.size(), totalBytes);
    diagnostics.setBeforeLine([&progress] { progress.clear(); });

    OutputPolicy policy;
    policy.directoryFd = directory.get();
    policy.stayBeneath = true;
    policy.createDirectories = true;
    policy.keepExisting = options.keepOldFiles;
    MemberExtractor extractor(data->fd.get(),
                              {{index->file.identity, "the index file"}, {data->identity, "the data file"}},
                              diagnostics, policy);
    for (const ListMLV* e : chosen) progress.advance(extractor.extractMember(*e));
    progress.clear();
    return exitFor(diagnostics);
}

// --- cat ----------------------------------------------------------------------------------

int catMembers(const ArchivePaths& paths, const std::vector<std::string>& members, const Streams& streams) {
    Diagnostics diagnostics(streams.err, "bcl");
    const std::optional<LoadedIndex> index = loadIndex(paths.index, diagnostics);
    if (!index) return kExitCannotRun;
    const std::optional<InputFile> data = openOrReport(paths.data, diagnostics);
    if (!data) return kExitCannotRun;
    MemberCopier copier;
    for (const std::string& name : members) {
        // The last entry of a name is the one extraction leaves behind.
        const auto it = std::find_if(index->entries.rbegin(), index->entries.rend(),
                                     [&](const ListMLV& e) { return e.fname == name; });
        if (it == index->entries.rend()) {
            diagnostics.report(name, "not in the archive");
            continue;
        }
        if (it->length < 0) {
            diagnostics.report(name, "negative length " + std::to_string(it->length));
            continue;
        }
        const CopyOutcome outcome = copier.copy(data->fd.get(), it->offset, it->length, streams.out);
        reportCopyOutcome(diagnostics, *it, outcome, 0);
    }
    return exitFor(diagnostics);
}

}  // namespace unbcl::bcl
