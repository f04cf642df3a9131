#!/usr/bin/env bash
# Output identity check for work on the engine's speed (not a test): runs
# `vantrel-cli analyze`, `services`, `tables` and `epg` (text and --json, and
# `epg --xmltv`) over every sample stream, the crafted edge streams and a few
# damaged variants (192- and 204-byte packets, bytes cut out, a flipped sync
# byte, a sync loss), and stores what they print (exit status included).
#
# Usage: bench/output_identity.sh save DIR [BUILD_DIR]     store the outputs in DIR
#        bench/output_identity.sh compare DIR [BUILD_DIR]  compare with DIR; exit 1 on a difference
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:?save or compare}
dir=${2:?output folder}
build=${3:-build}
cli=$build/cli/vantrel-cli
variants=bench/out/identity-variants

# The damaged variants, made once from the samples (deterministic).
if [ ! -f "$variants/.done" ]; then
  mkdir -p "$variants"
  python3 - "$variants" <<'EOF'
import sys, os
out = sys.argv[1]
src = open("tests/data/streams/mpts-3prog.ts", "rb").read()[: 188 * 12000]
packets = [src[i:i + 188] for i in range(0, len(src), 188)]
def write(name, data):
    open(os.path.join(out, name), "wb").write(data)
# 192 bytes: a 27 MHz arrival stamp in front of each packet (about 10 Mbit/s).
stamp, b = 0, bytearray()
for p in packets:
    b += (stamp & 0x3FFFFFFF).to_bytes(4, "big") + p
    stamp += 4060
write("stamped192.ts", bytes(b))
# The same with 3000 bytes cut out in the middle (a sync loss, then garbage stamps).
write("stamped192-cut.ts", bytes(b[: 192 * 6000 + 77] + b[192 * 6000 + 3077:]))
# 204 bytes: 16 bytes of parity behind each packet.
write("parity204.ts", b"".join(p + bytes([0x5A]) * 16 for p in packets))
# Bytes cut out at three places.
write("cut.ts", src[: 188 * 3000 + 50] + src[188 * 3000 + 150: 188 * 7000] + src[188 * 7000 + 1000: 188 * 9000 + 3]
      + src[188 * 9000 + 40:])
# One damaged sync byte, and two in a row (sync loss) later.
d = bytearray(src)
d[188 * 4000] = 0x46
d[188 * 8000] = 0x00
d[188 * 8001] = 0x00
write("sync.ts", bytes(d))
# The last packet cut short.
write("tail.ts", src[: len(src) - 100])
EOF
  touch "$variants/.done"
fi

files=(tests/data/streams/*.ts tests/data/streams/edge/*.ts tests/data/streams/edge/*.m2ts "$variants"/*.ts)
run_all() {
  local target=$1
  mkdir -p "$target"
  for f in "${files[@]}"; do
    local name
    name=$(basename "$f")
    for cmd in "analyze" "analyze --json" "analyze --si none" "services" "services --json" "tables" "tables --json" \
               "epg" "epg --json" "epg --xmltv"; do
      # shellcheck disable=SC2086
      { "$cli" $cmd "$f" 2>&1; echo "exit $?"; } > "$target/$name.${cmd// /_}.out" || true
    done
  done
}

case $mode in
  save) rm -rf "$dir"; run_all "$dir"; echo "saved $(ls "$dir" | wc -l) outputs in $dir" ;;
  compare)
    now=$(mktemp -d)
    run_all "$now"
    if diff -r "$dir" "$now" > "$now.diff"; then
      echo "identical: $(ls "$now" | wc -l) outputs"
      rm -rf "$now" "$now.diff"
    else
      echo "DIFFERENT (diff in $now.diff):"
      grep '^diff\|^Only' "$now.diff" | head -20
      exit 1
    fi
    ;;
  *) echo "usage: $0 save|compare DIR [BUILD_DIR]" >&2; exit 2 ;;
esac
