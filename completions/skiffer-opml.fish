# fish completion for skiffer-opml

function __skiffer_opml_needs_command
    set -l tokens (commandline -opc)
    set -e tokens[1]
    set -l skip
    for token in $tokens
        if test -n "$skip"
            set skip
            continue
        end
        switch $token
            case -C --rcfile -s --spool-root
                set skip 1
            case '-*'
            case '*'
                return 1
        end
    end
    return 0
end

complete -c skiffer-opml -f
complete -c skiffer-opml -s C -l rcfile -r -F -d 'Override the default configuration file name'
complete -c skiffer-opml -s s -l spool-root -x -a '(__fish_complete_directories)' -d 'Make each spool directory under this directory'
complete -c skiffer-opml -s n -l dry-run -d 'Print the channel groups instead of adding them'
complete -c skiffer-opml -s V -l version -d 'Print version and exit'
complete -c skiffer-opml -s h -l help -d 'Show the options'
complete -c skiffer-opml -n __skiffer_opml_needs_command -a import -d 'Add the feeds of an OPML file as channels'
complete -c skiffer-opml -n __skiffer_opml_needs_command -a export -d 'Print the channels as an OPML document'
complete -c skiffer-opml -n '__fish_seen_subcommand_from import' -F -d 'OPML file'
