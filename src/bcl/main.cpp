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
#include <variant>
#include <vector>

#include "commands.hpp"
#include "nearest_name.hpp"
#include "unbcl/console.hpp"
#include "unbcl/file_io.hpp"

namespace {

using namespace unbcl::bcl;

constexpr const char* kExitStatusText =
    "Exit status: 0 success; 1 some member or check failed (each is reported on standard error);\n"
    "2 the command could not run (bad usage, an archive file that cannot be opened).";

constexpr const char* kArchiveOperandText =
    "The first operand names the archive when it ends in .BCL (any case), after the command or before\n"
    "it (bcl list GAME.BCL, bcl GAME.BCL list): its data file is the same path with the last letter L\n"
    "turned into D in the same case (GAME.BCD). -i and -d name the files instead; after -i, -d or --,\n"
    "every operand is a member or a file.";

// Writes what the option parser has to say (help, version) and usage errors with checked
// writes, so that text lost to a full disk is reported with its real cause.
int writeParserOutput(const std::string& out, const std::string& err, int code) {
    (void)unbcl::writeAll(STDERR_FILENO, err);
    if (const int writeErr = unbcl::writeAll(STDOUT_FILENO, out); writeErr != 0) {
        unbcl::Diagnostics(STDERR_FILENO, "bcl").reportPlain("standard output: " + unbcl::systemReason(writeErr));
        return code == kBclOk ? kBclFailed : code;
    }
    return code;
}

std::vector<Command> commandTable() {
    std::vector<Command> table;
    table.push_back(listCommand());
    table.push_back(testCommand());
    table.push_back(extractCommand());
    table.push_back(catCommand());
    table.push_back(createCommand());
    table.push_back(updateCommand());
    table.push_back(appendCommand());
    table.push_back(deleteCommand());
    table.push_back(renameCommand());
    table.push_back(mountCommand());
    table.push_back(umountCommand());
    return table;
}

const Command* commandNamed(const std::vector<Command>& table, const std::string& name) {
    const auto found = std::find_if(table.begin(), table.end(), [&](const Command& c) { return c.name == name; });
    return found == table.end() ? nullptr : &*found;
}

// What bcl's own options, which may stand before the command or after it, say about the archive.
struct ArchiveNaming {
    ArchivePaths paths;
    bool given = false;      // by -i or -d
    bool dataGiven = false;  // by -d
};

std::vector<CommandOption> globalOptions(const std::shared_ptr<ArchiveNaming>& naming) {
    const auto pathOption = [&naming](std::string names, std::string help, std::string& target, bool data) {
        CommandOption o = valueOption(std::move(names), "FILE", std::move(help),
                                   [naming, target = &target, data](const std::string& value) -> ValueProblem {
                                       *target = value;
                                       naming->given = true;
                                       naming->dataGiven = naming->dataGiven || data;
                                       return std::nullopt;
                                   });
        o.shownDefault = target;
        return o;
    };
    return {pathOption("-i,--index", "the index file (GAME.BCL alone also names GAME.BCD)", naming->paths.index, false),
            pathOption("-d,--data", "the data file", naming->paths.data, true)};
}

int usageError(const std::vector<Command>& table, const std::string& message) {
    std::string list;
    for (const Command& c : table) list += (list.empty() ? "" : ", ") + c.name;
    return writeParserOutput({}, "bcl: " + message + "\ncommands: " + list + "\nTry 'bcl --help' for more information.\n",
                             kBclCannotRun);
}

// A mistake in the options or operands of a command that was recognised: only the mistake.
int commandUsageError(const std::string& command, const std::string& message) {
    const std::string program = "bcl " + command;
    return writeParserOutput({}, program + ": " + message + "\nTry '" + program + " --help' for more information.\n",
                             kBclCannotRun);
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

void nameArchive(ArchivePaths& paths, const std::string& index) {
    paths.index = index;
    paths.data = dataFileFor(index);
}

// The next argument from `from` on that is neither an option nor the value of one of bcl's own
// options; none after "--".
std::optional<std::size_t> nextWord(const std::vector<std::string>& args, std::size_t from, const CLI::App& app) {
    for (std::size_t i = from; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--") return std::nullopt;
        if (a.empty() || a.front() != '-') return i;
        const CLI::Option* own = app.get_option_no_throw(a);
        if (own != nullptr && own->get_items_expected_min() > 0) ++i;
    }
    return std::nullopt;
}

struct CommandWord {
    std::size_t at = 0;
    std::optional<std::string> archive;  // an archive named before the command, taken out of the arguments
};

std::string unknownCommand(const std::vector<Command>& table, const std::string& word) {
    std::vector<std::string> names;
    for (const Command& c : table) names.push_back(c.name);
    const std::optional<std::string> meant = nearestName(word, names);
    return "unknown command '" + word + "'" + (meant ? " (did you mean '" + *meant + "'?)" : "");
}

// The command word, or why there is none. "bcl GAME.BCL list" names the archive first.
std::variant<CommandWord, std::string> findCommand(std::vector<std::string>& args, const CLI::App& app,
                                                   const std::vector<Command>& table) {
    const std::optional<std::size_t> first = nextWord(args, 0, app);
    if (!first) return std::string("a command is required");
    const std::string& word = args[*first];
    if (word == "help" || commandNamed(table, word) != nullptr) return CommandWord{*first, std::nullopt};
    if (!endsWithBcl(word)) return unknownCommand(table, word);
    const std::optional<std::size_t> second = nextWord(args, *first + 1, app);
    if (!second) return std::string("a command is required");
    if (args[*second] != "help" && commandNamed(table, args[*second]) == nullptr) {
        return unknownCommand(table, args[*second]);
    }
    CommandWord found{*second - 1, word};
    args.erase(args.begin() + static_cast<std::ptrdiff_t>(*first));
    return found;
}

// How the option was written where it was given, "-j" or "--jobs": the occurrence with the value
// in question, or the last one.
std::string spellingUsed(const std::vector<std::string>& args, const CLI::Option& option,
                         const std::optional<std::string>& value) {
    std::string last = option.get_name();
    for (std::size_t i = 0; i < args.size() && args[i] != "--"; ++i) {
        const std::string& a = args[i];
        std::string spelling;
        std::string given = i + 1 < args.size() ? args[i + 1] : std::string();
        for (const std::string& l : option.get_lnames()) {
            if (a == "--" + l) spelling = a;
            if (a.rfind("--" + l + "=", 0) == 0) {
                spelling = "--" + l;
                given = a.substr(l.size() + 3);
            }
        }
        for (const std::string& s : option.get_snames()) {
            if (a.rfind("-" + s, 0) == 0 && a.rfind("--", 0) != 0) {
                spelling = "-" + s;
                if (a.size() > 2) given = a.substr(2);
            }
        }
        if (spelling.empty()) continue;
        if (value && given == *value) return spelling;
        last = spelling;
    }
    return last;
}

// A flag may be given a value the way CLI11 reads one (--json=no); anything else is a mistake.
std::optional<bool> flagValue(const std::string& given) {
    for (const char* on : {"true", "on", "yes", "enable", "1"}) {
        if (given == on) return true;
    }
    for (const char* off : {"false", "off", "no", "disable", "0"}) {
        if (given == off) return false;
    }
    return std::nullopt;
}

// CLI11's help, with a command's one operand shown as the one it needs ("bcl umount MOUNTPOINT").
class HelpFormatter : public CLI::Formatter {
public:
    std::string make_option_usage(const CLI::Option* operand) const override {
        if (operand->get_expected_max() == 1) return make_option_name(operand, true);
        return CLI::Formatter::make_option_usage(operand);
    }
};

struct RegisteredOption {
    const CommandOption* entry;
    CLI::Option* option;
};

CLI::Option* addOption(CLI::App& app, const CommandOption& entry) {
    if (entry.valueName.empty()) return app.add_flag(entry.names, entry.help);
    CLI::Option* o = app.add_option(entry.names, entry.help)
                         ->type_name(entry.valueName)
                         ->expected(1)
                         ->allow_extra_args(false)
                         ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    if (!entry.shownDefault.empty()) o->default_str(entry.shownDefault);
    if (entry.delimiter != '\0') o->delimiter(entry.delimiter);
    return o;
}

// Hands each option's values to its entry, in the order given; returns the first mistake as
// "OPTION: what is wrong".
std::optional<std::string> takeOptions(const std::vector<RegisteredOption>& options,
                                       const std::vector<std::string>& args) {
    for (const RegisteredOption& r : options) {
        const std::vector<std::string>& values = r.option->results();
        if (values.empty()) continue;
        if (r.entry->setFlag) {
            const std::optional<bool> on = flagValue(values.back());
            if (!on) return spellingUsed(args, *r.option, std::nullopt) + ": takes no value";
            r.entry->setFlag(*on);
            continue;
        }
        if (!r.entry->repeatable && values.size() > 1) {
            return spellingUsed(args, *r.option, std::nullopt) + ": given more than once";
        }
        for (const std::string& value : values) {
            if (const ValueProblem problem = r.entry->takeValue(value)) {
                return spellingUsed(args, *r.option, value) + ": " + *problem;
            }
        }
    }
    return std::nullopt;
}

// What the parser stopped at, in bcl's own words.
// " (did you mean --json?)" for a long option one slip away from one the command has.
std::string suggestedOption(const std::string& given, const CLI::App& app, const CLI::App& command) {
    const std::string written = given.substr(0, given.find('='));
    if (!written.starts_with("--")) return {};
    std::vector<std::string> names;
    for (const CLI::App* a : {&command, &app}) {
        for (const CLI::Option* o : a->get_options()) {
            for (const std::string& name : o->get_lnames()) names.push_back("--" + name);
        }
    }
    const std::optional<std::string> meant = nearestName(written, names);
    return meant ? " (did you mean " + *meant + "?)" : "";
}

std::string describeParseError(const CLI::ParseError& error, const CLI::App& app, const CLI::App& command,
                               const std::vector<std::string>& args) {
    if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr) {
        std::vector<std::string> extras = command.remaining();
        if (extras.empty()) extras = app.remaining();
        if (!extras.empty()) {
            const std::string& first = extras.front();
            if (first.size() < 2 || first.front() != '-') return first + ": unexpected operand";
            return first + ": unknown option" + suggestedOption(first, app, command);
        }
    }
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr) {
        // The parser names the option whose value is missing first in its message.
        const std::string what = error.what();
        for (const CLI::App* a : {&command, &app}) {
            for (const CLI::Option* o : a->get_options()) {
                if (!o->get_positional() && what.rfind(o->get_name() + ":", 0) == 0) {
                    return spellingUsed(args, *o, std::nullopt) + ": needs a value (" + o->get_type_name() + ")";
                }
            }
        }
    }
    return std::string("cannot read the command line: ") + error.what();
}

