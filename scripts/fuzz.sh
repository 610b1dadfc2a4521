#!/usr/bin/env bash
# Fuzzing with libFuzzer (clang, AddressSanitizer, UndefinedBehaviorSanitizer).
#
#   scripts/fuzz.sh build           configure and build the targets in $FUZZ_BUILD
#   scripts/fuzz.sh run SECONDS [TARGET...]
#                                   run each target (or those named) SECONDS long, one after the other
#   scripts/fuzz.sh smoke           build, then run each target briefly ($SMOKE_SECONDS)
#   scripts/fuzz.sh seeds           rewrite the committed seeds in fuzz/corpus/
#   scripts/fuzz.sh replay FILE...  run inputs through every target once
#   scripts/fuzz.sh coverage        line and branch coverage of each target's corpus
#                                   (a separate build in $FUZZ_BUILD-cov)
#
# The growing corpus of each target lives in $FUZZ_BUILD/corpus-NAME, started
# from the seeds in fuzz/corpus/NAME; crash inputs are written to
# $FUZZ_BUILD/artifacts/ and each run appends its figures to
# $FUZZ_BUILD/fuzz-history.txt. Exit status 1 when a target found a crash.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${FUZZ_BUILD:-$root/build-fuzz}"
jobs="${JOBS:-2}"
smoke_seconds="${SMOKE_SECONDS:-20}"

# target:corpus name:largest input
targets=(
  "engine_rx_fuzz:engine:4096"
  "engine_faults_fuzz:faults:512"
  "aff_parse_fuzz:aff:16384"
  "affpack_roundtrip_fuzz:affpack:4096"
)

usage() {
  sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'
  exit 1
}

do_build() {
  "$root/scripts/install-deps.sh" fuzz
  if [ ! -f "$build/build.ninja" ]; then
    CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DUPD_TESTS=OFF -DUPD_FUZZ=ON -DUPD_WERROR=ON >/dev/null
  fi
  nice cmake --build "$build" -j "$jobs" --target engine_rx_fuzz engine_faults_fuzz aff_parse_fuzz affpack_roundtrip_fuzz \
    fuzz_seedgen
}

# run_target TARGET CORPUS MAXLEN SECONDS: one libFuzzer session; prints its figures.
run_target() {
  local target="$1" name="$2" maxlen="$3" seconds="$4"
  local corpus="$build/corpus-$name" log="$build/logs/$target.log"
  mkdir -p "$corpus" "$build/artifacts" "$build/logs"
  local status=0
  # Standard output is closed for the targets: the container reader prints its
  # one message there for every unsupported file.
  nice "$build/bin/$target" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 -max_len="$maxlen" \
    -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
    "$corpus" "$root/fuzz/corpus/$name" >"$log" 2>&1 || status=$?
  local runs cov corp
  runs="$(grep -oE 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -oE '[0-9]+$' || echo 0)"
  cov="$(grep -oE 'cov: [0-9]+' "$log" | tail -1 | grep -oE '[0-9]+' || echo 0)"
  corp="$(ls "$corpus" | wc -l)"
  printf '%s %-24s %6ss %10s runs  cov %5s  corpus %5s  %s\n' "$(date -u +%Y-%m-%dT%H:%M:%SZ)" "$target" \
    "$seconds" "$runs" "$cov" "$corp" "$([ $status -eq 0 ] && echo ok || echo CRASH)" | tee -a "$build/fuzz-history.txt"
  if [ $status -ne 0 ]; then
    grep -E 'ERROR|SUMMARY|broken|Test unit written' "$log" | head -20 >&2 || true
    return 1
  fi
}

# run_all SECONDS [TARGET...]: every target, or only those named.
run_all() {
  local seconds="$1" failed=0 passes=0 fails=0
  shift
  for t in "${targets[@]}"; do
    IFS=: read -r target name maxlen <<<"$t"
    if [ $# -gt 0 ] && [[ " $* " != *" $target "* ]]; then
      continue
    fi
    if run_target "$target" "$name" "$maxlen" "$seconds"; then
      passes=$((passes + 1))
    else
      failed=1
      fails=$((fails + 1))
    fi
  done
  echo "fuzz: $passes passed, $fails failed"
  return $failed
}

# Replays each corpus in a build instrumented for source coverage and reports
# the project's own code (the fuzz harness and test support left out).
do_coverage() {
  local cov="$build-cov"
  "$root/scripts/install-deps.sh" fuzz
  if [ ! -f "$cov/build.ninja" ]; then
    CC=clang CXX=clang++ cmake -S "$root" -B "$cov" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DUPD_TESTS=OFF -DUPD_FUZZ=ON -DUPD_FUZZ_COVERAGE=ON -DUPD_WERROR=ON >/dev/null
  fi
  nice cmake --build "$cov" -j "$jobs" --target engine_rx_fuzz engine_faults_fuzz aff_parse_fuzz \
    affpack_roundtrip_fuzz
  for t in "${targets[@]}"; do
    IFS=: read -r target name _ <<<"$t"
    rm -f "$cov/$target.profraw"
    mkdir -p "$build/corpus-$name"
    LLVM_PROFILE_FILE="$cov/$target.profraw" "$cov/bin/$target" -runs=0 -close_fd_mask=1 \
      "$build/corpus-$name" "$root/fuzz/corpus/$name" >/dev/null 2>&1
    llvm-profdata merge -sparse "$cov/$target.profraw" -o "$cov/$target.profdata"
    llvm-cov report "$cov/bin/$target" -instr-profile="$cov/$target.profdata" \
      -ignore-filename-regex='(/fuzz/|/tests/|^/usr/)' >"$build/coverage-$target.txt"
    echo "== $target ($(ls "$build/corpus-$name" | wc -l) corpus inputs): $build/coverage-$target.txt"
    grep -E '^(Filename|TOTAL)' "$build/coverage-$target.txt"
  done
}

cmd="${1:-}"
case "$cmd" in
  build)
    do_build
    ;;
  run)
    [ $# -ge 2 ] || usage
    do_build
    shift
    run_all "$@"
    ;;
  smoke)
    do_build
    run_all "$smoke_seconds"
    ;;
  seeds)
    do_build
    for d in engine faults aff affpack; do
      rm -rf "$root/fuzz/corpus/$d"
      mkdir -p "$root/fuzz/corpus/$d"
    done
    "$build/bin/fuzz_seedgen" "$root/fuzz/corpus/engine" "$root/fuzz/corpus/aff" "$root/fuzz/corpus/affpack" \
      "$root/fuzz/corpus/faults"
    ;;
  replay)
    shift
    [ $# -ge 1 ] || usage
    do_build
    for t in "${targets[@]}"; do
      IFS=: read -r target _ _ <<<"$t"
      "$build/bin/$target" -close_fd_mask=1 "$@"
    done
    ;;
  coverage)
    do_coverage
    ;;
  *)
    usage
    ;;
esac
