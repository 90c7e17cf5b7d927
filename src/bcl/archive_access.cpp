// SPDX-License-Identifier: MIT
#include "archive_access.hpp"

#include "commands.hpp"
#include "unbcl/extract.hpp"
#include "unbcl/index_reader.hpp"

namespace unbcl::bcl {

std::optional<InputFile> openOrReport(const std::string& path, Diagnostics& diagnostics) {
    SysResult<InputFile> file = openInputFile(path);
    if (!file) {
        diagnostics.report(path, "cannot open: " + systemReason(file.error()));
        return std::nullopt;
    }
    return std::move(*file);
}

std::optional<InputFile> openDataOrReport(const std::string& path, Diagnostics& diagnostics) {
    SysResult<InputFile> file = openDataFile(path);
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

std::optional<LoadedIndex> loadIndex(const std::string& path, Diagnostics& diagnostics) {
    std::optional<InputFile> file = openOrReport(path, diagnostics);
    if (!file) return std::nullopt;
    IndexContents contents = readWholeIndex(readFromFd(file->fd.get()));
    LoadedIndex loaded{std::move(*file), std::move(contents.header1), std::move(contents.header2),
                       std::move(contents.entries), true};
    if (const ReadingStop& stop = contents.stop; isReportedStop(stop.reason)) {
        diagnostics.reportPlain(stopReport(path, stop));
        loaded.complete = false;
    }
    return loaded;
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

std::optional<ArchiveForReading> openArchiveForReading(const ArchivePaths& paths, const NameOptions& names,
                                                       bool needData, const StandardStreams& streams,
                                                       Diagnostics& diagnostics) {
    if (standardOutputIsArchive(paths.index, paths.data, streams, diagnostics)) return std::nullopt;
    std::optional<MemberNames> reader = MemberNames::make(names, diagnostics);
    if (!reader) return std::nullopt;
    std::optional<LoadedIndex> index = loadIndex(paths.index, diagnostics);
    if (!index) return std::nullopt;
    std::optional<InputFile> data;
    if (needData) {
        data = openDataOrReport(paths.data, diagnostics);
        if (!data) return std::nullopt;
    }
    return ArchiveForReading{std::move(*reader), std::move(*index), std::move(data)};
}

int exitFor(const Diagnostics& diagnostics) { return diagnostics.anyReported() ? kBclFailed : kBclOk; }

}  // namespace unbcl::bcl