void configureProgram(CLI::App& app) {
    const auto formatter = std::make_shared<HelpFormatter>();
    formatter->label("SUBCOMMAND", "COMMAND");
    formatter->label("Positionals", "Operands");
    app.formatter(formatter);
    app.set_help_flag("-h,--help", "show this help and exit");
    app.set_version_flag("--version", "bcl " UNBCL_VERSION, "show the version and exit");
    app.require_subcommand(1);
    // bcl's own options (-i, -d) may follow the command.
    app.fallthrough();
    app.footer(std::string(kArchiveOperandText) + "\n\n" + kExitStatusText);
}

// Every command of the table becomes a subcommand, so that each has its help; only the options
// of the one that runs are collected. All commands' operands go into one vector, as only one
// command is parsed.
CLI::App* addCommands(CLI::App& app, const std::vector<Command>& table, const Command* running,
                      std::vector<std::string>& operands, std::vector<RegisteredOption>& registered) {
    CLI::App* runningCommand = nullptr;
    for (const Command& c : table) {
        CLI::App* sub = app.add_subcommand(c.name, c.summary)->group("Commands");
        for (const CommandOption& o : c.options) {
            CLI::Option* added = addOption(*sub, o);
            if (&c == running) registered.push_back({&o, added});
        }
        CLI::Option* operandsOption = sub->add_option(c.operandName, operands, c.operandHelp)->type_name("");
        if (c.maxOperands == 1) {
            // Missing or more than one is reported later, in bcl's words, also after "--".
            operandsOption->expected(1)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
        }
        sub->footer(c.takesArchive ? std::string(kArchiveOperandText) + "\n" : std::string());
        if (&c == running) runningCommand = sub;
    }
    return runningCommand;
}

