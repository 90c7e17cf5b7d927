#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Holds the manual page and the three shell completions against bcl's command table.

The table is read from the program itself: the commands from `bcl --help`, each command's
options from `bcl COMMAND --help`. Then:

- man/bcl.1 shows every command in its synopsis and has an entry for it, describes each
  command's options where it speaks of that command, gives each command the same options in its
  synopsis as in its entry, and names the project's version;
- the bash, zsh and fish completions offer exactly the commands, and after each command exactly
  its options and bcl's own, each shell asked as it runs them: bash sources the file and shows
  its tables, zsh runs the completion function with _arguments and _describe standing in to show
  what they are given, and fish answers `complete -C`.

    command_surface_test.py BCL SOURCE_DIR

Exit status 0: all agree; 1: something disagrees (each difference is printed); 77: all that
could be checked agrees, but a shell is not installed.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile


def run(args, cwd=None, env=None):
    done = subprocess.run(args, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True, check=False)
    if done.returncode != 0:
        raise RuntimeError(f"{' '.join(args)} exited {done.returncode}: {done.stderr}")
    return done.stdout


def help_section(text, title):
    """The indented lines under a '<title>:' heading of CLI help, up to the next blank line."""
    lines = text.splitlines()
    start = lines.index(title + ":") + 1
    section = []
    for line in lines[start:]:
        if not line.strip():
            break
        section.append(line)
    return section


def options_in_help(text):
    """Every spelling of every option in the Options section: '-C,--directory DIR=.' gives both."""
    spellings = set()
    for line in help_section(text, "Options"):
        if line.startswith("  -"):
            spellings.update(line.split()[0].split(","))
    return spellings


class CommandTable:
    def __init__(self, bcl):
        top = run([bcl, "--help"])
        self.commands = [line.split()[0] for line in help_section(top, "Commands")]
        self.globals = options_in_help(top)
        self.options = {c: options_in_help(run([bcl, c, "--help"])) for c in self.commands}

    def accepted(self, command):
        """What a user may type after the command: its own options and bcl's, which follow it too."""
        return self.options[command] | self.globals


class Report:
    def __init__(self):
        self.failures = []
        self.skipped = []

    def differ(self, where, expected, got, extra_is="not in bcl"):
        missing = sorted(set(expected) - set(got))
        extra = sorted(set(got) - set(expected))
        if missing:
            self.failures.append(f"{where}: missing {', '.join(missing)}")
        if extra:
            self.failures.append(f"{where}: {extra_is}: {', '.join(extra)}")

    def fail(self, message):
        self.failures.append(message)


# --- the manual page -------------------------------------------------------------------------

def roff_text(line):
    """A roff line as a reader sees its words: macro arguments joined, escapes resolved."""
    if line.startswith('.\\"'):
        return ""
    if line.startswith("."):
        parts = line.split(None, 1)
        macro = parts[0]
        rest = parts[1] if len(parts) > 1 else ""
        if macro in (".SH", ".SS", ".TH"):
            return ""
        # .B, .BR, .RB, .IR, .OP and the like: the arguments, with the quotes removed.
        rest = re.sub(r'"([^"]*)"', r"\1", rest) if macro not in (".B", ".I") else rest.strip('"')
        line = rest
    line = re.sub(r"\\f[BIRP]", "", line)
    return line.replace("\\-", "-").replace("\\~", " ").replace("\\&", "").replace("\\(em", "-")


def option_spellings(text):
    """Options named in text; a cluster of short options such as -kvL names each one."""
    found = set()
    for word in re.findall(r"(?<![\w-])(--?[A-Za-z0-9][-A-Za-z0-9]*)", text):
        if word.startswith("--"):
            found.add(word)
        else:
            found.update("-" + letter for letter in word[1:])
    return found


def man_sections(lines):
    sections = {}
    name = None
    for line in lines:
        if line.startswith(".SH "):
            name = line[4:].strip().strip('"')
            sections[name] = []
        elif name:
            sections[name].append(line)
    return sections


def synopsis_entries(lines):
    """Each .SY ... .YS block of the synopsis, as text, with the commands it shows."""
    entries = []
    block = None
    for line in lines:
        if line.startswith(".SY"):
            block = []
        elif line.startswith(".YS"):
            entries.append(" ".join(block))
            block = None
        elif block is not None:
            block.append(roff_text(line))
    return entries


