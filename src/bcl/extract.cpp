// bcl extract: writes all members, or the chosen ones, beneath a directory.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <string>
#include <vector>

#include "archive_access.hpp"
#include "commands.hpp"
#include "progress_line.hpp"
#include "unbcl/extract.hpp"

namespace unbcl::bcl {

namespace {

// The entries to extract, in index order: all, or those whose names were asked for.
std::vector<ListMLV> chooseEntries(const EntryList& entries, const std::vector<std::string>& members,
                                   Diagnostics& diagnostics) {
    std::vector<ListMLV> chosen;
    if (members.empty()) {
        chosen.assign(entries.begin(), entries.end());
        return chosen;
    }
    std::map<std::string, bool, std::less<>> wanted;
    for (const std::string& m : members) wanted.emplace(m, false);
    for (const ListMLV& e : entries) {
        if (const auto it = wanted.find(e.fname); it != wanted.end()) {
            chosen.push_back(e);
            it->second = true;
        }
    }
    for (const auto& [name, found] : wanted) {
        if (!found) diagnostics.report(name, "not in the archive");
    }
    return chosen;
}

}  // namespace

int extractArchive(const ArchivePaths& paths, const ExtractOptions& options, const StandardStreams& streams) {
    Diagnostics diagnostics(streams.err, "bcl");
    const UniqueFd directory(::open(options.directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory) {
        diagnostics.report(options.directory, "cannot open directory: " + systemReason(errno));
        return kBclCannotRun;
    }
    const std::optional<LoadedIndex> index = loadIndex(paths.index, diagnostics);
    if (!index) return kBclCannotRun;
    const std::optional<InputFile> data = openOrReport(paths.data, diagnostics);
    if (!data) return kBclCannotRun;

    const std::vector<ListMLV> chosen = chooseEntries(index->entries, options.members, diagnostics);
    std::int64_t totalBytes = 0;
    for (const ListMLV& e : chosen) totalBytes += std::max(e.length, 0);
    ProgressLine progress(streams.err, streams.errIsTerminal, options.progressAfter, chosen.size(), totalBytes);
    diagnostics.setBeforeLine([&progress] { progress.clear(); });

    OutputPolicy policy;
    policy.directoryFd = directory.get();
    policy.stayBeneath = true;
    policy.createDirectories = true;
    policy.keepExisting = options.keepOldFiles;
    MemberExtractor extractor(data->fd.get(), archiveFilesToProtect(index->file.identity, data->identity),
                              diagnostics, policy);
    for (const ListMLV& e : chosen) progress.advance(extractor.extractMember(e));
    progress.clear();
    return exitFor(diagnostics);
}

}  // namespace unbcl::bcl