// "bcl help" and "bcl help COMMAND" are --help in other words; returns false for an unknown COMMAND.
bool turnHelpIntoOption(std::vector<std::string>& args, std::size_t helpAt, const std::vector<Command>& table) {
    const std::vector<std::string> rest(args.begin() + static_cast<std::ptrdiff_t>(helpAt) + 1, args.end());
    if (!rest.empty() && commandNamed(table, rest.front()) == nullptr) return false;
    args = rest.empty() ? std::vector<std::string>{"--help"} : std::vector<std::string>{rest.front(), "--help"};
    return true;
}

// Everything after "--" is an operand, whatever it looks like: it is taken out before parsing.
std::vector<std::string> takeOperandsAfterDashes(std::vector<std::string>& args, std::size_t commandAt) {
    const auto dashes = std::find(args.begin() + static_cast<std::ptrdiff_t>(commandAt), args.end(), "--");
    if (dashes == args.end()) return {};
    std::vector<std::string> after(dashes + 1, args.end());
    args.erase(dashes, args.end());
    return after;
}

// Names the archive from the word before the command or from the first operand, as the
// command takes it; returns what is wrong, or "".
std::string nameArchiveFromOperands(ArchiveNaming& naming, const Command& entry, const CommandWord& word,
                                    std::vector<std::string>& operands, bool firstOperandAfterDashes) {
    // -i GAME.BCL pairs with GAME.BCD as the operand GAME.BCL does; MOLVARE.BCD beside another
    // index would be a file the user never named.
    if (naming.given && !naming.dataGiven && endsWithBcl(naming.paths.index)) {
        naming.paths.data = dataFileFor(naming.paths.index);
    }
    if (word.archive) {
        if (!entry.takesArchive) return *word.archive + ": " + entry.name + " takes no archive";
        if (naming.given) return *word.archive + ": the archive is already named by -i or -d";
        nameArchive(naming.paths, *word.archive);
    } else if (entry.takesArchive && !naming.given && !firstOperandAfterDashes && !operands.empty() &&
               endsWithBcl(operands.front())) {
        nameArchive(naming.paths, operands.front());
        operands.erase(operands.begin());
    }
    return {};
}

