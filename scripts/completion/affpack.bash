# bash completion for affpack                                  -*- shell-script -*-
#
#   affpack -o OUTPUT --product ID --hardware ID [OPTION]... [--block TYPE:FILE[:PART][:KEY=VALUE]...]...

_affpack()
{
    # Words up to the cursor, split at blanks only: a block definition holds ':'.
    local line=${COMP_LINE:0:COMP_POINT} cur="" words
    read -ra words <<<"$line"
    if [[ -n $line && $line != *[[:space:]] ]]; then
        cur=${words[-1]}
        unset 'words[-1]'
    fi
    local count=${#words[@]}
    local prev=${words[count - 1]}
    COMPREPLY=()

    case $prev in
    -o | --output)
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        compopt -o filenames 2>/dev/null
        return 0
        ;;
    --format)
        mapfile -t COMPREPLY < <(compgen -W "1 2 3" -- "$cur")
        return 0
        ;;
    --block)
        if [[ $cur != *:* ]]; then
            mapfile -t COMPREPLY < <(compgen -W "esp-ram: esp-ram-data: wifi: nvcm0: nvcm1: usercode:
                device-uc: host-uc: ti:" -- "$cur")
            compopt -o nospace 2>/dev/null
        elif [[ ${cur#*:} != *:* ]]; then
            # TYPE:FILE: the image file after the type.
            local type=${cur%%:*} file=${cur#*:} f files
            mapfile -t files < <(compgen -f -- "$file")
            for f in "${files[@]}"; do
                [[ -d $f ]] && f+=/
                # When ':' breaks words, bash replaces only what follows the last ':'.
                if [[ $COMP_WORDBREAKS == *:* ]]; then
                    COMPREPLY+=("$f")
                else
                    COMPREPLY+=("$type:$f")
                fi
            done
            compopt -o nospace 2>/dev/null
        fi
        return 0
        ;;
    --product | --hardware | --iv | --aux | --file-version)
        return 0
        ;;
    esac
    mapfile -t COMPREPLY < <(compgen -W "-o --output --product --hardware --iv --aux --file-version
        --format --block -h --help" -- "$cur")
    return 0
}
complete -F _affpack affpack
