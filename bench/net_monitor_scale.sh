#!/usr/bin/env bash
# Network monitor benchmark (not a test): for each input count N, starts one
# `vantrel-cli monitor` with N rtp:// inputs on loopback and N `vantrel-cli
# play` senders of the multi-program sample at RATE Mbit/s each, for SECONDS.
# Prints per N the datagrams lost (RTP sequence gaps: the monitor fell behind
# and the kernel dropped them), the rate received per input, the monitor's CPU
# (% of one core, and per input) and its resident memory a few seconds in and
# at the end (a soak: run one count for minutes and compare the two).
# The senders run on the same machine: their CPU is not the monitor's, but
# they compete with it for the cores.
#
# Usage: bench/net_monitor_scale.sh [BUILD_DIR] [SECONDS] [RATE_MBIT] [COUNTS...]
#        (defaults: build, 15, 20, 5 10 20 30)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
seconds=${2:-15}
rate=${3:-20}
shift $(( $# > 3 ? 3 : $# ))
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(5 10 20 30)
. bench/repeated_file.sh
bench_build "$build" vantrel-cli

work=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-net-bench-XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
base_port=$(( 20000 + RANDOM % 20000 ))

rss_kb() { awk '/VmRSS/ {print $2}' "/proc/$1/status" 2>/dev/null || echo 0; }

for count in "${counts[@]}"; do
  args=()
  for i in $(seq 0 $((count - 1))); do args+=(--input "in$i=rtp://127.0.0.1:$((base_port + i))"); done
  /usr/bin/time -f '%e %U %S' -o "$work/time" "$build/cli/vantrel-cli" monitor --json --seconds "$seconds" \
    "${args[@]}" > "$work/monitor.json" 2> "$work/monitor.err" &
  monitor=$!
  start_uptime=$(awk '{print int($1)}' /proc/uptime)
  pids=("$monitor")
  sleep 0.5
  # The real monitor process is the child of time.
  monitor_pid=$(pgrep -P "$monitor" -f vantrel-cli | head -n 1 || true)
  for i in $(seq 0 $((count - 1))); do
    "$build/cli/vantrel-cli" play tests/data/streams/mpts-3prog.ts --to "rtp://127.0.0.1:$((base_port + i))" \
      --bitrate $((rate * 1000000)) --loop --seconds $((seconds + 2)) -q &
    pids+=($!)
  done
  # Resident memory at 3 s, then at each quarter of the run (the last one 2 s before the end).
  sleep 3
  rss=("$(rss_kb "$monitor_pid")")
  for quarter in 1 2 3 4; do
    target=$(( seconds * quarter / 4 - (quarter == 4 ? 2 : 0) ))
    [ "$target" -gt 3 ] || continue
    while [ "$(awk '{print int($1)}' /proc/uptime)" -lt $(( start_uptime + target )) ]; do sleep 0.2; done
    rss+=("$(rss_kb "$monitor_pid")")
  done
  wait "$monitor" || true
  for pid in "${pids[@]:1}"; do wait "$pid" 2>/dev/null || true; done
  pids=()
  read -r elapsed user system < "$work/time"
  python3 - "$count" "$rate" "$elapsed" "$user" "$system" "$work/monitor.json" "${rss[*]}" <<'PY'
import json, sys
count, rate = int(sys.argv[1]), int(sys.argv[2])
elapsed, user, system = map(float, sys.argv[3:6])
rss = [int(k) / 1024 for k in sys.argv[7].split()]
lost = summaries = 0
rates = []  # per input and second, once every sender runs (from the 4th second on)
for line in open(sys.argv[6]):
    o = json.loads(line)
    if o.get("summary"):
        summaries += 1
        lost += o.get("lost_datagrams", 0)
    elif o["time_s"] >= 4 and o["state"] == "receiving":
        rates.append(o["input_bps"] / 1e6)
cpu = 100 * (user + system) / elapsed
mean = sum(rates) / len(rates) if rates else 0
print(f"{count:3d} inputs x {rate} Mbit/s: lost datagrams {lost}, received {mean:6.2f} Mbit/s per input and "
      f"second (min {min(rates, default=0):.2f}), monitor CPU {cpu:5.1f} % of one core ({cpu / count:4.2f} % per "
      f"input), RSS MB at 3 s and each quarter: {' '.join(f'{r:.1f}' for r in rss)}")
PY
done
