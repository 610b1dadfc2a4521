# bash completion for devsim                                   -*- shell-script -*-
#
#   devsim [options] LINK
#   devsim verify [--no-host] STATE_DIR FILE.aff

# Containers starting with $1: *.aff files and directories; any file when no
# container matches.
_devsim_aff_files()
{
    mapfile -t COMPREPLY < <(compgen -f -X '!*.[aA][fF][fF]' -- "$1"; compgen -d -- "$1")
    if [[ ${#COMPREPLY[@]} -eq 0 ]]; then
        mapfile -t COMPREPLY < <(compgen -f -- "$1")
    fi
    compopt -o filenames 2>/dev/null
}

_devsim()
{
    # Words up to the cursor, split at blanks only (NAME=CODE and N:WORD stay whole).
    local line=${COMP_LINE:0:COMP_POINT} cur="" words
    read -ra words <<<"$line"
    if [[ -n $line && $line != *[[:space:]] ]]; then
        cur=${words[-1]}
        unset 'words[-1]'
    fi
    local count=${#words[@]}
    local prev=${words[count - 1]}
    COMPREPLY=()

    if [[ ${words[1]} == verify ]]; then
        # verify [--no-host] STATE_DIR FILE.aff
        local args=$((count - 2))
        [[ ${words[2]} == --no-host ]] && args=$((args - 1))
        if [[ $args -eq 0 && $cur == -* ]]; then
            mapfile -t COMPREPLY < <(compgen -W "--no-host" -- "$cur")
        elif [[ $args -eq 0 ]]; then
            mapfile -t COMPREPLY < <(compgen -d -- "$cur")
            compopt -o filenames 2>/dev/null
        elif [[ $args -eq 1 ]]; then
            _devsim_aff_files "$cur"
        fi
        return 0
    fi

    case $prev in
    --state)
        mapfile -t COMPREPLY < <(compgen -d -- "$cur")
        compopt -o filenames 2>/dev/null
        return 0
        ;;
    --container)
        _devsim_aff_files "$cur"
        return 0
        ;;
    --summary)
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        compopt -o filenames 2>/dev/null
        return 0
        ;;
    --set-version)
        # Only the name: bash breaks the word at '='.
        mapfile -t COMPREPLY < <(compgen -W "bootloader= host-uc= device-uc= ti= wifi= fpga=" -- "$cur")
        compopt -o nospace 2>/dev/null
        return 0
        ;;
    --app-baud | --throttle-baud)
        mapfile -t COMPREPLY < <(compgen -W "115200 921600 3000000" -- "$cur")
        return 0
        ;;
    --product-id | --hardware-id | --protocol-id | --lose-response | --corrupt-response | \
        --status | --late-response | --at-error | --disconnect-at-part | --silent-after | --random-faults | --seed)
        # A number (or N:WORD): nothing to offer.
        return 0
        ;;
    esac

    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "--state --container --product-id --hardware-id
            --protocol-id --set-version --no-host --boot --app-baud --device-log --lose-response
            --corrupt-response --status --late-response --at-error --disconnect-at-part --silent-after
            --random-faults --seed --throttle --throttle-baud -v --verbose --summary -h --help" -- "$cur")
    else
        # LINK, the path the terminal's link is made at; or the verify command.
        mapfile -t COMPREPLY < <(compgen -f -- "$cur"; [[ $count -eq 1 ]] && compgen -W "verify" -- "$cur")
        compopt -o filenames 2>/dev/null
    fi
    return 0
}
complete -F _devsim devsim
