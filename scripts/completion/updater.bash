# bash completion for updater                                  -*- shell-script -*-
#
#   updater PORT [-readver | -config | -ub | -update FILE.aff | -lock 0|1] [-nf] [-f] [-v]
#   updater -affver FILE.aff
#
# Offers the serial ports present (/dev/ttyS*, /dev/ttyUSB*, /dev/ttyACM*,
# /dev/serial/by-id/*) where a port is expected, and containers (*.aff, then any
# file) where a file is.

# The serial ports present whose name starts with $1, one a line.
_updater_ports()
{
    local p
    for p in /dev/ttyS* /dev/ttyUSB* /dev/ttyACM* /dev/serial/by-id/*; do
        [[ -e $p && $p == "$1"* ]] && printf '%s\n' "$p"
    done
}

# Containers starting with $1: *.aff files and directories; any file when no
# container matches.
_updater_aff_files()
{
    mapfile -t COMPREPLY < <(compgen -f -X '!*.[aA][fF][fF]' -- "$1"; compgen -d -- "$1")
    if [[ ${#COMPREPLY[@]} -eq 0 ]]; then
        mapfile -t COMPREPLY < <(compgen -f -- "$1")
    fi
    compopt -o filenames 2>/dev/null
}

_updater()
{
    # Words up to the cursor, split at blanks only (a port or file may hold ':').
    local line=${COMP_LINE:0:COMP_POINT} cur="" words
    read -ra words <<<"$line"
    if [[ -n $line && $line != *[[:space:]] ]]; then
        cur=${words[-1]}
        unset 'words[-1]'
    fi
    local count=${#words[@]}
    local prev=${words[count - 1]}
    COMPREPLY=()

    if [[ $count -eq 1 ]]; then
        # The port, or -affver.
        mapfile -t COMPREPLY < <(_updater_ports "$cur"; compgen -W "-affver" -- "$cur")
        if [[ ${#COMPREPLY[@]} -eq 0 && $cur == */* ]]; then
            # A port elsewhere, e.g. the emulator's link /tmp/ttyDEV0.
            mapfile -t COMPREPLY < <(compgen -f -- "$cur")
            compopt -o filenames 2>/dev/null
        fi
        return 0
    fi
    if [[ ${words[1]} == -affver ]]; then
        [[ $count -eq 2 ]] && _updater_aff_files "$cur"
        return 0
    fi
    case $prev in
    -update)
        _updater_aff_files "$cur"
        return 0
        ;;
    -lock)
        mapfile -t COMPREPLY < <(compgen -W "0 1" -- "$cur")
        return 0
        ;;
    esac
    mapfile -t COMPREPLY < <(compgen -W "-readver -config -ub -update -lock -nf -f -v" -- "$cur")
    return 0
}
complete -F _updater updater
