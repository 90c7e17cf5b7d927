// SPDX-License-Identifier: MIT
// bcl: lists, tests, extracts, prints and creates index and data file archives. This file only
// reads the command line and hands it to the command's own file.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <new>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "commands.hpp"
#include "member_hash.hpp"
#include "unbcl/console.hpp"
#include "unbcl/file_io.hpp"

namespace {

using namespace unbcl::bcl;

constexpr const char* kExitStatusText =
    "Exit status: 0 success; 1 some member or check failed (each is reported on standard error);\n"
    "2 the command could not run (bad usage, an archive file that cannot be opened).";

constexpr const char* kArchiveOperandText =
    "The first operand names the archive when it ends in .BCL (any case): its data file is the same\n"
    "path with the last letter L turned into D in the same case (GAME.BCL, GAME.BCD). -i and -d name\n"
    "the files instead; after -i, -d or --, every operand is a member or a file.";

const std::vector<std::string> kCommands{"list",   "test",   "extract", "cat",   "create", "update",
                                          "append", "delete", "rename",  "mount", "umount"};

// Writes what the option parser has to say (help, version, a usage error) with checked writes,
// so that text lost to a full disk is reported with its real cause.
int writeParserOutput(const std::string& out, const std::string& err, int code) {
    (void)unbcl::writeAll(STDERR_FILENO, err);
    if (const int writeErr = unbcl::writeAll(STDOUT_FILENO, out); writeErr != 0) {
        unbcl::Diagnostics(STDERR_FILENO, "bcl").reportPlain("standard output: " + unbcl::systemReason(writeErr));
        return code == kBclOk ? kBclFailed : code;
    }
    return code;
}

int finishParse(const CLI::App& app, const CLI::ParseError& error) {
    std::ostringstream out;
    std::ostringstream err;
    const int code = app.exit(error, out, err) == 0 ? kBclOk : kBclCannotRun;
    return writeParserOutput(out.str(), err.str(), code);
}

std::string commandList() {
    std::string list;
    for (const std::string& c : kCommands) list += (list.empty() ? "" : ", ") + c;
    return list;
}

int usageError(const std::string& message) {
    return writeParserOutput({}, "bcl: " + message + "\ncommands: " + commandList() +
                                     "\nTry 'bcl --help' for more information.\n",
                             kBclCannotRun);
}

// The command word: the first argument that is neither an option nor the value of -i or -d.
std::optional<std::size_t> findCommand(const std::vector<std::string>& args) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "-i" || a == "-d" || a == "--index" || a == "--data") {
            ++i;
        } else if (a == "--") {
            return std::nullopt;
        } else if (a.empty() || a.front() != '-') {
            return i;
        }
    }
    return std::nullopt;
}

bool endsWithBcl(const std::string& name) {
    if (name.size() < 4) return false;
    const std::string tail = name.substr(name.size() - 4);
    return tail == ".BCL" || tail == ".bcl" || tail == ".Bcl" || tail == ".bCl" || tail == ".bcL" ||
           tail == ".BCl" || tail == ".BcL" || tail == ".bCL";
}

// GAME.BCL gives GAME.BCD, game.bcl gives game.bcd: the last letter, in its own case.
std::string dataFileFor(const std::string& index) {
    std::string data = index;
    data.back() = data.back() == 'L' ? 'D' : 'd';
    return data;
}

// Takes the first operand as the archive when it ends in .BCL and nothing else named it.
void takeArchiveOperand(ArchivePaths& paths, std::vector<std::string>& operands, bool pathsGiven,
                        bool firstOperandAfterDashes) {
    if (pathsGiven || firstOperandAfterDashes || operands.empty() || !endsWithBcl(operands.front())) return;
    paths.index = operands.front();
    paths.data = dataFileFor(paths.index);
    operands.erase(operands.begin());
}

void addMemberOptions(CLI::App* command, MemberOptions& options) {
    command->add_flag("-I,--ignore-case", options.selection.ignoreCase, "match patterns without regard to case");
    command->add_option("-x,--exclude", options.selection.excludes, "leave out members that PATTERN selects (repeatable)")
        ->type_name("PATTERN")
        ->allow_extra_args(false);
    command->add_flag("--literal-names", options.names.literalNames,
                      "keep a backslash in a name as part of it, not as a directory separator");
    command->add_option("--charset", options.names.charset,
                        "names are in code page NAME (CP437, CP850, CP932, ...): shown and written as UTF-8")
        ->type_name("NAME");
}

