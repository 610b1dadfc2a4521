#!/usr/bin/env bash
# The update benchmark: the real updater against the emulator, throttled at
# 115200, 921600 and 3000000 baud, unthrottled for the CPU cost per MiB, and
# 1, 4 and 16 devices at once. Takes about ten minutes; see docs/performance.md.
#
#   bench/run.sh BIN_DIR [options]     (bench/run.sh --help lists the options)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
if [ $# -lt 1 ] || [ "$1" = "-h" ] || [ "$1" = "--help" ]; then
  exec python3 "$here/bench.py" --help
fi
exec python3 "$here/bench.py" "$@"
