# bash completion for skiffer                              -*- shell-script -*-

# Prints the channel identifiers, one a line: the group names of the
# configuration file that the command line names with -C or --rcfile, else
# of ~/.skifferrc, without the defaults group "*".
_skiffer_channels()
{
    local rcfile=~/.skifferrc i line
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            -C | --rcfile) rcfile=${words[i + 1]} ;;
            --rcfile=*) rcfile=${words[i]#--rcfile=} ;;
            -C?*) rcfile=${words[i]#-C} ;;
        esac
    done
    # A file name as typed: only a leading ~/ needs expanding here.
    [[ $rcfile == \~/* ]] && rcfile=$HOME/${rcfile#\~/}
    [[ -f $rcfile && -r $rcfile ]] || return
    while IFS= read -r line || [[ -n $line ]]; do
        line=${line%$'\r'}
        if [[ $line =~ ^[[:space:]]*\[(.+)\][[:space:]]*$ && ${BASH_REMATCH[1]} != '*' ]]; then
            printf '%s\n' "${BASH_REMATCH[1]}"
        fi
    done <"$rcfile"
}

_skiffer()
{
    local cur prev words cword split
    _init_completion -s || return

    case $prev in
        -C | --rcfile)
            _filedir
            return
            ;;
        -f | --filter)
            return
            ;;
        -j | --jobs)
            COMPREPLY=($(compgen -W '1 2 4 8 16' -- "$cur"))
            return
            ;;
    esac
    $split && return

    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W '-c --catchup -l --list -V --version -r --resume
            -C --rcfile -d --debug -v --verbose -p --progress-bar -n --new-only
            -q --quiet -1 --first-only -f --filter -j --jobs -h --help' -- "$cur"))
        return
    fi

    # Identifiers are compared here rather than handed to compgen -W, which
    # would expand anything in them that looks like a shell expansion.
    local channel
    COMPREPLY=()
    while IFS= read -r channel; do
        [[ $channel == "$cur"* ]] && COMPREPLY+=("$(printf '%q' "$channel")")
    done < <(_skiffer_channels)
} &&
    complete -F _skiffer skiffer

# ex: filetype=sh
