#!/usr/bin/env bash
# Stream health benchmark (not a test).
#  1. Throughput: `vantrel-cli analyze` over a file of at least 1 GiB (the
#     multi-program sample repeated, bench/out/, kept between runs) in the
#     page cache, beside `cat FILE > /dev/null` in the same run (target
#     analyze/cat >= 0.5), and beside `ffprobe -v error -show_packets` and
#     `dvbinfo -f` on the same file as ratios.
#  2. Peak memory (/usr/bin/time -v) for the 1 GiB file and for 8 GiB (the
#     same file eight times through a pipe): it should stay about the same.
#
# ffprobe (Debian ffmpeg) and dvbinfo (Debian dvbpsi-utils) are needed only
# here; they are installed with apt-get when missing, unless
# HEALTH_BENCH_NO_INSTALL=1, in which case their rows are left out.
# HEALTH_BENCH_ANALYZE_ONLY=1 times cat and analyze alone (also with
# --si none), without ffprobe, dvbinfo and the memory rows.
#
# Usage: bench/health_analyze.sh [BUILD_DIR] [RUNS]   (defaults: build, 3)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-3}
. bench/repeated_file.sh
bench_build "$build" vantrel-cli
cli=$build/cli/vantrel-cli

analyze_only=${HEALTH_BENCH_ANALYZE_ONLY:-0}
if [ "$analyze_only" != 1 ] && [ "${HEALTH_BENCH_NO_INSTALL:-0}" != 1 ] && { ! command -v ffprobe >/dev/null || ! command -v dvbinfo >/dev/null; }; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd=sudo
  { $sudo_cmd apt-get update -qq && $sudo_cmd env DEBIAN_FRONTEND=noninteractive \
      apt-get install -y --no-install-recommends ffmpeg dvbpsi-utils; } >/dev/null 2>&1 ||
    echo "note: could not install ffmpeg and dvbpsi-utils; their rows are left out" >&2
fi

sample=tests/data/streams/mpts-3prog.ts
file=bench/out/health-1gib.ts
make_repeated_file "$sample" "$file" $((1024 * 1024 * 1024))   # and into the page cache
bytes=$(stat -c %s "$file")

# best_rate NAME COMMAND...: the best of $runs runs in MB/s, each run printed.
best_rate() {
  local name=$1; shift
  local best=0 start end rate
  for run in $(seq "$runs"); do
    start=$(date +%s.%N)
    "$@" > /dev/null 2>&1 || true
    end=$(date +%s.%N)
    rate=$(awk -v b="$bytes" -v s="$start" -v e="$end" 'BEGIN { printf "%.1f", b / 1e6 / (e - s) }')
    printf '  %-8s run %d: %8.1f MB/s\n' "$name" "$run" "$rate" >&2
    best=$(awk -v r="$rate" -v b="$best" 'BEGIN { print (r > b) ? r : b }')
  done
  echo "$best"
}

echo "file: $file ($bytes bytes)"
cat_rate=$(best_rate cat cat "$file")
analyze_rate=$(best_rate analyze "$cli" analyze "$file")
printf 'cat:      %8.1f MB/s\n' "$cat_rate"
printf 'analyze:  %8.1f MB/s   analyze/cat %.2f (target >= 0.5)\n' "$analyze_rate" \
  "$(awk -v a="$analyze_rate" -v c="$cat_rate" 'BEGIN { print a / c }')"
if [ "$analyze_only" = 1 ]; then
  plain_rate=$(best_rate si-none "$cli" analyze --si none "$file")
  printf 'analyze --si none: %8.1f MB/s   /cat %.2f\n' "$plain_rate" \
    "$(awk -v a="$plain_rate" -v c="$cat_rate" 'BEGIN { print a / c }')"
  exit 0
fi
if command -v ffprobe >/dev/null; then
  ffprobe_rate=$(best_rate ffprobe ffprobe -v error -show_packets "$file")
  printf 'ffprobe:  %8.1f MB/s   analyze/ffprobe %.1f\n' "$ffprobe_rate" \
    "$(awk -v a="$analyze_rate" -v f="$ffprobe_rate" 'BEGIN { print a / f }')"
fi
if command -v dvbinfo >/dev/null; then
  dvbinfo_rate=$(best_rate dvbinfo dvbinfo -f "$file")
  printf 'dvbinfo:  %8.1f MB/s   analyze/dvbinfo %.1f\n' "$dvbinfo_rate" \
    "$(awk -v a="$analyze_rate" -v d="$dvbinfo_rate" 'BEGIN { print a / d }')"
fi

peak_kb() {
  /usr/bin/time -v "$@" 2>&1 >/dev/null | sed -n 's/^[[:space:]]*Maximum resident set size (kbytes): //p'
}
echo "peak memory (maximum resident set size):"
printf '  1 GiB file:          %8d KB\n' "$(peak_kb "$cli" analyze "$file")"
export HEALTH_BENCH_FILE=$file
printf '  8 GiB through a pipe: %7d KB\n' \
  "$(peak_kb bash -c 'for i in 1 2 3 4 5 6 7 8; do cat "$HEALTH_BENCH_FILE"; done | "$0" analyze -' "$cli")"
