#!/usr/bin/env bash
# Stream Analysis window benchmark (not a test): the time from opening the
# window to its complete PID table on a file of at least 1 GiB in the page
# cache (the multi-program sample repeated, bench/out/, shared with
# bench/health_analyze.sh), beside `vantrel-cli analyze` on the same file in
# the same run; target: the window adds no more than 20 %. Also the longest
# stall of the window's event loop while it analyses (target: none over
# 100 ms), with the Overview and with the Timing tab in front, and the cost of
# a jump of the packet list (time, bytes read per screen). Offscreen Qt.
#
# Usage: bench/stream_analysis.sh [BUILD_DIR] [RUNS]   (defaults: build, 3)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-3}
. bench/repeated_file.sh
bench_build "$build" vantrel-cli bench_stream_analysis_window
cli=$build/cli/vantrel-cli

sample=tests/data/streams/mpts-3prog.ts
file=bench/out/health-1gib.ts
make_repeated_file "$sample" "$file" $((1024 * 1024 * 1024))   # and into the page cache
echo "file: $file ($(stat -c %s "$file") bytes)"

best=
for run in $(seq "$runs"); do
  start=$(date +%s.%N)
  "$cli" analyze "$file" > /dev/null
  end=$(date +%s.%N)
  seconds=$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f", e - s }')
  echo "vantrel-cli analyze run $run: $seconds s"
  best=$(awk -v t="$seconds" -v b="${best:-1e30}" 'BEGIN { print (t < b) ? t : b }')
done
window_out=$(QT_QPA_PLATFORM=offscreen "$build/bench/bench_stream_analysis_window" "$file" "$runs" 2>/dev/null)
echo "$window_out"
window_best=$(echo "$window_out" | sed -n 's/^window best: \([0-9.]*\) s$/\1/p')
printf 'cli best %.3f s, window best %.3f s: the window adds %+.1f %% (target <= +20 %%)\n' "$best" "$window_best" \
  "$(awk -v w="$window_best" -v c="$best" 'BEGIN { print (w / c - 1) * 100 }')"