def command_entries(lines, commands):
    """The heading of each command's entry: the line after a .TP that starts with its name."""
    headings = {}
    for i, line in enumerate(lines[:-1]):
        if line.startswith(".TP"):
            text = roff_text(lines[i + 1]).strip()
            word = text.split()[0] if text.split() else ""
            if word in commands:
                headings[word] = text
    return headings


def man_scopes(lines, commands):
    """The parts of OPTIONS and COMMANDS as (the commands a part is about, its text).

    A command's entry (a .TP whose heading starts with its name, with everything nested in it)
    is about that command. A paragraph that names commands before its first .TP ("After list,
    test, ..."; "For create, update and append:") is about those, with the entries that follow
    it. What comes first under OPTIONS, bcl's own options, is about every command.
    """
    scopes = []
    section = None
    current = None
    depth = 0
    heading_next = False
    for line in lines:
        if line.startswith(".SH "):
            section = line[4:].strip().strip('"')
            current = {"commands": set(commands), "text": [], "intro": False} if section == "OPTIONS" else None
            if current:
                scopes.append(current)
            continue
        if section not in ("OPTIONS", "COMMANDS"):
            continue
        if line.startswith(".RS"):
            depth += 1
        elif line.startswith(".RE"):
            depth -= 1
        elif depth == 0 and line.startswith((".PP", ".SS")):
            current = {"commands": set(), "text": [], "intro": True}
            scopes.append(current)
        elif depth == 0 and line.startswith(".TP"):
            heading_next = True
            continue
        text = roff_text(line)
        if heading_next:
            heading_next = False
            words = text.split()
            if words and words[0] in commands:
                current = {"commands": {words[0]}, "text": [], "intro": False}
                scopes.append(current)
            elif current is not None:
                current["intro"] = False
        if current is None:
            continue
        if current["intro"]:
            current["commands"].update(word for word in re.findall(r"[a-z]+", text) if word in commands)
        current["text"].append(text)
    return [(scope["commands"], "\n".join(scope["text"])) for scope in scopes]


def check_manual(table, source, report):
    path = os.path.join(source, "man", "bcl.1")
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    sections = man_sections(lines)
    text = "\n".join(roff_text(line) for line in lines)
    named = option_spellings(text)
    report.differ("man/bcl.1, options", table.globals | set().union(*table.options.values()),
                  named & (table.globals | set().union(*table.options.values())))

    synopsis = synopsis_entries(sections.get("SYNOPSIS", []))
    in_synopsis = {}
    for entry in synopsis:
        for word in re.findall(r"[a-z]+", entry):
            if word in table.commands:
                in_synopsis.setdefault(word, entry)
    report.differ("man/bcl.1, commands in SYNOPSIS", table.commands, in_synopsis)
    headings = command_entries(sections.get("COMMANDS", []), table.commands)
    report.differ("man/bcl.1, commands in COMMANDS", table.commands, headings)
    # A command's synopsis and the heading of its entry are two summaries of one thing.
    for command in table.commands:
        if command in in_synopsis and command in headings:
            report.differ(f"man/bcl.1, options in the heading of {command}, against its synopsis",
                          option_spellings(in_synopsis[command]) - table.globals,
                          option_spellings(headings[command]) - table.globals, "not in the synopsis")

    # Each command's options are described where the page speaks of that command.
    scopes = man_scopes(lines, table.commands)
    for command in table.commands:
        about = in_synopsis.get(command, "") + "\n".join(text for covered, text in scopes if command in covered)
        report.differ(f"man/bcl.1, options described for {command}", table.options[command] - table.globals,
                      option_spellings(about) & (table.options[command] - table.globals))

    with open(os.path.join(source, "CMakeLists.txt"), encoding="utf-8") as f:
        version = re.search(r"project\(unbcl VERSION ([0-9.]+)", f.read()).group(1)
    for page in ("bcl.1", "unbcl.1"):
        with open(os.path.join(source, "man", page), encoding="utf-8") as f:
            title = next(line for line in f if line.startswith(".TH "))
        if f'"unbcl {version}"' not in title:
            report.fail(f"man/{page}: the title line does not name version {version}: {title.strip()}")


# --- the completions --------------------------------------------------------------------------

BASH_DUMP = r'''
source "$1" || exit 1
for key in "${!_bcl_options[@]}"; do
    printf 'options\t%s\t%s\n' "$key" "$(printf '%s ' ${_bcl_options[$key]})"
done
for key in "${!_bcl_operands[@]}"; do printf 'operands\t%s\n' "$key"; done
'''


