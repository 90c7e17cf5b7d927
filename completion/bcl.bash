# SPDX-License-Identifier: MIT
# bash completion for bcl. bash-completion loads it on first use and provides the helpers
# (_init_completion, _filedir) that it calls.

# bcl's command line, the one place to change when bcl changes. _bcl_options[COMMAND] holds
# the options of COMMAND; the key "-" holds those of bcl itself, which bcl accepts before
# the command and after it. An option that takes a value is written OPTION=KIND, where KIND
# says what its value is: index (an index file, *.BCL), data (a data file, *.BCD), dir, hash
# (a checksum name), or text (nothing to complete). _bcl_operands[COMMAND] says what the
# command's operands are: member (names in the archive) or file; a command without an entry
# takes none. Before them, an operand ending in .BCL names the archive, as it does before the
# command, except for the commands in _bcl_no_archive.
_bcl_member_options='-I --ignore-case -x=text --exclude=text --literal-names --charset=text'
_bcl_file_options='-C=dir --directory=dir -T=file --files-from=file --null --dereference --allow-duplicates
                   -x=text --exclude=text --exclude-from=file --strict
                   --literal-names --charset=text --align=text -v --verbose'
declare -gA _bcl_options=(
    [-]='-i=index --index=index -d=data --data=data -h --help --version'
    [list]="$_bcl_member_options --json -l --long --hash=hash -1 --names-only --null"
    [test]="$_bcl_member_options"
    [extract]="$_bcl_member_options -C=dir --directory=dir -k --keep-old-files -v --verbose --flatten --junk-paths
               -L --lowercase --progress --no-progress -j=text --jobs=text"
    [cat]="$_bcl_member_options"
    [create]="-H=text --header=text --crlf $_bcl_file_options"
    [update]="-I --ignore-case --allow-case-twins $_bcl_file_options"
    [append]="--allow-case-twins $_bcl_file_options"
    [delete]="$_bcl_member_options"
    [rename]='--literal-names --charset=text'
    [mount]='-f --foreground -o=text --literal-names --charset=text'
    [umount]=''
)
declare -gA _bcl_operands=([mount]=dir [umount]=dir [list]=member [test]=member [extract]=member [cat]=member [delete]=member [rename]=member
                           [create]=file [update]=file [append]=file)
_bcl_no_archive=' umount '

# Prints the KIND of the value OPTION takes within COMMAND, or nothing if it takes none;
# fails if OPTION is unknown there.
_bcl_value_kind()
{
    local option=$1 command=$2 declared
    for declared in ${_bcl_options[-]} ${command:+${_bcl_options[$command]}}; do
        if [[ $declared == "$option" ]]; then
            return 0
        elif [[ $declared == "$option="* ]]; then
            printf '%s' "${declared#*=}"
            return 0
        fi
    done
    return 1
}

