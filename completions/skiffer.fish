# fish completion for skiffer

# Prints the channel identifiers: the group names of the configuration file
# that the command line names with -C or --rcfile, else of ~/.skifferrc,
# without the defaults group "*".
function __skiffer_channels
    set -l tokens (commandline -opc)
    set -l rcfile ~/.skifferrc
    for i in (seq 2 (count $tokens))
        switch $tokens[$i]
            case -C --rcfile
                set -l next (math $i + 1)
                set -q tokens[$next]; and set rcfile $tokens[$next]
            case '--rcfile=*'
                set rcfile (string replace -- --rcfile= '' $tokens[$i])
            case '-C?*'
                set rcfile (string sub -s 3 -- $tokens[$i])
        end
    end
    set rcfile (string replace -r -- '^~/' "$HOME/" $rcfile)
    test -f "$rcfile" -a -r "$rcfile"; or return
    string replace -r -- '\r$' '' <$rcfile \
        | string match -r -g -- '^\s*\[(.+)\]\s*$' \
        | string match -v -r -- '^\*$'
end

complete -c skiffer -f
complete -c skiffer -s c -l catchup -d 'Catch up with channels and exit'
complete -c skiffer -s l -l list -d 'List enclosures not yet downloaded and exit'
complete -c skiffer -s V -l version -d 'Print version and exit'
complete -c skiffer -s r -l resume -d 'Resume aborted downloads'
complete -c skiffer -s C -l rcfile -r -F -d 'Override the default configuration file name'
complete -c skiffer -s d -l debug -d 'Print connection debug information'
complete -c skiffer -s v -l verbose -d 'Print detailed progress information'
complete -c skiffer -s p -l progress-bar -d 'Print progress bar'
complete -c skiffer -s n -l new-only -d 'Only process new channels'
complete -c skiffer -s q -l quiet -d 'Only print error messages'
complete -c skiffer -s 1 -l first-only -d 'Only process the most recent item from each channel'
complete -c skiffer -s f -l filter -x -d 'Only process enclosures whose URL matches a regular expression'
complete -c skiffer -s j -l jobs -x -a '1 2 4 8 16' -d 'Run up to N channels at once'
complete -c skiffer -s h -l help -d 'Show the options'
complete -c skiffer -a '(__skiffer_channels)' -d Channel