int runBcl(std::vector<std::string> args, bool outClosedAtStart) {
    const std::vector<Command> table = commandTable();
    const auto naming = std::make_shared<ArchiveNaming>();
    const std::vector<CommandOption> globals = globalOptions(naming);
    CLI::App app{"Lists, tests, extracts, prints and creates index and data file archives.", "bcl"};
    configureProgram(app);
    std::vector<RegisteredOption> registered;
    for (const CommandOption& o : globals) registered.push_back({&o, addOption(app, o)});

    const std::vector<std::string> asGiven = args;
    const bool wantsHelpOrVersion = std::any_of(args.begin(), args.end(), [](const std::string& a) {
        return a == "-h" || a == "--help" || a == "--version";
    });
    const std::variant<CommandWord, std::string> found = findCommand(args, app, table);
    if (const std::string* problem = std::get_if<std::string>(&found); problem != nullptr && !wantsHelpOrVersion) {
        return usageError(table, *problem);
    }
    const CommandWord* word = std::get_if<CommandWord>(&found);
    const Command* entry = word != nullptr ? commandNamed(table, args[word->at]) : nullptr;
    std::vector<std::string> afterDashes;
    if (word != nullptr && entry == nullptr && !turnHelpIntoOption(args, word->at, table)) {
        return usageError(table, unknownCommand(table, args[word->at + 1]));
    }
    if (entry != nullptr) afterDashes = takeOperandsAfterDashes(args, word->at);

    std::vector<std::string> operands;
    CLI::App* command = addCommands(app, table, entry, operands, registered);
    try {
        std::reverse(args.begin(), args.end());
        app.parse(args);
    } catch (const CLI::Success& e) {
        std::ostringstream out;
        std::ostringstream err;
        const int code = app.exit(e, out, err) == 0 ? kBclOk : kBclCannotRun;
        // Help and the version are output whose point is to be read: into the /dev/null that
        // stands in for a closed standard output, they would be lost with exit 0.
        if (outClosedAtStart && !out.str().empty()) {
            unbcl::Diagnostics(STDERR_FILENO, "bcl").reportPlain("standard output: " + unbcl::systemReason(EBADF));
            return kBclCannotRun;
        }
        return writeParserOutput(out.str(), err.str(), code);
    } catch (const CLI::ParseError& e) {
        if (entry == nullptr) return usageError(table, "a command is required");
        return commandUsageError(entry->name, describeParseError(e, app, *command, asGiven));
    }
    if (entry == nullptr) return usageError(table, "a command is required");
    if (const std::optional<std::string> problem = takeOptions(registered, asGiven)) {
        return commandUsageError(entry->name, *problem);
    }

    const bool firstOperandAfterDashes = operands.empty() && !afterDashes.empty();
    operands.insert(operands.end(), afterDashes.begin(), afterDashes.end());
    if (entry->maxOperands != 0 && operands.size() > entry->maxOperands) {
        return commandUsageError(entry->name, operands[entry->maxOperands] + ": unexpected operand");
    }
    if (const std::string problem = nameArchiveFromOperands(*naming, *entry, *word, operands, firstOperandAfterDashes);
        !problem.empty()) {
        return commandUsageError(entry->name, problem);
    }
    if (entry->misuse) {
        if (const std::string problem = entry->misuse(operands); !problem.empty()) {
            return commandUsageError(entry->name, problem);
        }
    }

    const unbcl::StandardStreams streams{STDOUT_FILENO, STDERR_FILENO, ::isatty(STDOUT_FILENO) == 1,
                                         ::isatty(STDERR_FILENO) == 1, outClosedAtStart};
    return entry->run(CommandCall{naming->paths, std::move(operands), streams});
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
