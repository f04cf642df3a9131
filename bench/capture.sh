#!/usr/bin/env bash
# Live capture benchmark: for each bitrate, starts vantrel-boxsim (T-path box,
# model 46) playing a stream of distinct packets, captures it for 20 s with
# bench_capture (tune + RunCapture by time, as a capture worker does), checks
# the file byte for byte against the looped stream, and prints the CPU time
# of the capturing process (getrusage) per GB captured and as a share of one
# core, plus the simulator's own CPU share. Ends with the highest bitrate
# captured without loss.
#
# Usage: bench/capture.sh [BUILD_DIR] [SECONDS] [RATES_MBIT...]
#        (defaults: build, 20, 20 50 100 150 200 250 300 400)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
seconds=${2:-20}
shift $(( $# > 2 ? 2 : $# ))
rates=("$@")
[ ${#rates[@]} -gt 0 ] || rates=(20 50 100 150 200 250 300 400)
if [ ! -f "$build/build.ninja" ] && [ ! -f "$build/Makefile" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
if ! log=$(cmake --build "$build" --target bench_capture vantrel-boxsim -j2 2>&1); then
  echo "$log" >&2
  exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-capture-bench-XXXXXX")
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

source_file=$work/source.ts
"$build/bench/bench_capture" --write-source "$source_file" 50000   # 9.4 MB, all packets distinct
export VANTREL_DEVICE_DIR=$work/dev

best=0
for rate in "${rates[@]}"; do
  "$build/sim/vantrel-boxsim" --kind t --lock-ms 0 --device-dir "$VANTREL_DEVICE_DIR" \
    --stream "$source_file" --bitrate $((rate * 1000000)) >"$work/sim.out" 2>"$work/sim.err" &
  sim_pid=$!
  for _ in $(seq 100); do grep -q ready "$work/sim.out" 2>/dev/null && break; sleep 0.05; done
  if line=$("$build/bench/bench_capture" --source "$source_file" --seconds "$seconds" \
              --out "$work/capture.ts" --sim-pid "$sim_pid"); then
    [ "$rate" -gt "$best" ] && best=$rate
  fi
  printf '%4d Mbit/s: %s\n' "$rate" "$line"
  kill "$sim_pid"; wait "$sim_pid" 2>/dev/null || true
  sim_pid=""
  rm -f "$work/capture.ts"
done
echo "highest bitrate captured without loss: $best Mbit/s (${seconds} s each)"
