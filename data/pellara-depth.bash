# bash completion for pellara-depth: every option, the values of those that
# take words, font families for --font, files for INPUT (or LEFT RIGHT) and
# OUTPUT.
_pellara_depth()
{
    local cur prev words cword
    _init_completion || return

    case $prev in
    --format)
        local formats
        formats=$("$1" --list-formats 2>/dev/null | awk '{print $1}')
        COMPREPLY=($(compgen -W "$formats" -- "$cur"))
        return
        ;;
    --pair)
        COMPREPLY=($(compgen -W "lr rl tb bt" -- "$cur"))
        return
        ;;
    --font)
        local IFS=$'\n'
        COMPREPLY=($(compgen -W "$(fc-list : family 2>/dev/null | cut -d, -f1 | sort -u)" \
            -- "$cur"))
        return
        ;;
    --size | --width | --rotate | --text | --max-pixels | --frames | --turn | --fps | \
        --max-frames)
        return
        ;;
    esac

    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "--size --width --format --invert --no-normalize
            --rotate --text --font --max-pixels --frames --turn --fps --max-frames
            --pair --rectify
            --list-formats -h --help --version" -- "$cur"))
        return
    fi
    _filedir
} &&
    complete -F _pellara_depth pellara-depth
