#!/usr/bin/env bash
# Live monitor benchmark (not a test): for each bitrate, starts vantrel-boxsim
# (terrestrial box) playing the multi-program sample, runs
# `vantrel-cli monitor --seconds SECONDS --json` against it and prints the
# ring overruns (bytes dropped because the reader fell behind), the
# continuity errors the engine saw (the sample loops seamlessly only on its
# own packets, so a few at each loop point are expected; an overrun would add
# more), the rate received, and the CPU share of the monitor process.
#
# Usage: bench/health_monitor.sh [BUILD_DIR] [SECONDS] [RATES_MBIT...]
#        (defaults: build, 10, 50 100 200 400)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
seconds=${2:-10}
shift $(( $# > 2 ? 2 : $# ))
rates=("$@")
[ ${#rates[@]} -gt 0 ] || rates=(50 100 200 400)
if [ ! -f "$build/build.ninja" ] && [ ! -f "$build/Makefile" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
if ! log=$(cmake --build "$build" --target vantrel-cli vantrel-boxsim -j2 2>&1); then
  echo "$log" >&2
  exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-monitor-bench-XXXXXX")
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
export VANTREL_DEVICE_DIR=$work/dev XDG_CONFIG_HOME=$work/config

for rate in "${rates[@]}"; do
  "$build/sim/vantrel-boxsim" --kind t --lock-ms 0 --device-dir "$VANTREL_DEVICE_DIR" \
    --stream tests/data/streams/mpts-3prog.ts --bitrate $((rate * 1000000)) >"$work/sim.out" 2>"$work/sim.err" &
  sim_pid=$!
  for _ in $(seq 100); do grep -q ready "$work/sim.out" 2>/dev/null && break; sleep 0.05; done
  /usr/bin/time -f '%e %U %S' -o "$work/time" "$build/cli/vantrel-cli" monitor --freq 474000 --bw 8 \
    --seconds "$seconds" --json > "$work/monitor.json" 2>"$work/monitor.err" || true
  kill "$sim_pid"; wait "$sim_pid" 2>/dev/null || true
  sim_pid=""
  summary=$(tail -n 1 "$work/monitor.json")
  read -r elapsed user system < "$work/time"
  python3 - "$rate" "$summary" "$elapsed" "$user" "$system" <<'PY'
import json, sys
rate, summary, elapsed, user, system = sys.argv[1], json.loads(sys.argv[2]), *map(float, sys.argv[3:])
received = summary["bytes"] * 8 / summary["monitor_s"] / 1e6
print(f"{int(rate):4d} Mbit/s: received {received:7.1f} Mbit/s, ring overruns {summary['ring_overruns']}, "
      f"continuity errors {summary['errors']['continuity']}, packets {summary['packets']}, "
      f"monitor CPU {100 * (user + system) / elapsed:5.1f} % of one core")
PY
done
