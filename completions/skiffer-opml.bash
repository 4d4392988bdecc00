# bash completion for skiffer-opml                         -*- shell-script -*-

_skiffer_opml()
{
    local cur prev words cword split
    _init_completion -s || return

    case $prev in
        -C | --rcfile)
            _filedir
            return
            ;;
        -s | --spool-root)
            _filedir -d
            return
            ;;
    esac
    $split && return

    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W '-C --rcfile -s --spool-root -n --dry-run
            -V --version -h --help' -- "$cur"))
        return
    fi

    # The command is the first word that is neither an option nor an
    # option's argument; import takes one OPML file after it.
    local i command=
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            -C | --rcfile | -s | --spool-root) ((i++)) ;;
            -*) ;;
            *)
                command=${words[i]}
                break
                ;;
        esac
    done
    case $command in
        '') COMPREPLY=($(compgen -W 'import export' -- "$cur")) ;;
        import) ((cword == i + 1)) && _filedir '@(opml|xml)' ;;
    esac
} &&
    complete -F _skiffer_opml skiffer-opml

# ex: filetype=sh
