# bash completion for pellara-fuse: every option, the values of those that
# take words, picture files for DEPTH, PATTERN and OUTPUT.
_pellara_fuse()
{
    local cur prev words cword
    _init_completion || return

    case $prev in
    --format)
        local formats
        formats=$("$1" --list-formats 2>/dev/null | awk '{print $1}')
        # Clips: besides the still formats, APNG and video.
        COMPREPLY=($(compgen -W "$formats apng mp4 webm" -- "$cur"))
        return
        ;;
    --method)
        COMPREPLY=($(compgen -W "window symmetric" -- "$cur"))
        return
        ;;
    --motion)
        COMPREPLY=($(compgen -W "steady fresh" -- "$cur"))
        return
        ;;
    --pages)
        COMPREPLY=($(compgen -W "a4 letter a3" -- "$cur"))
        return
        ;;
    --max-pixels | --seed | --colors | --separation | --amplitude | --dpi | --eye | \
        --depth-of-field | --oversample | --fps | --frame | --max-frames | --size | --width | \
        --pattern-scale)
        return
        ;;
    esac

    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "--format --max-pixels --method --no-hidden-surface
            --separation --amplitude --dpi --eye --depth-of-field --oversample
            --guide-dots --cross-eyed --random-dot --colors --seed --motion --fps
            --frame --max-frames --size --width --pattern-scale --pages --quiet
            --list-formats -h --help --version" -- "$cur"))
        return
    fi
    _filedir
} &&
    complete -F _pellara_fuse pellara-fuse
