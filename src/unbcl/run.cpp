// SPDX-License-Identifier: MIT
#include "run.hpp"

#include <charconv>

#include "unbcl/archive_names.hpp"
#include "unbcl/archive_open.hpp"
#include "unbcl/console.hpp"
#include "unbcl/extract.hpp"
#include "unbcl/file_io.hpp"
#include "unbcl/index_reader.hpp"
#include "unbcl/list_entry.hpp"

namespace unbcl {

namespace {

void appendDecimal(std::string& out, std::int32_t value) {
    char digits[16];
    const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, end);
}

void echoHeaderLine(Console& console, const std::string& text) {
    std::string line;
    console.appendShown(line, text);
    line += '\n';
    console.write(line);
}

// A record's three lines are complete together, so they go out in one write.
void echoRecord(Console& console, const ListMLV& entry, std::string& scratch) {
    scratch.clear();
    scratch += "fname : ";
    console.appendShown(scratch, entry.fname);
    scratch += "\noffset : ";
    appendDecimal(scratch, entry.offset);
    scratch += "\nlength : ";
    appendDecimal(scratch, entry.length);
    scratch += '\n';
    console.write(scratch);
}

EntryList listIndex(int indexFd, const std::string& listFname, Console& console, Diagnostics& diagnostics) {
    IndexReader reader(readFromFd(indexFd));
    echoHeaderLine(console, reader.readHeaderLine());
    echoHeaderLine(console, reader.readHeaderLine());
    EntryList entries;
    std::string scratch;
    while (auto entry = reader.nextEntry()) {
        echoRecord(console, *entry, scratch);
        entries.push_back(*entry);
    }
    if (const ReadingStop& stop = reader.stop(); isReportedStop(stop.reason)) {
        diagnostics.reportPlain(stopReport(listFname, stop));
    }
    return entries;
}

// A listing lost to a full disk or a closed pipe is a failure too, reported once at the end.
int finish(int code, const Console& console, Diagnostics& diagnostics) {
    if (console.error() != 0) {
        diagnostics.reportPlain("standard output: " + systemReason(console.error()));
    }
    if (code == kUnbclSuccess && diagnostics.anyReported()) return kUnbclWithReports;
    return code;
}

// A line that names a file the user gave, shown as archive text is on a terminal: a script may
// pass names it took from an archive.
void writeNameLine(Console& console, std::string_view label, const std::string& name) {
    std::string line(label);
    console.appendShown(line, name);
    line += '\n';
    console.write(line);
}

}  // namespace

int runUnbcl(std::span<const std::string> args, const StandardStreams& streams) {
    const std::string listFname = args.size() > 0 ? args[0] : std::string(kDefaultListFname);
    const std::string dataFname = args.size() > 1 ? args[1] : std::string(kDefaultDataFname);
    Console console(streams.out, streams.outIsTerminal);
    Diagnostics diagnostics(streams.err, "unbcl");
    // Checked before the first line: "unbcl >> MOLVARE.BCD" would write the listing into the
    // archive itself.
    if (const std::optional<std::string_view> which = archiveFileAtFd(streams.out, listFname, dataFname)) {
        diagnostics.reportPlain("standard output: refused: it is " + std::string(*which) + "; nothing is listed");
        console.discard();
    }

    writeNameLine(console, "listFname : ", listFname);
    // Both files are opened now, together, so that a commit by bcl cannot come between them; a
    // missing data file is still told after the whole listing, where it always was.
    ArchiveFiles files = openArchiveFiles({listFname, dataFname}, true);
    diagnostics.reportAll(files.repair);
    if (!files.index) {
        writeNameLine(console, "Can't Open ", listFname);
        return finish(kUnbclIndexUnopenable, console, diagnostics);
    }
    const InputFile index = std::move(*files.index);
    const EntryList entries = listIndex(index.fd.get(), listFname, console, diagnostics);
    const SysResult<InputFile>& data = *files.data;
    if (!data) {
        writeNameLine(console, "Can't Open ", dataFname);
        return finish(kUnbclDataUnopenable, console, diagnostics);
    }
    InPlaceExtractor extractor(data->fd.get(), archiveFilesToProtect(index.identity, data->identity));
    for (const ListMLV& entry : entries) diagnostics.reportAll(extractor.extractMember(entry).problems);
    return finish(kUnbclSuccess, console, diagnostics);
}

}  // namespace unbcl
