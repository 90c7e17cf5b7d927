// SPDX-License-Identifier: MIT
// bcl extract: writes all members, or the chosen ones, beneath a directory.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "archive_access.hpp"
#include "commands.hpp"
#include "parallel_extract.hpp"
#include "progress_line.hpp"
#include "unbcl/extract.hpp"

namespace unbcl::bcl {

namespace {

std::string lastComponent(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Where each chosen member goes: its path, lower-cased or cut to its last component when
// asked. A name is judged before it is cut, so an unsafe one is refused either way, and
// members that flatten onto one name are warned about (the later entry wins, as duplicates do).
std::vector<NamedEntry> outputNames(std::vector<NamedEntry> chosen, const ExtractOptions& options, NameStyle style,
                                    Diagnostics& diagnostics) {
    std::vector<NamedEntry> outputs;
    std::map<std::string, std::string> flattenedFrom;
    for (NamedEntry& e : chosen) {
        if (!e.path.empty() && !endsInAFileName(e.path)) {
            diagnostics.report(e.path, "refused: the name ends in a directory, not a file");
            continue;
        }
        if (const auto tooLong = pathComponentProblem(e.path)) {
            diagnostics.report(e.path, "refused: " + *tooLong);
            continue;
        }
        if (options.lowercase) e.path = asciiLowercase(e.path);
        if (options.flatten) {
            if (const NameVerdict verdict = judgeMemberName(e.path, style); verdict != NameVerdict::Safe) {
                diagnostics.report(e.path, "refused: " + std::string(describeNameVerdict(verdict)));
                continue;
            }
            std::string flat = lastComponent(e.path);
            const auto [it, isNew] = flattenedFrom.emplace(flat, e.path);
            if (!isNew && it->second != e.path) {
                diagnostics.note(e.path, "warning: flattened onto " + escapeControlBytes(flat) + " as " +
                                             escapeControlBytes(it->second) + " was; the later entry wins");
                it->second = e.path;
            }
            e.path = std::move(flat);
        }
        outputs.push_back(std::move(e));
    }
    return outputs;
}

UniqueFd openExtractionDirectory(const std::string& directory, Diagnostics& diagnostics) {
    std::error_code ec;
    std::filesystem::create_directories(directory, ec);
    UniqueFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd) return fd;
    // The open's own reason says more (a dangling link, not a directory) than "File exists".
    const int openErr = errno;
    diagnostics.report(directory,
                       "cannot open directory: " + systemReason(ec && ec.value() != EEXIST ? ec.value() : openErr));
    return fd;
}

bool showProgress(const ExtractOptions& options, const StandardStreams& streams) {
    switch (options.progress) {
        case ProgressMode::Always: return true;
        case ProgressMode::Never: return false;
        case ProgressMode::OnTerminal: break;
    }
    return streams.errIsTerminal;
}

}  // namespace

int extractArchive(const ArchivePaths& paths, const ExtractOptions& options, const StandardStreams& streams) {
    Diagnostics diagnostics(streams.err, "bcl");
    std::optional<ArchiveForReading> archive =
        openArchiveForReading(paths, options.members.names, true, streams, diagnostics);
    if (!archive) return kBclCannotRun;
    const LoadedIndex& index = archive->index;
    const InputFile& data = *archive->data;
    MemberNames& names = archive->names;
    const UniqueFd directory = openExtractionDirectory(options.directory, diagnostics);
    if (!directory) return kBclCannotRun;

    MemberSelection selection(options.members.selectionAsRead());
    const std::vector<NamedEntry> chosen = outputNames(
        selectEntries(index.entries, names, selection, diagnostics), options, names.style(), diagnostics);
    std::int64_t totalBytes = 0;
    for (const NamedEntry& e : chosen) totalBytes += std::max(e.entry.length, 0);
    ProgressLine progress(streams.err, showProgress(options, streams),
                          options.progress == ProgressMode::Always ? std::chrono::milliseconds(0) : options.progressAfter,
                          chosen.size(), totalBytes);
    diagnostics.setBeforeLine([&progress] { progress.clear(); });

    // Ctrl-C and kill wait for a safe point, between members or every 64 MiB of one, so that
    // no member is left half-made and no hidden file behind; the signal then ends the run as
    // it would have. Threads started from here inherit the held signals.
    const HeldSignals held;
    BeneathPolicy policy;
    policy.directoryFd = directory.get();
    policy.keepExisting = options.keepOldFiles;
    policy.stopOnSignal = &held;
    policy.nameStyle = names.style();
    const ExtractorSetup setup{data.fd.get(), archiveFilesToProtect(index.file.identity, data.identity), policy};
    Console console(streams.out, false);
    const auto showExtracted = [&](const NamedEntry& e, const ExtractedMember& done) {
        diagnostics.reportAll(done.problems);
        if (done.interrupted) return;
        // Named only when it came out whole: a short or failed write is no member written.
        if (done.whole && options.verbose) {
            progress.clear();
            console.write(escapeControlBytes(e.path) + "\n");
        }
        progress.advance(done.copied);
    };
    // One thread would not have written these: the signal came while it was still at an earlier
    // member. Their names changed all the same, and the user is told which.
    const auto showWrittenAfterInterrupt = [&](const NamedEntry& e, const ExtractedMember& done) {
        diagnostics.reportAll(done.problems);
        diagnostics.note(e.path, "written before the interrupt");
    };
    if (options.jobs > 1) {
        extractWithThreads(chosen, setup, options.jobs, showExtracted, showWrittenAfterInterrupt);
    } else {
        BeneathExtractor extractor(setup.dataFd, setup.protectedFiles, setup.policy);
        for (const NamedEntry& e : chosen) {
            if (held.pending()) break;
            showExtracted(e, extractor.extractMember({e.path, e.entry.offset, e.entry.length}));
        }
    }
    progress.clear();
    // What remains is cut short by the pending signal, once held goes.
    if (held.pending()) return kBclFailed;
    if (console.error() != 0) diagnostics.reportPlain("standard output: " + systemReason(console.error()));
    return exitFor(diagnostics);
}

}  // namespace unbcl::bcl

