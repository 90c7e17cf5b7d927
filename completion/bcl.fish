# SPDX-License-Identifier: MIT
# fish completion for bcl. Member names come from `bcl list` on the archive named so far.

set -l commands list test extract cat create update append delete rename mount umount

# The archive the command line so far names, as arguments to pass on to bcl: the last -i and
# -d, or else a name ending in .BCL before the command or as the first operand after it.
function __bcl_archive
    set -l words (commandline -opc)
    set -e words[1]
    argparse --ignore-unknown 'i/index=' 'd/data=' -- $words 2>/dev/null
    or return
    set -q _flag_index[1]
    and printf '%s\n' -i $_flag_index[-1]
    set -q _flag_data[1]
    and printf '%s\n' -d $_flag_data[-1]
    if set -q _flag_index[1]; or set -q _flag_data[1]
        return
    end
    set -l operands (string match -v -- '-*' $argv)
    set -l index
    if string match -qri -- '\.bcl$' $operands[1]
        set index $operands[1]
    else if contains -- $operands[1] list test extract cat create update append delete rename mount
        and string match -qri -- '\.bcl$' $operands[2]
        set index $operands[2]
    end
    set -q index[1]
    or return
    printf '%s\n' -i $index -d (string replace -r 'L$' D -- (string replace -r 'l$' d -- $index))
end

# The member names, from the rows of `bcl list`: offset, length, two spaces and the name.
function __bcl_members
    set -l bcl (commandline -opc)[1]
    command $bcl (__bcl_archive) list 2>/dev/null |
        string replace -rf '^ *-?[0-9]+ +-?[0-9]+  (.*)$' '$1'
end

# Files whose names end in SUFFIX, in either case, and directories to look into.
function __bcl_files_ending --argument-names suffix
    set -l token (commandline -ct)
    set -l paths (complete -C "__fish_command_without_completions $token")
    string match -rie -- '(?:'(string escape --style=regex -- $suffix)'|/)$' $paths
end

complete -c bcl -f

# bcl's own options, before or after the command.
complete -c bcl -s i -l index -r -f -a '(__bcl_files_ending .bcl)' -d 'Index file'
complete -c bcl -s d -l data -r -f -a '(__bcl_files_ending .bcd)' -d 'Data file'
complete -c bcl -s h -l help -d 'Print help and exit'
complete -c bcl -l version -d 'Print the version and exit'

set -l no_command "not __fish_seen_subcommand_from $commands"
complete -c bcl -n $no_command -a list -d 'List offset, length and name of each entry'
complete -c bcl -n $no_command -a test -d 'Check every entry, writing nothing'
complete -c bcl -n $no_command -a extract -d 'Extract all members or the named ones'
complete -c bcl -n $no_command -a cat -d 'Write members to standard output'
complete -c bcl -n $no_command -a create -d 'Write a new archive holding files'
complete -c bcl -n $no_command -a update -d 'Replace members by files, add the others'
complete -c bcl -n $no_command -a append -d 'Add new members at the end, in place'
complete -c bcl -n $no_command -a delete -d 'Remove members and compact the data file'
complete -c bcl -n $no_command -a rename -d 'Give one member another name'
complete -c bcl -n $no_command -a mount -d 'Mount the archive read-only at a directory'
complete -c bcl -n $no_command -a umount -d 'Unmount what bcl mount mounted'

set -l member_commands '__fish_seen_subcommand_from list test extract cat delete'
complete -c bcl -n $member_commands -s I -l ignore-case -d 'Match patterns without regard to case'
complete -c bcl -n $member_commands -s x -l exclude -x -d 'Leave out members that PATTERN selects'

# How names are read, for every command that reads them.
set -l name_commands '__fish_seen_subcommand_from list test extract cat delete rename mount'
complete -c bcl -n $name_commands -l literal-names -d 'Keep a backslash as part of a name'
complete -c bcl -n $name_commands -l charset -x -d 'Names are in this code page'
complete -c bcl -n '__fish_seen_subcommand_from list test extract cat delete rename' -a '(__bcl_members)'
complete -c bcl -n '__fish_seen_subcommand_from list test extract cat delete rename mount' -a '(__bcl_files_ending .bcl)'

