#!/usr/bin/env bash
# Production line: flashes one container into many devices at once, one updater
# per serial port, run by GNU parallel (Debian package `parallel`).
#
#   scripts/flash-line.sh [-l LOGDIR] [-u UPDATER] [-j JOBS] [-t SECONDS] [-F] FILE.aff PORT...
#
#   -l LOGDIR   where the logs go (default: flash-YYYYmmdd-HHMMSS in the current directory)
#   -u UPDATER  the updater to run (default: updater from PATH)
#   -j JOBS     at most JOBS ports at a time (default: all at once)
#   -t SECONDS  stop an updater that runs longer than SECONDS (default: no limit)
#   -F          program every component (default: -nf, skip those already current)
#
# For every port, LOGDIR/NAME.log holds the updater's output and NAME.log.err its
# error output, NAME being the port's last path component (ttyUSB0); LOGDIR/joblog
# is parallel's job log, one line a port with its exit status. At the end one line
# a port and a summary name the ports that failed.
# Exit status: 0 when every port succeeded, 1 otherwise.
set -euo pipefail
export LC_NUMERIC=C # the summary prints run times with a decimal point

usage() {
  sed -n '5,11p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 1
}

logdir="flash-$(date +%Y%m%d-%H%M%S)"
updater=updater
jobs=0
timeout=()
skip_current=(-nf)
while getopts "l:u:j:t:Fh" opt; do
  case "$opt" in
    l) logdir="$OPTARG" ;;
    u) updater="$OPTARG" ;;
    j) jobs="$OPTARG" ;;
    t) timeout=(--timeout "$OPTARG") ;;
    F) skip_current=() ;;
    *) usage ;;
  esac
done
shift $((OPTIND - 1))
[ $# -ge 2 ] || usage
container="$1"
shift
ports=("$@")

fail() {
  echo "flash-line.sh: $*" >&2
  exit 1
}
command -v parallel >/dev/null || fail "GNU parallel is not installed (scripts/install-deps.sh installs it)"
command -v "$updater" >/dev/null || fail "no updater at '$updater' (use -u PATH)"
[ -r "$container" ] || fail "cannot read the container $container"
# The logs are named after the ports, so two ports may not share a name.
dups="$(printf '%s\n' "${ports[@]##*/}" | sort | uniq -d)"
[ -z "$dups" ] || fail "two ports named $(echo "$dups" | head -n 1): each port needs its own name"
mkdir -p "$logdir" || fail "cannot create $logdir"

echo "Flashing $container into ${#ports[@]} ports; logs in $logdir/"
# The recipe: one updater per port; output and exit status kept per port.
# parallel's own exit status counts the failed jobs; the summary below tells which.
parallel --quote --jobs "$jobs" "${timeout[@]}" --joblog "$logdir/joblog" --results "$logdir/{/}.log" \
  "$updater" {} -update "$container" "${skip_current[@]}" ::: "${ports[@]}" >/dev/null || true

# joblog columns: Seq Host Starttime JobRuntime Send Receive Exitval Signal Command;
# Seq is the port's place in the list.
# last_error LOG: the updater's last failure line ("ERR: ...", "UB ERROR: ...", "... mismatch!"),
# without colours and progress prefix.
last_error() {
  tr '\r' '\n' <"$1" 2>/dev/null | sed 's/\x1b\[[0-9;]*m//g; s/^\[ *[0-9]*% \] //' |
    grep -aE '^(ERR|UB ERROR): |!$' | grep -av '=== ERRORS OCCURED! ===' | tail -n 1 || true
}

declare -A status
while IFS=$'\t' read -r seq _ _ runtime _ _ exitval signal _; do
  [ "$seq" = "Seq" ] && continue
  status[$seq]="$exitval $signal $runtime"
done <"$logdir/joblog"

failed=()
for i in "${!ports[@]}"; do
  port="${ports[$i]}"
  log="$logdir/${port##*/}.log"
  read -r exitval signal runtime <<<"${status[$((i + 1))]:-none 0 0}"
  if [ "$exitval" = 0 ] && [ "$signal" = 0 ]; then
    printf '%-24s ok      %6.1f s  %s\n' "$port" "$runtime" "$log"
    continue
  fi
  failed+=("$port")
  if [ "$exitval" = none ]; then
    why="not run"
  elif [ "$signal" != 0 ]; then
    why="stopped by signal $signal"
  else
    why="exit $exitval$(last_error "$log" | sed 's/^/: /')"
  fi
  printf '%-24s FAILED  %6.1f s  %s  (%s)\n' "$port" "$runtime" "$log" "$why"
done

if [ ${#failed[@]} -eq 0 ]; then
  echo "All ${#ports[@]} ports flashed."
  exit 0
fi
echo "${#failed[@]} of ${#ports[@]} ports FAILED: ${failed[*]}"
exit 1