namespace unbcl::bcl {

namespace {

struct ExtractCommandLine {
    ExtractOptions options;
    bool progressOn = false;
    bool progressOff = false;
};

ValueProblem takeJobs(const std::string& value, unsigned& jobs) {
    const std::optional<unsigned> n = decimalNumber<unsigned>(value);
    if (!n || *n < 1 || *n > kMaxExtractJobs) {
        return value + " is not a number from 1 to " + std::to_string(kMaxExtractJobs);
    }
    jobs = *n;
    return std::nullopt;
}

}  // namespace

Command extractCommand() {
    const auto line = std::make_shared<ExtractCommandLine>();
    ExtractOptions& options = line->options;
    options.jobs = defaultExtractJobs();
    Command command;
    command.name = "extract";
    command.summary = "Extract all members, or the chosen ones, creating directories as needed.";
    addMemberOptions(command, partOf(line, options.members));
    CommandOption directory = textOption("-C,--directory", "DIR", "extract into DIR, made when missing",
                                      partOf(line, options.directory));
    directory.shownDefault = options.directory;
    command.options.push_back(std::move(directory));
    command.options.push_back(
        flagOption("-k,--keep-old-files", "leave existing files alone", partOf(line, options.keepOldFiles)));
    command.options.push_back(
        flagOption("-v,--verbose", "print each member's name as it is written", partOf(line, options.verbose)));
    command.options.push_back(flagOption("--flatten,--junk-paths", "keep only the last component of each name",
                                      partOf(line, options.flatten)));
    command.options.push_back(
        flagOption("-L,--lowercase", "write names in lower case (ASCII letters)", partOf(line, options.lowercase)));
    command.options.push_back(valueOption("-j,--jobs", "N",
                                       "write members with N threads, 1 to 256 (default: the processors, up to 8); "
                                       "what is written and reported stays as with one",
                                       [line](const std::string& value) { return takeJobs(value, line->options.jobs); }));
    command.options.push_back(flagOption("--progress", "show the progress line even when not on a terminal",
                                      partOf(line, line->progressOn)));
    command.options.push_back(flagOption("--no-progress", "never show the progress line", partOf(line, line->progressOff)));
    command.misuse = [line](const std::vector<std::string>&) -> std::string {
        return line->progressOn && line->progressOff ? "--progress and --no-progress exclude each other" : "";
    };
    command.run = [line](const CommandCall& call) {
        ExtractOptions& o = line->options;
        o.members.selection.patterns = call.operands;
        o.progress = line->progressOn    ? ProgressMode::Always
                     : line->progressOff ? ProgressMode::Never
                                         : ProgressMode::OnTerminal;
        return extractArchive(call.paths, o, call.streams);
    };
    return command;
}

}  // namespace unbcl::bcl