def check_bash(table, source, report):
    out = run(["bash", "--norc", "--noprofile", "-c", BASH_DUMP, "bash",
               os.path.join(source, "completion", "bcl.bash")])
    options = {}
    operands = set()
    for line in out.splitlines():
        fields = line.split("\t")
        if fields[0] == "options":
            options[fields[1]] = {word.split("=")[0] for word in fields[2].split()}
        else:
            operands.add(fields[1])
    commands = set(options) - {"-"}
    report.differ("completion/bcl.bash, commands", table.commands, commands)
    report.differ("completion/bcl.bash, commands with operands", table.commands, operands)
    for command in table.commands:
        if command in options:
            report.differ(f"completion/bcl.bash, options after {command}", table.accepted(command),
                          options[command] | options.get("-", set()))


# _arguments and _describe stand in for zsh's: the first call of _arguments (the one that
# leads to ->command) chooses the state, the second shows the argument descriptions it is given.
ZSH_HARNESS = r'''
bcl_test_command=$2
_arguments() {
  if (( ${@[(I)*->command]} )); then
    if [[ -z $bcl_test_command ]]; then
      state=command
    else
      # What follows the program's name, with the cursor on a new word after it.
      state=arguments words=(${=bcl_test_command} '') CURRENT=$(( ${#${=bcl_test_command}} + 1 ))
    fi
    return 0
  fi
  print -rl -- "$@"
}
_describe() { print -rl -- "${(@P)4}"; }
words=(bcl)
source $1
'''


def zsh_option(argument):
    """The option one _arguments description gives: '(-k --keep)-k[...]' gives -k; operands give None."""
    match = re.match(r"^(?:\([^)]*\))?\*?(--?[A-Za-z0-9][-A-Za-z0-9]*)", argument)
    return match.group(1) if match else None


def check_zsh(table, source, report, cwd):
    completion = os.path.join(source, "completion", "_bcl")
    # Before the command, an archive may stand.
    for before in ("", "GAME.BCL "):
        listed = run(["zsh", "-f", "-c", ZSH_HARNESS, "zsh", completion, before], cwd=cwd)
        report.differ(f"completion/_bcl, commands after 'bcl {before}'", table.commands,
                      [line.split(":")[0] for line in listed.splitlines() if line])
        for command in table.commands:
            given = run(["zsh", "-f", "-c", ZSH_HARNESS, "zsh", completion, before + command], cwd=cwd).splitlines()
            offered = {zsh_option(argument) for argument in given if argument != "-S"} - {None}
            report.differ(f"completion/_bcl, options after 'bcl {before}{command}'", table.accepted(command), offered)


def check_fish(table, source, report, cwd, env):
    completion = os.path.join(source, "completion", "bcl.fish")

    def complete(line):
        out = run(["fish", "--no-config", "-c", f"source '{completion}'; complete -C '{line}'"], cwd=cwd, env=env)
        return {entry.split("\t")[0] for entry in out.splitlines() if entry}

    for before in ("", "GAME.BCL "):
        report.differ(f"completion/bcl.fish, commands after 'bcl {before}'", table.commands,
                      complete(f"bcl {before}"))
        for command in table.commands:
            offered = {word for word in complete(f"bcl {before}{command} -") if word.startswith("-")}
            report.differ(f"completion/bcl.fish, options after 'bcl {before}{command}'", table.accepted(command),
                          offered)


def main():
    bcl, source = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    table = CommandTable(bcl)
    report = Report()
    if len(table.commands) < 2 or not all(table.options.values()):
        report.fail(f"the command table read from {bcl} --help looks wrong: {table.options}")
    check_manual(table, source, report)
    check_bash(table, source, report)
    with tempfile.TemporaryDirectory() as scratch:
        # Completing member names runs bcl from the PATH on an archive that is not there.
        env = dict(os.environ, PATH=os.path.dirname(bcl) + os.pathsep + os.environ.get("PATH", ""))
        if shutil.which("zsh"):
            check_zsh(table, source, report, scratch)
        else:
            report.skipped.append("zsh")
        if shutil.which("fish"):
            check_fish(table, source, report, scratch, env)
        else:
            report.skipped.append("fish")

    for failure in report.failures:
        print("FAIL  " + failure)
    for shell in report.skipped:
        print(f"SKIP  {shell} is not installed: its completion was not checked")
    if report.failures:
        return 1
    print(f"command surface: {len(table.commands)} commands agree in --help, man/bcl.1 and the completions")
    return 77 if report.skipped else 0


if __name__ == "__main__":
    sys.exit(main())
