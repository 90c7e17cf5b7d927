#include "run.hpp"

#include <charconv>
#include <optional>

#include "console.hpp"
#include "extract.hpp"
#include "file_io.hpp"
#include "index_reader.hpp"
#include "list_entry.hpp"

namespace unbcl {

namespace {

const std::string kDefaultListFname = "MOLVARE.BCL";
const std::string kDefaultDataFname = "MOLVARE.BCD";

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
        entries.push_back(std::move(*entry));
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
    if (code == kExitSuccess && diagnostics.anyReported()) return kExitWithReports;
    return code;
}

}  // namespace

int runUnbcl(std::span<const std::string> args, const RunStreams& streams) {
    const std::string& listFname = args.size() > 0 ? args[0] : kDefaultListFname;
    const std::string& dataFname = args.size() > 1 ? args[1] : kDefaultDataFname;
    Console console(streams.out, streams.outIsTerminal);
    Diagnostics diagnostics(streams.err, "unbcl");

    console.write("listFname : " + listFname + "\n");
    const std::optional<InputFile> index = openInputFile(listFname);
    if (!index) {
        console.write("Can't Open " + listFname + "\n");
        return finish(kExitIndexUnopenable, console, diagnostics);
    }
    const EntryList entries = listIndex(index->fd.get(), listFname, console, diagnostics);

    // Opened only now, so that a missing data file still shows the whole listing first.
    const std::optional<InputFile> data = openInputFile(dataFname);
    if (!data) {
        console.write("Can't Open " + dataFname + "\n");
        return finish(kExitDataUnopenable, console, diagnostics);
    }
    MemberExtractor extractor(data->fd.get(),
                              {{index->identity, "the index file"}, {data->identity, "the data file"}},
                              diagnostics);
    for (const ListMLV& entry : entries) extractor.extractMember(entry);
    return finish(kExitSuccess, console, diagnostics);
}

}  // namespace unbcl
