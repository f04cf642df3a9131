#!/usr/bin/env bash
# Service information benchmark (not a test): `vantrel-cli services` beside
# `vantrel-cli analyze` over the same 1 GiB file in the page cache (the
# multi-program sample repeated, bench/out/, shared with
# bench/health_analyze.sh). Target: services/analyze time under 2.
# Also `tables` and `epg`, which read the same way, and services' peak memory.
#
# Usage: bench/si_services.sh [BUILD_DIR] [RUNS]   (defaults: build, 3)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-3}
. bench/repeated_file.sh
bench_build "$build" vantrel-cli
cli=$build/cli/vantrel-cli

sample=tests/data/streams/mpts-3prog.ts
file=bench/out/health-1gib.ts
make_repeated_file "$sample" "$file" $((1024 * 1024 * 1024))
bytes=$(stat -c %s "$file")

# best_time NAME COMMAND...: the best of $runs runs in seconds, each run printed.
best_time() {
  local name=$1; shift
  local best="" start end took
  for run in $(seq "$runs"); do
    start=$(date +%s.%N)
    "$@" > /dev/null 2>&1 || true
    end=$(date +%s.%N)
    took=$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f", e - s }')
    printf '  %-9s run %d: %7.3f s\n' "$name" "$run" "$took" >&2
    best=$(awk -v t="$took" -v b="$best" 'BEGIN { print (b == "" || t < b) ? t : b }')
  done
  echo "$best"
}

echo "file: $file ($bytes bytes)"
analyze=$(best_time analyze "$cli" analyze "$file")
services=$(best_time services "$cli" services "$file")
tables=$(best_time tables "$cli" tables "$file")
epg=$(best_time epg "$cli" epg "$file")
ratio() { awk -v a="$1" -v b="$analyze" 'BEGIN { printf "%.2f", a / b }'; }
printf 'analyze:  %7.3f s  %7.1f MB/s\n' "$analyze" "$(awk -v b="$bytes" -v t="$analyze" 'BEGIN { print b / 1e6 / t }')"
printf 'services: %7.3f s  services/analyze %s (target < 2)\n' "$services" "$(ratio "$services")"
printf 'tables:   %7.3f s  tables/analyze %s\n' "$tables" "$(ratio "$tables")"
printf 'epg:      %7.3f s  epg/analyze %s\n' "$epg" "$(ratio "$epg")"
printf 'services peak memory: %d KB\n' \
  "$(/usr/bin/time -v "$cli" services "$file" 2>&1 >/dev/null | sed -n 's/^[[:space:]]*Maximum resident set size (kbytes): //p')"
