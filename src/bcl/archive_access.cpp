// SPDX-License-Identifier: MIT
#include "archive_access.hpp"

#include <cerrno>

#include "commands.hpp"
#include "unbcl/extract.hpp"

namespace unbcl::bcl {

std::optional<InputFile> openOrReport(const std::string& path, Diagnostics& diagnostics) {
    SysResult<InputFile> file = openInputFile(path);
    if (!file) {
        diagnostics.report(path, "cannot open: " + systemReason(file.error()));
        return std::nullopt;
    }
    return std::move(*file);
}

namespace {

std::optional<InputFile> checkedDataFile(SysResult<InputFile> file, const std::string& path, Diagnostics& diagnostics) {
    if (!file) {
        diagnostics.report(path, "cannot open: " + systemReason(file.error()));
        return std::nullopt;
    }
    if (!readableAtOffsets(file->mode)) {
        diagnostics.report(path, "cannot open: not a regular file (" + describeFileType(file->mode) + ")");
        return std::nullopt;
    }
    return std::move(*file);
}

LoadedIndex readIndexReporting(InputFile file, const std::string& path, Diagnostics& diagnostics) {
    Problems problems;
    LoadedIndex loaded = readWholeIndexFile(std::move(file), path, problems);
    diagnostics.reportAll(problems);
    return loaded;
}

}  // namespace

std::optional<InputFile> openDataOrReport(const std::string& path, Diagnostics& diagnostics) {
    return checkedDataFile(openDataFile(path), path, diagnostics);
}

std::optional<LoadedIndex> loadIndex(const std::string& path, Diagnostics& diagnostics) {
    std::optional<InputFile> file = openOrReport(path, diagnostics);
    if (!file) return std::nullopt;
    return readIndexReporting(std::move(*file), path, diagnostics);
}

std::vector<NamedEntry> selectEntries(const EntryList& entries, MemberNames& names, MemberSelection& selection,
                                      Diagnostics& diagnostics) {
    std::vector<NamedEntry> chosen;
    for (const ListMLV& e : entries) {
        std::optional<std::string> path = names.pathOf(e.fname, diagnostics);
        if (path && selection.selects(*path)) chosen.push_back({e, std::move(*path)});
    }
    selection.reportPatternsNotFound(diagnostics);
    return chosen;
}

bool standardOutputIsArchive(const std::string& index, const std::string& data, const StandardStreams& streams,
                             Diagnostics& diagnostics) {
    const std::optional<std::string_view> which = archiveFileAtFd(streams.out, index, data);
    if (which) diagnostics.reportPlain("standard output: refused: it is " + std::string(*which));
    return which.has_value();
}

bool standardOutputWasClosed(const StandardStreams& streams, Diagnostics& diagnostics) {
    if (streams.outClosedAtStart) diagnostics.reportPlain("standard output: " + systemReason(EBADF));
    return streams.outClosedAtStart;
}

std::optional<ArchiveForReading> openArchiveForReading(const ArchivePaths& paths, const NameOptions& names,
                                                       bool needData, const StandardStreams& streams,
                                                       Diagnostics& diagnostics) {
    if (standardOutputWasClosed(streams, diagnostics)) return std::nullopt;
    if (standardOutputIsArchive(paths.index, paths.data, streams, diagnostics)) return std::nullopt;
    std::optional<MemberNames> reader = MemberNames::make(names, diagnostics);
    if (!reader) return std::nullopt;
    ArchiveFiles files = openArchiveFiles(paths, needData);
    diagnostics.reportAll(files.repair);
    if (files.repair.anyError()) return std::nullopt;
    if (!files.index) {
        diagnostics.report(paths.index, "cannot open: " + systemReason(files.index.error()));
        return std::nullopt;
    }
    // Both files are open already; the index is read first so that its reports come first.
    LoadedIndex index = readIndexReporting(std::move(*files.index), paths.index, diagnostics);
    std::optional<InputFile> data;
    if (needData) {
        data = checkedDataFile(std::move(*files.data), paths.data, diagnostics);
        if (!data) return std::nullopt;
    }
    return ArchiveForReading{std::move(*reader), std::move(index), std::move(data), files.repaired};
}

int exitFor(const Diagnostics& diagnostics) { return diagnostics.anyReported() ? kBclFailed : kBclOk; }

}  // namespace unbcl::bcl
