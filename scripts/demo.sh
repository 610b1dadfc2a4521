#!/usr/bin/env bash
# A full firmware update, end to end, without hardware:
#   1. build a sample AFF container holding every component,
#   2. start the device emulator (devsim) on a pseudo-terminal,
#   3. run the real updater against it,
#   4. ask the emulator whether the device now holds exactly the container.
#
# Usage: scripts/demo.sh BIN_DIR      (BIN_DIR holds updater, devsim and affpack; `make demo` passes build/bin)
# Exit status: 0 when the update succeeded and the device matches the container, 1 otherwise.

set -euo pipefail

BIN_DIR=${1:-build/bin}
IMAGE_SIZE=65536          # bytes of each firmware image
UPDATE_TIMEOUT_S=300      # an update takes 10 to 15 s; a run this long is stuck
LINK_WAIT_TENTHS=50       # how long devsim may take to create its link

for prog in updater devsim affpack; do
    if [ ! -x "$BIN_DIR/$prog" ]; then
        echo "demo: $BIN_DIR/$prog not found; build first (make build)" >&2
        exit 1
    fi
done
BIN_DIR=$(cd "$BIN_DIR" && pwd)

WORK=$(mktemp -d "${TMPDIR:-/tmp}/updater-demo.XXXXXX")
DEVSIM_PID=""

# shellcheck disable=SC2317 # called by the EXIT trap
cleanup() {
    if [ -n "$DEVSIM_PID" ] && kill -0 "$DEVSIM_PID" 2>/dev/null; then
        kill -TERM "$DEVSIM_PID" 2>/dev/null || true
        wait "$DEVSIM_PID" 2>/dev/null || true
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

step() {
    printf '\n\033[1m==> %s\033[0m\n' "$1"
    shift
    for line in "$@"; do
        printf '    %s\n' "$line"
    done
}

# SIZE bytes of a xorshift sequence started from SEED: the same images on every run.
image() {
    perl -e '
        my ($n, $x) = @ARGV;
        $x = ($x * 2654435761 + 0x9E3779B9) & 0xFFFFFFFF;
        my $out = "";
        for (1 .. $n) {
            $x ^= ($x << 13) & 0xFFFFFFFF;
            $x ^= $x >> 17;
            $x ^= ($x << 5) & 0xFFFFFFFF;
            $out .= chr($x >> 24);
        }
        binmode STDOUT;
        print $out;
    ' "$2" "$3" > "$1"
}

step "Building a sample container" \
     "Seven pseudo-random images of $((IMAGE_SIZE / 1024)) KiB (the FPGA usercode: 8 bytes), packed by affpack" \
     "into one AFF file for product 1, hardware 0, each block with its own version."
image "$WORK/host-uc.bin" "$IMAGE_SIZE" 1
image "$WORK/device-uc.bin" "$IMAGE_SIZE" 2
image "$WORK/ti.bin" "$IMAGE_SIZE" 3
image "$WORK/wifi.bin" "$IMAGE_SIZE" 4
image "$WORK/nvcm0.bin" "$IMAGE_SIZE" 5
image "$WORK/nvcm1.bin" "$IMAGE_SIZE" 6
image "$WORK/usercode.bin" 8 7
DATE="date=Sep 30 2024"
AFF="$WORK/sample.aff"
"$BIN_DIR/affpack" -o "$AFF" --product 1 --hardware 0 --iv 000102030405060708090a0b0c0d0e0f \
    --block "host-uc:$WORK/host-uc.bin:1024:version=10800001:$DATE" \
    --block "device-uc:$WORK/device-uc.bin:1024:version=10800002:$DATE" \
    --block "ti:$WORK/ti.bin:512:version=10800003:$DATE" \
    --block "wifi:$WORK/wifi.bin:1024:version=10800004:$DATE" \
    --block "nvcm0:$WORK/nvcm0.bin:1024:version=10801:$DATE" \
    --block "nvcm1:$WORK/nvcm1.bin:1024:version=10801:$DATE" \
    --block "usercode:$WORK/usercode.bin:8:version=10801:$DATE"

step "What the container holds" "The updater's offline report, no device needed: updater -affver FILE"
"$BIN_DIR/updater" -affver "$AFF"
echo

step "Starting the device emulator" \
     "devsim plays the device on a pseudo-terminal behind $WORK/ttyDEV0: it runs its application," \
     "with a host microcontroller in front of the device microcontroller, the TI controller, the Wi-Fi module" \
     "and the FPGA, all at version 1.0.0.0."
LINK="$WORK/ttyDEV0"
"$BIN_DIR/devsim" --state "$WORK/device" --container "$AFF" --summary "$WORK/summary.json" "$LINK" \
    > "$WORK/devsim.out" 2> "$WORK/devsim.err" &
DEVSIM_PID=$!
for _ in $(seq "$LINK_WAIT_TENTHS"); do
    [ -e "$LINK" ] && break
    if ! kill -0 "$DEVSIM_PID" 2>/dev/null; then
        break
    fi
    sleep 0.1
done
if [ ! -e "$LINK" ]; then
    echo "demo: the emulator did not start:" >&2
    cat "$WORK/devsim.err" >&2
    exit 1
fi
cat "$WORK/devsim.out"

step "Updating the device" \
     "updater PORT -update FILE: the device is rebooted into its bootloader and locked; the host microcontroller" \
     "is programmed, then through it the device microcontroller and the TI controller, the Wi-Fi module after" \
     "the hand-over, and the FPGA's two memories and usercode; finally the device leaves BOOT mode." \
     "The pauses the device prescribes make this take 10 to 15 seconds."
set +e
timeout --foreground "$UPDATE_TIMEOUT_S" "$BIN_DIR/updater" "$LINK" -update "$AFF"
UPDATE_STATUS=$?
set -e
echo
if [ "$UPDATE_STATUS" -eq 124 ]; then
    echo "demo: the update did not end within $UPDATE_TIMEOUT_S s" >&2
fi

step "Checking the device" "devsim verify DIR FILE compares what the device received with the container's images."
set +e
"$BIN_DIR/devsim" verify "$WORK/device" "$AFF"
VERIFY_STATUS=$?
set -e

step "Stopping the emulator"
kill -TERM "$DEVSIM_PID"
wait "$DEVSIM_PID" || true
DEVSIM_PID=""
summary_number() {
    sed -n "s/^  \"$1\": \([0-9]*\).*/\1/p" "$WORK/summary.json"
}
if [ -f "$WORK/summary.json" ]; then
    echo "    The device answered $(summary_number requests_total) request packets" \
         "($(summary_number forwarded_total) of them forwarded by the host microcontroller)" \
         "and $(summary_number text_commands_total) text commands in $(summary_number duration_ms) ms."
fi

if [ "$UPDATE_STATUS" -eq 0 ] && [ "$VERIFY_STATUS" -eq 0 ]; then
    printf '\nDemo complete: the update succeeded and the device holds exactly the container.\n'
    exit 0
fi
printf '\nDemo FAILED: updater exit status %s, verification exit status %s.\n' "$UPDATE_STATUS" "$VERIFY_STATUS" >&2
exit 1
