// bcl: list, test, extract, print and create index and data file archives.
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <sstream>
#include <new>
#include <string>
#include <vector>

#include "commands.hpp"
#include "unbcl/console.hpp"
#include "unbcl/file_io.hpp"

namespace {

constexpr const char* kExitStatusText =
    "Exit status: 0 success; 1 some member or check failed (each is reported on standard error);\n"
    "2 the command could not run (bad usage, an archive file that cannot be opened).\n";

// Writes what the option parser has to say (help, version, a usage error) with checked writes,
// so that text lost to a full disk is reported with its real cause.
int finishParse(const CLI::App& app, const CLI::ParseError& error) {
    std::ostringstream out;
    std::ostringstream err;
    const int code = app.exit(error, out, err) == 0 ? unbcl::bcl::kBclOk : unbcl::bcl::kBclCannotRun;
    (void)unbcl::writeAll(STDERR_FILENO, err.str());
    if (const int writeErr = unbcl::writeAll(STDOUT_FILENO, out.str()); writeErr != 0) {
        unbcl::Diagnostics(STDERR_FILENO, "bcl").reportPlain("standard output: " + unbcl::systemReason(writeErr));
        return code == unbcl::bcl::kBclOk ? unbcl::bcl::kBclFailed : code;
    }
    return code;
}

int runBcl(int argc, char** argv) {
    using namespace unbcl::bcl;
    CLI::App app{"Lists, tests, extracts, prints and creates index and data file archives.", "bcl"};
    app.footer(kExitStatusText);
    app.set_version_flag("--version", "bcl " UNBCL_VERSION);
    app.require_subcommand(1);
    app.fallthrough();
    app.failure_message([](const CLI::App*, const CLI::Error& e) {
        return std::string("bcl: ") + e.what() + "\nTry 'bcl --help' for more information.\n";
    });

    ArchivePaths paths;
    app.add_option("-i,--index", paths.index, "the index file")->capture_default_str();
    app.add_option("-d,--data", paths.data, "the data file")->capture_default_str();

    ListOptions listOptions;
    CLI::App* list = app.add_subcommand("list", "List the entries: offset, length and name, then a total.");
    list->add_flag("--json", listOptions.json,
                   "One JSON array of {name, offset, length}. A name that is not valid UTF-8 has U+FFFD for\n"
                   "each byte that is not, and its exact bytes in hexadecimal as name_hex.");

    app.add_subcommand("test", "Check every entry against the data file, writing nothing.");

    ExtractOptions extract;
    CLI::App* extractCommand =
        app.add_subcommand("extract", "Extract all members, or the named ones, creating directories as needed.");
    extractCommand->add_option("-C,--directory", extract.directory, "extract into DIR")->capture_default_str();
    extractCommand->add_flag("-k,--keep-old-files", extract.keepOldFiles, "leave existing files alone");
    extractCommand->add_option("member", extract.members, "members to extract (default: all)");

    std::vector<std::string> catNames;
    CLI::App* cat = app.add_subcommand("cat", "Write the named members' bytes to standard output.");
    cat->add_option("member", catNames, "members, in the order wanted")->required();

    CreateOptions create;
    CLI::App* createCommand = app.add_subcommand(
        "create", "Write the index and data file holding FILEs, in the order given.");
    createCommand->add_option("-H,--header", create.headers, "a header line (up to twice)")->allow_extra_args(false);
    createCommand->add_flag("--allow-duplicates", create.allowDuplicates, "accept a file named twice");
    createCommand->add_option("file", create.files, "files to put in the archive")->required();

    MountOptions mountOptions;
    CLI::App* mountCommand = app.add_subcommand(
        "mount", "Mount the archive read-only at MOUNTPOINT; returns once it is usable, serving in the background.");
    mountCommand->add_flag("-f,--foreground", mountOptions.foreground, "serve in the foreground until unmounted");
    mountCommand->add_option("-o", mountOptions.fuseOptions, "a FUSE mount option, e.g. allow_other (repeatable)")
        ->allow_extra_args(false);
    mountCommand->add_option("mountpoint", mountOptions.mountPoint, "an existing directory")->required();

    std::string unmountPoint;
    CLI::App* umountCommand = app.add_subcommand("umount", "Unmount what bcl mount mounted at MOUNTPOINT.");
    umountCommand->add_option("mountpoint", unmountPoint, "where the archive is mounted")->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return finishParse(app, e);
    }

    const unbcl::StandardStreams streams{STDOUT_FILENO, STDERR_FILENO, ::isatty(STDOUT_FILENO) == 1,
                                         ::isatty(STDERR_FILENO) == 1};
    if (list->parsed()) return listArchive(paths, listOptions, streams);
    if (extractCommand->parsed()) return extractArchive(paths, extract, streams);
    if (cat->parsed()) return catMembers(paths, catNames, streams);
    if (createCommand->parsed()) return createArchive(paths, create, streams);
    if (mountCommand->parsed()) return mountArchive(paths, mountOptions, streams);
    if (umountCommand->parsed()) return unmountArchive(unmountPoint, streams);
    return testArchive(paths, streams);
}

}  // namespace

int main(int argc, char** argv) {
    if (const int err = unbcl::openStandardDescriptors(); err != 0) {
        unbcl::Diagnostics(STDERR_FILENO, "bcl").report("/dev/null", unbcl::systemReason(err));
        return unbcl::bcl::kBclCannotRun;
    }
    // A file size limit arrives as a write error to report. A reader that stops reading
    // (bcl cat ... | head) ends the program quietly, as it ends cat.
    ::signal(SIGXFSZ, SIG_IGN);
    ::signal(SIGPIPE, SIG_DFL);
    try {
        return runBcl(argc, argv);
    } catch (const std::bad_alloc&) {
        unbcl::Diagnostics(STDERR_FILENO, "bcl").reportPlain("out of memory");
        return unbcl::bcl::kBclCannotRun;
    }
}