# Removes the shell quoting from a word as typed (backslashes, single and double quotes)
# without evaluating anything in it, and expands a leading ~.
_bcl_dequote()
{
    local word=$1 out='' quote='' c k
    for ((k = 0; k < ${#word}; k++)); do
        c=${word:k:1}
        if [[ $quote == "'" ]]; then
            [[ $c == "'" ]] && quote='' || out+=$c
        elif [[ $quote == '"' ]]; then
            if [[ $c == '"' ]]; then
                quote=''
            elif [[ $c == '\' && ${word:k+1:1} == [\"\\\$\`] ]]; then
                out+=${word:k+1:1}
                ((k++))
            else
                out+=$c
            fi
        elif [[ $c == "'" || $c == '"' ]]; then
            quote=$c
        elif [[ $c == '\' ]]; then
            out+=${word:k+1:1}
            ((k++))
        else
            out+=$c
        fi
    done
    [[ $word == '~'* ]] && __expand_tilde_by_ref out
    printf '%s' "$out"
}

# Prints the member names of the archive, one a line, as `bcl list` shows them: after the
# offset and the length, two spaces and the name (control bytes escaped).
_bcl_members()
{
    local row='^ *-?[0-9]+ +-?[0-9]+  (.*)$' line
    while IFS= read -r line; do
        [[ $line =~ $row ]] && printf '%s\n' "${BASH_REMATCH[1]}"
    done < <(LC_ALL=C "$@" list 2>/dev/null)
}

# Sets archive (the -i and -d arguments to pass on to bcl) from an index name as typed, with its
# data file beside it as bcl makes it.
_bcl_name_archive()
{
    local value
    value=$(_bcl_dequote "$1")
    archive=(-i "$value" -d "${value%?}$([[ ${value: -1} == L ]] && echo D || echo d)")
    named=true
}

_bcl_complete_value()
{
    case $1 in
        index) _filedir bcl ;;
        data) _filedir bcd ;;
        dir) _filedir -d ;;
        file) _filedir ;;
        hash) COMPREPLY=($(compgen -W 'crc32 md5 sha1 sha256' -- "$cur")) ;;
    esac
}

_bcl()
{
    local cur prev words cword split
    _init_completion -s || return

    # Read the words before the cursor as bcl would: the command, the archive named so far,
    # and whether the word under the cursor is an option's value.
    local command='' value_kind='' operands_only=false operands=0 named=false
    local -a archive=()
    local i word option value kind
    for ((i = 1; i < cword; i++)); do
        word=${words[i]}
        value_kind=''
        if ! $operands_only && [[ $word == -?* ]]; then
            if [[ $word == -- ]]; then
                operands_only=true
                continue
            fi
            option=$word value=''
            if [[ $word == --*=* ]]; then
                option=${word%%=*} value=${word#*=}
            elif [[ $word != --* && ${#word} -gt 2 ]]; then
                option=${word:0:2} value=${word:2}
            fi
            kind=$(_bcl_value_kind "$option" "$command") || continue
            [[ -z $kind ]] && continue
            if [[ -z $value && $option == "$word" ]]; then
                if ((i + 1 == cword)); then
                    value_kind=$kind
                    break
                fi
                value=${words[++i]}
            fi
            case $kind in
                index) archive+=(-i "$(_bcl_dequote "$value")") named=true ;;
                data) archive+=(-d "$(_bcl_dequote "$value")") named=true ;;
            esac
        elif [[ -z $command && $word != - && -n $word && -n ${_bcl_options[$word]+set} ]]; then
            command=$word
        elif [[ -z $command ]]; then
            # An archive named before the command.
            if ! $named && ! $operands_only && [[ ${word,,} == *.bcl ]]; then
                _bcl_name_archive "$word"
            fi
        else
            # The first operand names the archive when it ends in .BCL, as bcl reads it.
            if ((operands == 0)) && ! $named && ! $operands_only && [[ ${word,,} == *.bcl &&
                  $_bcl_no_archive != *" $command "* ]]; then
                _bcl_name_archive "$word"
            fi
            ((operands++))
        fi
    done

    if $split; then
        _bcl_value_kind "$prev" "$command" >/dev/null &&
            _bcl_complete_value "$(_bcl_value_kind "$prev" "$command")"
        return
    fi
    if [[ -n $value_kind ]]; then
        _bcl_complete_value "$value_kind"
        return
    fi

    if ! $operands_only && [[ $cur == -* ]]; then
        local declared=(${_bcl_options[-]} ${command:+${_bcl_options[$command]}})
        COMPREPLY=($(compgen -W "${declared[*]%%=*}" -- "$cur"))
        return
    fi

    if [[ -z $command ]]; then
        local commands=("${!_bcl_options[@]}")
        COMPREPLY=($(compgen -W "${commands[*]/#-/}" -- "$cur"))
        return
    fi

    # Where the archive may still be named, .BCL files are offered beside the members.
    if ((operands == 0)) && ! $named && ! $operands_only && [[ $_bcl_no_archive != *" $command "* ]]; then
        _filedir bcl
    fi
    case ${_bcl_operands[$command]-} in
        member)
            local bcl name prefix quoted
            bcl=$(_bcl_dequote "${words[0]}")
            prefix=$(_bcl_dequote "$cur")
            while IFS= read -r name; do
                [[ $name == "$prefix"* ]] || continue
                printf -v quoted '%q' "$name"
                COMPREPLY+=("$quoted")
            done < <(_bcl_members "$bcl" "${archive[@]}")
            ;;
        file)
            _filedir
            ;;
        dir)
            _filedir -d
            ;;
    esac
}
complete -F _bcl bcl
