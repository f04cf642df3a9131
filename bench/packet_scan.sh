#!/usr/bin/env bash
# Packet scan benchmark: builds bench_packet_scan, makes a file of at least
# 1 GiB by repeating a sample stream (bench/out/, kept between runs), warms
# the page cache, then times `cat FILE > /dev/null` and the scan in the same
# run and prints both rates and their ratio (target >= 0.7).
#
# Usage: bench/packet_scan.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
if [ ! -f "$build/build.ninja" ] && [ ! -f "$build/Makefile" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
if ! log=$(cmake --build "$build" --target bench_packet_scan -j2 2>&1); then
  echo "$log" >&2
  exit 1
fi

sample=tests/data/streams/mpts-3prog.ts   # a whole number of 188-byte packets
file=bench/out/scan-1gib.ts
. bench/repeated_file.sh
make_repeated_file "$sample" "$file" $((1024 * 1024 * 1024))   # and into the page cache
bytes=$(stat -c %s "$file")

best_cat=""
for run in 1 2 3; do
  start=$(date +%s.%N)
  cat "$file" > /dev/null
  end=$(date +%s.%N)
  rate=$(awk -v b="$bytes" -v s="$start" -v e="$end" 'BEGIN { printf "%.3f", b / 1e6 / (e - s) }')
  printf 'cat run %d: %.1f MB/s\n' "$run" "$rate"
  best_cat=$(awk -v r="$rate" -v b="${best_cat:-0}" 'BEGIN { print (r > b) ? r : b }')
done

scan_output=$("$build/bench/bench_packet_scan" "$file" 0x1ABC 3)
echo "$scan_output"
best_scan=$(echo "$scan_output" | sed -n 's/^best: \([0-9.]*\) MB\/s$/\1/p')

printf 'file: %s (%d bytes)\n' "$file" "$bytes"
printf 'cat:  %.1f MB/s\nscan: %.1f MB/s\nratio scan/cat: %.2f (target >= 0.7)\n' \
  "$best_cat" "$best_scan" "$(awk -v s="$best_scan" -v c="$best_cat" 'BEGIN { print s / c }')"