complete -c bcl -n '__fish_seen_subcommand_from list' -l json -d 'One JSON object'
complete -c bcl -n '__fish_seen_subcommand_from list' -s l -l long -d 'Show the header lines'
complete -c bcl -n '__fish_seen_subcommand_from list' -s 1 -l names-only -d 'The names alone, a line each'
complete -c bcl -n '__fish_seen_subcommand_from list' -l null -d 'The names alone, each ended by a NUL'
complete -c bcl -n '__fish_seen_subcommand_from list' -l hash -x -a 'crc32 md5 sha1 sha256' -d 'Add checksums'

complete -c bcl -n '__fish_seen_subcommand_from extract' -s C -l directory -r -f -a '(__fish_complete_directories)' -d 'Extract into DIR'
complete -c bcl -n '__fish_seen_subcommand_from extract' -s k -l keep-old-files -d 'Leave existing files alone'
complete -c bcl -n '__fish_seen_subcommand_from extract' -s v -l verbose -d 'Name each member as it is written'
complete -c bcl -n '__fish_seen_subcommand_from extract' -l flatten -l junk-paths -d 'Keep only the last component of names'
complete -c bcl -n '__fish_seen_subcommand_from extract' -s L -l lowercase -d 'Write names in lower case'
complete -c bcl -n '__fish_seen_subcommand_from extract' -l progress -d 'Show the progress line'
complete -c bcl -n '__fish_seen_subcommand_from extract' -l no-progress -d 'Never show the progress line'
complete -c bcl -n '__fish_seen_subcommand_from extract' -s j -l jobs -x -d 'Write members with N threads'

complete -c bcl -n '__fish_seen_subcommand_from create' -s H -l header -x -d 'Header line (up to twice)'
complete -c bcl -n '__fish_seen_subcommand_from create' -l crlf -d "End the index's lines in CR LF"
set -l file_commands '__fish_seen_subcommand_from create update append'
complete -c bcl -n '__fish_seen_subcommand_from update' -s I -l ignore-case -d 'Replace a member whose name differs only by case'
complete -c bcl -n '__fish_seen_subcommand_from update append' -l allow-case-twins -d "Add a name that differs only by case from a member's"
complete -c bcl -n $file_commands -l allow-duplicates -d 'Accept a name given twice'
complete -c bcl -n $file_commands -l literal-names -d 'Accept names with a backslash or a drive letter'
complete -c bcl -n $file_commands -s C -l directory -r -f -a '(__fish_complete_directories)' -d 'Name files relative to DIR'
complete -c bcl -n $file_commands -s T -l files-from -r -F -d 'Read paths from FILE'
complete -c bcl -n $file_commands -l null -d 'Paths from -T end with NUL'
complete -c bcl -n $file_commands -l dereference -d 'Follow symbolic links'
complete -c bcl -n $file_commands -s x -l exclude -x -d 'Leave out the files a pattern names'
complete -c bcl -n $file_commands -l exclude-from -r -d 'Leave out the patterns FILE lists'
complete -c bcl -n $file_commands -l strict -d 'Write nothing when a file cannot go in'
complete -c bcl -n $file_commands -l charset -x -d 'Write names in this code page'
complete -c bcl -n $file_commands -l align -x -d 'Start members at multiples of N'
complete -c bcl -n $file_commands -s v -l verbose -d 'Name each file as it is added'
complete -c bcl -n $file_commands -F

complete -c bcl -n '__fish_seen_subcommand_from mount' -s f -l foreground -d 'Serve in the foreground until unmounted'
complete -c bcl -n '__fish_seen_subcommand_from mount' -s o -x -d 'Pass a FUSE mount option'
complete -c bcl -n '__fish_seen_subcommand_from mount umount' -a '(__fish_complete_directories)'
