#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks the bash completion for bcl the way bash drives it: for each command line below, the
# words as readline splits them go into COMP_WORDS, the completion function runs, and
# COMPREPLY must hold exactly the expected words. Member names come from the bcl that the
# command line names, so this runs the real program on archives made here.
#
#   test-completion.sh [COMPLETION_FILE [BCL]]
#
# Defaults: the installed completion file and the bcl on the PATH.
set -uo pipefail

completion=${1:-$(pkg-config --variable=completionsdir bash-completion 2>/dev/null ||
                  echo /usr/share/bash-completion/completions)/bcl}
bcl=${2:-bcl}
bcl=$(command -v "$bcl") || { echo "test-completion: no bcl to run" >&2; exit 2; }
[[ $bcl == /* ]] || bcl=$PWD/$bcl
for f in /usr/share/bash-completion/bash_completion "$completion"; do
  [ -r "$f" ] || { echo "test-completion: cannot read $f" >&2; exit 2; }
done

# bash-completion first (the completion uses its helpers), then the file under test.
# shellcheck source=/dev/null
source /usr/share/bash-completion/bash_completion
# shellcheck source=/dev/null
source "$completion"
[ "$(complete -p bcl 2>/dev/null)" = 'complete -F _bcl bcl' ] ||
  { echo "test-completion: $completion does not register _bcl for bcl" >&2; exit 1; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" || exit 2
# The default archive (MOLVARE.*), a second one beside it, and a third in a directory whose
# name needs quoting, with a member name that starts with a blank; a lower-case index name,
# a directory and a plain file around them.
mkdir -p content/DOCS 'sub dir'
echo hello >content/HELLO.TXT
echo notes >'content/my notes.txt'
echo readme >content/DOCS/README.TXT
echo other >content/OTHER.TXT
echo lead >'content/ LEAD.TXT'
(cd content &&
  "$bcl" create HELLO.TXT >/dev/null &&
  "$bcl" -i ../GAME.BCL -d ../GAME.BCD create HELLO.TXT 'my notes.txt' DOCS/README.TXT &&
  "$bcl" -i '../sub dir/OTHER.BCL' -d '../sub dir/OTHER.BCD' create OTHER.TXT ' LEAD.TXT') ||
  { echo "test-completion: bcl create failed" >&2; exit 2; }
mv content/MOLVARE.BCL content/MOLVARE.BCD .
cp GAME.BCL lower.bcl
touch plain.txt

# Splits a command line as readline does for completion: at unescaped blanks, with '=' a word
# of its own. The cursor is at the end of the line.
complete_line() {
  local line=$1 word='' c k
  local -a split=()
  for ((k = 0; k < ${#line}; k++)); do
    c=${line:k:1}
    if [[ $c == '\' ]]; then
      word+=${line:k:2}
      ((k++))
    elif [[ $c == ' ' ]]; then
      [[ -n $word ]] && split+=("$word")
      word=''
    elif [[ $c == '=' ]]; then
      [[ -n $word ]] && split+=("$word")
      split+=('=')
      word=''
    else
      word+=$c
    fi
  done
  split+=("$word")
  COMP_WORDS=("${split[@]}")
  COMP_CWORD=$((${#split[@]} - 1))
  COMP_LINE=$line
  COMP_POINT=${#line}
  COMP_TYPE=9
  COMPREPLY=()
  _bcl bcl "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | sed -z 's/\n$//; s/\n/, /g'
}

globals='--data, --help, --index, --version, -d, -h, -i'
default_members='HELLO.TXT'
game_members='DOCS/README.TXT, HELLO.TXT, my\ notes.txt'
# Each case: the command line (cursor at its end) | the completions expected, sorted, as
# COMPREPLY holds them: member names quoted for the shell, file names bare (readline quotes them).
cases=(
  "BCL |append, cat, create, delete, extract, list, mount, rename, test, umount, update"
  "BCL c|cat, create"
  "BCL update --|--align, --allow-case-twins, --allow-duplicates, --charset, --data, --dereference, --directory, --exclude, --exclude-from, --files-from, --help, --ignore-case, --index, --literal-names, --null, --strict, --verbose, --version"
  "BCL -i GAME.BCL delete D|DOCS/README.TXT"
  "BCL -|$globals"
  "BCL list --|--charset, --data, --exclude, --hash, --help, --ignore-case, --index, --json, --literal-names, --long, --names-only, --null, --version"
  "BCL list --hash |crc32, md5, sha1, sha256"
  "BCL extract -|--charset, --data, --directory, --exclude, --flatten, --help, --ignore-case, --index, --jobs, --junk-paths, --keep-old-files, --literal-names, --lowercase, --no-progress, --progress, --verbose, --version, -C, -I, -L, -d, -h, -i, -j, -k, -v, -x"
  "BCL create --|--align, --allow-duplicates, --charset, --crlf, --data, --dereference, --directory, --exclude, --exclude-from, --files-from, --header, --help, --index, --literal-names, --null, --strict, --verbose, --version"
  "BCL -i |GAME.BCL, MOLVARE.BCL, content, lower.bcl, sub dir"
  "BCL -i G|GAME.BCL"
  "BCL --index=l|lower.bcl"
  "BCL -d |GAME.BCD, MOLVARE.BCD, content, sub dir"
  "BCL extract -C |content, sub dir"
  "BCL mount --|--charset, --data, --foreground, --help, --index, --literal-names, --version"
  "BCL umount |content, sub dir"
  "BCL create -H |"
  "BCL extract |GAME.BCL, $default_members, MOLVARE.BCL, content, lower.bcl, sub dir"
  "BCL extract GAME.BCL |$game_members"
  "BCL cat GAME.BCL D|DOCS/README.TXT"
  "BCL GAME.BCL cat D|DOCS/README.TXT"
  "BCL GAME.BCL c|cat, create"
  "BCL lower.bcl extract |$game_members"
  "BCL -i GAME.BCL -d GAME.BCD extract |$game_members"
  "BCL --index=GAME.BCL --data GAME.BCD cat m|my\\ notes.txt"
  "BCL cat -i GAME.BCL -d GAME.BCD D|DOCS/README.TXT"
  "BCL -i sub\\ dir/OTHER.BCL -d sub\\ dir/OTHER.BCD extract -k |OTHER.TXT, \\ LEAD.TXT"
  "BCL -i GAME.BCL -d GAME.BCD extract -C content |$game_members"
  "BCL -i GAME.BCL list |$game_members"
  "BCL -i GAME.BCL -d GAME.BCD extract -- -|"
  "BCL -i missing.BCL extract |"
)

failures=0
for case in "${cases[@]}"; do
  line=${case%%|*}
  line=${line/#BCL/$bcl}
  expected=${case#*|}
  got=$(complete_line "$line")
  if [[ $got == "$expected" ]]; then
    echo "ok    '$line'"
  else
    echo "FAIL  '$line'"
    echo "      expected: $expected"
    echo "      got:      $got"
    failures=$((failures + 1))
  fi
done
if ((failures)); then
  echo "test-completion: $failures of ${#cases[@]} cases failed" >&2
  exit 1
fi
echo "test-completion: all ${#cases[@]} cases pass ($completion, $bcl)"