void addFileOptions(CLI::App* command, AddOptions& options) {
    command->add_option("-C,--directory", options.inputs.directory, "name files relative to DIR, and find them there")
        ->type_name("DIR");
    command->add_option("-T,--files-from", options.inputs.filesFrom,
                        "read more paths from FILE, one a line (- for standard input)")
        ->type_name("FILE");
    command->add_flag("--null", options.inputs.nullSeparated, "paths read with -T end with NUL, not a line feed");
    command->add_flag("--dereference", options.inputs.dereference, "follow symbolic links instead of refusing them");
    command->add_flag("--allow-duplicates", options.allowDuplicates, "accept a name given twice");
    command->add_flag("--literal-names", options.literalNames,
                      "accept names with a backslash or a drive letter, which bcl reads as paths");
    command->add_option("--charset", options.charset, "write names in code page NAME; a name it cannot hold is refused")
        ->type_name("NAME");
    command->add_option("--align", options.align, "start each member at a multiple of N, a power of two")
        ->type_name("N");
    command->add_flag("-v,--verbose", options.verbose, "name each file as it is added");
}

int runBcl(std::vector<std::string> args, bool outClosedAtStart) {
    const std::optional<std::size_t> commandAt = findCommand(args);
    const bool wantsHelpOrVersion = std::any_of(args.begin(), args.end(), [](const std::string& a) {
        return a == "-h" || a == "--help" || a == "--version";
    });
    if (!commandAt && !wantsHelpOrVersion) return usageError("a command is required");
    std::vector<std::string> afterDashes;
    if (commandAt) {
        const std::string& word = args[*commandAt];
        if (word == "help") {
            // "bcl help" and "bcl help COMMAND" are --help in other words.
            std::vector<std::string> rest(args.begin() + static_cast<std::ptrdiff_t>(*commandAt) + 1, args.end());
            args = rest.empty() ? std::vector<std::string>{"--help"} : std::vector<std::string>{rest.front(), "--help"};
            if (!rest.empty() && std::find(kCommands.begin(), kCommands.end(), rest.front()) == kCommands.end()) {
                return usageError("unknown command '" + rest.front() + "'");
            }
        } else if (std::find(kCommands.begin(), kCommands.end(), word) == kCommands.end()) {
            return usageError("unknown command '" + word + "'");
        } else if (const auto dashes = std::find(args.begin() + static_cast<std::ptrdiff_t>(*commandAt), args.end(), "--");
                   dashes != args.end()) {
            // Everything after "--" is an operand, whatever it looks like.
            afterDashes.assign(dashes + 1, args.end());
            args.erase(dashes, args.end());
        }
    }

    CLI::App app{"Lists, tests, extracts, prints and creates index and data file archives.", "bcl"};
    app.set_version_flag("--version", "bcl " UNBCL_VERSION);
    app.require_subcommand(1);
    app.fallthrough();
    app.failure_message([](const CLI::App*, const CLI::Error& e) {
        return std::string("bcl: ") + e.what() + "\nTry 'bcl --help' for more information.\n";
    });

    ArchivePaths paths;
    CLI::Option* indexOption = app.add_option("-i,--index", paths.index, "the index file")
                                   ->type_name("FILE")
                                   ->capture_default_str();
    CLI::Option* dataOption =
        app.add_option("-d,--data", paths.data, "the data file")->type_name("FILE")->capture_default_str();

    std::vector<std::string> operands;

    ListOptions listOptions;
    std::vector<std::string> hashNames;
    CLI::App* list = app.add_subcommand("list", "List the members: offset, length and name, then a total.");
    addMemberOptions(list, listOptions.members);
    list->add_flag("--json", listOptions.json, "one JSON object: header lines, members, count and total");
    list->add_flag("-l,--long", listOptions.showHeader, "show the index's two header lines first");
    list->add_option("--hash", hashNames, "add each member's checksum: crc32, md5, sha1 or sha256 (repeatable)")
        ->type_name("ALG")
        ->delimiter(',')
        ->allow_extra_args(false)
        ->check(CLI::IsMember({"crc32", "md5", "sha1", "sha256"}));

    TestOptions testOptions;
    CLI::App* test = app.add_subcommand("test", "Check the members against the data file, writing nothing.");
    addMemberOptions(test, testOptions.members);

    ExtractOptions extract;
    bool progressOn = false;
    bool progressOff = false;
    CLI::App* extractCommand =
        app.add_subcommand("extract", "Extract all members, or the chosen ones, creating directories as needed.");
    addMemberOptions(extractCommand, extract.members);
    extractCommand->add_option("-C,--directory", extract.directory, "extract into DIR, made when missing")
        ->type_name("DIR")
        ->capture_default_str();
    extractCommand->add_flag("-k,--keep-old-files", extract.keepOldFiles, "leave existing files alone");
    extractCommand->add_flag("-v,--verbose", extract.verbose, "print each member's name as it is written");
    extractCommand->add_flag("--flatten,--junk-paths", extract.flatten, "keep only the last component of each name");
    extractCommand->add_flag("-L,--lowercase", extract.lowercase, "write names in lower case (ASCII letters)");
    // As many workers as the machine has processors, up to 8: beyond that, creating files in
    // the same directories gains little.
    extract.jobs = static_cast<unsigned>(std::clamp(::sysconf(_SC_NPROCESSORS_ONLN), 1L, 8L));
    extractCommand->add_option("-j,--jobs", extract.jobs,
                               "write members with N threads (default: the processors, up to 8); "
                               "what is written and reported stays as with one")
        ->type_name("N")
        ->capture_default_str()
        ->check(CLI::Range(1u, kMaxExtractJobs));
    CLI::Option* progressOnOption =
        extractCommand->add_flag("--progress", progressOn, "show the progress line even when not on a terminal");
    extractCommand->add_flag("--no-progress", progressOff, "never show the progress line")->excludes(progressOnOption);

    CatOptions catOptions;
    CLI::App* cat = app.add_subcommand("cat", "Write the chosen members' bytes to standard output, operand by operand.");
    addMemberOptions(cat, catOptions.members);

    CreateOptions create;
    CLI::App* createCommand = app.add_subcommand(
        "create", "Write a new archive holding the files, and the files beneath directories, in the order given.");
    createCommand->add_option("-H,--header", create.headers, "a header line (up to twice)")
        ->type_name("TEXT")
        ->allow_extra_args(false);
    addFileOptions(createCommand, create.add);

    AddOptions update;
    CLI::App* updateCommand = app.add_subcommand(
        "update", "Replace the members the files name, in their places, and add the other files at the end.");
    addFileOptions(updateCommand, update);

    AddOptions append;
    CLI::App* appendCommand = app.add_subcommand(
        "append", "Add the files as new members at the end of the data file, in place, then replace the index.");
    addFileOptions(appendCommand, append);

    MemberOptions deletion;
    CLI::App* deleteCommand =
        app.add_subcommand("delete", "Remove the chosen members; the data file keeps no dead bytes.");
    addMemberOptions(deleteCommand, deletion);

    RenameOptions rename;
    CLI::App* renameCommand = app.add_subcommand("rename", "Give member OLD the name NEW; only the index changes.");
    renameCommand->add_flag("--literal-names", rename.members.names.literalNames,
                            "keep a backslash in a name as part of it, not as a directory separator");
    renameCommand->add_option("--charset", rename.members.names.charset, "names are in code page NAME")
        ->type_name("NAME");

    for (CLI::App* command : {list, test, extractCommand, cat, deleteCommand}) {
        command->add_option("pattern", operands, "[ARCHIVE] members to work on: shell patterns, exact names, directories")
            ->type_name("PATTERN");
    }
    for (CLI::App* command : {createCommand, updateCommand, appendCommand}) {
        command->add_option("path", operands, "[ARCHIVE] files and directories to put in the archive")->type_name("PATH");
    }
    renameCommand->add_option("name", operands, "[ARCHIVE] OLD NEW")->type_name("NAME");
    MountOptions mountOptions;
    CLI::App* mountCommand = app.add_subcommand(
        "mount", "Mount the archive read-only at MOUNTPOINT; returns once it is usable, serving in the background.");
    mountCommand->add_flag("-f,--foreground", mountOptions.foreground, "serve in the foreground until unmounted");
    mountCommand->add_option("-o", mountOptions.fuseOptions, "a FUSE mount option, e.g. allow_other (repeatable)")
        ->type_name("OPTION")
        ->allow_extra_args(false);
    mountCommand->add_flag("--literal-names", mountOptions.names.literalNames,
                           "keep a backslash in a name as part of it, not as a directory separator");
    mountCommand->add_option("--charset", mountOptions.names.charset,
                             "names are in code page NAME (CP437, CP932, ...): shown as UTF-8")
        ->type_name("NAME");
    mountCommand->add_option("mountpoint", operands, "[ARCHIVE] MOUNTPOINT, an existing directory")
        ->type_name("DIR");

    std::string unmountPoint;
    CLI::App* umountCommand = app.add_subcommand("umount", "Unmount what bcl mount mounted at MOUNTPOINT.");
    umountCommand->add_option("mountpoint", unmountPoint, "where the archive is mounted")->type_name("DIR")->required();
    for (CLI::App* command : app.get_subcommands({})) command->footer(std::string(kArchiveOperandText) + "\n");
    app.footer(std::string(kArchiveOperandText) + "\n\n" + kExitStatusText);

    try {
        std::reverse(args.begin(), args.end());
        app.parse(args);
    } catch (const CLI::ParseError& e) {
        return finishParse(app, e);
    }

    const bool firstOperandAfterDashes = operands.empty() && !afterDashes.empty();
    operands.insert(operands.end(), afterDashes.begin(), afterDashes.end());
    takeArchiveOperand(paths, operands, indexOption->count() > 0 || dataOption->count() > 0, firstOperandAfterDashes);

    const unbcl::StandardStreams streams{STDOUT_FILENO, STDERR_FILENO, ::isatty(STDOUT_FILENO) == 1,
                                         ::isatty(STDERR_FILENO) == 1, outClosedAtStart};
    if (list->parsed()) {
        listOptions.members.selection.patterns = operands;
        for (const std::string& name : hashNames) listOptions.hashes.push_back(*hashFromName(name));
        return listArchive(paths, listOptions, streams);
    }
    if (test->parsed()) {
        testOptions.members.selection.patterns = operands;
        return testArchive(paths, testOptions, streams);
    }
    if (extractCommand->parsed()) {
        extract.members.selection.patterns = operands;
        extract.progress = progressOn ? ProgressMode::Always : progressOff ? ProgressMode::Never : ProgressMode::OnTerminal;
        return extractArchive(paths, extract, streams);
    }
    if (cat->parsed()) {
        if (operands.empty()) return usageError("cat: name the members to print");
        catOptions.members.selection.patterns = operands;
        return catMembers(paths, catOptions, streams);
    }
    if (deleteCommand->parsed()) {
        deletion.selection.patterns = operands;
        return deleteMembers(paths, deletion, streams);
    }
    if (renameCommand->parsed()) {
        if (operands.size() != 2) return usageError("rename: give the member's name and its new name");
        rename.from = operands[0];
        rename.to = operands[1];
        return renameMember(paths, rename, streams);
    }
    if (mountCommand->parsed()) {
        if (operands.size() != 1) return usageError("mount: give the mount point (after the archive, if named)");
        mountOptions.mountPoint = operands.front();
        return mountArchive(paths, mountOptions, streams);
    }
    if (umountCommand->parsed()) return unmountArchive(unmountPoint, streams);
    AddOptions& adding = createCommand->parsed() ? create.add : updateCommand->parsed() ? update : append;
    adding.inputs.operands = operands;
    if (operands.empty() && adding.inputs.filesFrom.empty()) {
        return usageError("name the files to put in the archive, or a list of them with -T");
    }
    if (adding.align < 1 || (adding.align & (adding.align - 1)) != 0 || adding.align > (std::int64_t{1} << 30)) {
        return usageError("--align takes a power of two up to 1073741824");
    }
    if (createCommand->parsed()) return createArchive(paths, create, streams);
    if (updateCommand->parsed()) return updateArchive(paths, update, streams);
    return appendToArchive(paths, append, streams);
}

}  // namespace

int main(int argc, char** argv) {
    // Seen before /dev/null takes its place: a listing or a member printed there would be lost.
    const bool outClosedAtStart = ::fcntl(STDOUT_FILENO, F_GETFD) == -1 && errno == EBADF;
    if (const int err = unbcl::openStandardDescriptors(); err != 0) {
        unbcl::Diagnostics(STDERR_FILENO, "bcl").report("/dev/null", unbcl::systemReason(err));
        return kBclCannotRun;
    }
    // A file size limit arrives as a write error to report. A reader that stops reading
    // (bcl cat ... | head) ends the program quietly, as it ends cat.
    ::signal(SIGXFSZ, SIG_IGN);
    ::signal(SIGPIPE, SIG_DFL);
    try {
        return runBcl(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc), outClosedAtStart);
    } catch (const std::bad_alloc&) {
        unbcl::Diagnostics(STDERR_FILENO, "bcl").reportPlain("out of memory");
        return kBclCannotRun;
    }
}
