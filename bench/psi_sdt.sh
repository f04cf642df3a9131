#!/usr/bin/env bash
# Time of `vantrel-cli sdt` (all three stages on a fresh analysis) on a file
# of at least 1 GiB made by repeating tests/data/streams/mpts-3prog.ts, beside
# `dvbinfo -f FILE` (dvbpsi-utils) and `ffprobe -show_programs FILE` (ffmpeg)
# on the same file in the same run. The file is read once first so every tool
# finds it in the page cache. Prints the median of RUNS wall-clock times of
# each and the ratios; the target is vantrel at least 3x faster than the
# faster of the other two.
# Usage: bench/psi_sdt.sh [BUILD_DIR (default build)] [RUNS (default 5)]
# Installs dvbpsi-utils and ffmpeg when missing (benchmark only; apt-get as
# root, sudo otherwise). The 1 GiB file stays in ${TMPDIR:-/tmp}/vantrel-bench.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-5}

if ! command -v dvbinfo >/dev/null || ! command -v ffprobe >/dev/null; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq dvbpsi-utils ffmpeg >/dev/null
fi

cmake --build "$build" --target vantrel-cli bench_psi_sdt >/dev/null
cli="$build/cli/vantrel-cli"

sample=tests/data/streams/mpts-3prog.ts
work="${TMPDIR:-/tmp}/vantrel-bench"
file="$work/mpts-3prog-1g.ts"
sample_size=$(stat -c %s "$sample")
copies=$(( (1024 * 1024 * 1024 + sample_size - 1) / sample_size ))
mkdir -p "$work"
if [ ! -f "$file" ] || [ "$(stat -c %s "$file")" -ne $((copies * sample_size)) ]; then
  echo "== making $file ($copies copies of $sample)"
  rm -f "$file"
  for _ in $(seq "$copies"); do cat "$sample"; done > "$file"
fi
cat "$file" > /dev/null
echo "== $file: $(stat -c %s "$file") bytes, $runs runs each, page cache warm"

# Median wall-clock seconds of RUNS runs of a command (output discarded).
median_seconds() {
  local times=()
  for _ in $(seq "$runs"); do
    local start end
    start=$(date +%s%N)
    "$@" > /dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
    end=$(date +%s%N)
    times+=($(( end - start )))
  done
  printf '%s\n' "${times[@]}" | sort -n | awk -v n="$runs" 'NR == int((n + 1) / 2) { printf "%.4f", $1 / 1e9 }'
}

"$cli" sdt "$file"
vantrel=$(median_seconds "$cli" sdt "$file")
dvbinfo_s=$(median_seconds dvbinfo -f "$file")
ffprobe_s=$(median_seconds ffprobe -v error -show_programs "$file")
echo "vantrel-cli sdt            ${vantrel} s"
echo "dvbinfo -f                 ${dvbinfo_s} s"
echo "ffprobe -show_programs     ${ffprobe_s} s"
echo "in-process SDT command:    $("$build/bench/bench_psi_sdt" "$file" "$runs")"
awk -v v="$vantrel" -v d="$dvbinfo_s" -v f="$ffprobe_s" 'BEGIN {
  best = (d < f) ? d : f
  printf "ratio dvbinfo/vantrel      %.1f\n", d / v
  printf "ratio ffprobe/vantrel      %.1f\n", f / v
  printf "ratio faster-other/vantrel %.1f (target >= 3)\n", best / v
}'
