#!/usr/bin/env bash
# Installs the build into a temporary prefix and runs the installed programs
# from there, in a clean environment whose PATH holds only the prefix and the
# system folders, with a copy of the sample outside the source tree: a program
# that still needed the build or source folder would fail or differ here.
# Usage: install_test.sh CMAKE BUILD_DIR SOURCE_DIR VERSION HAS_GUI(0|1) SAMPLE
set -euo pipefail
cmake=$1 build=$2 source=$3 version=$4 gui=$5 sample=$6

work=$(mktemp -d)
box_pid=
cleanup() {
  if [ -n "$box_pid" ]; then kill "$box_pid" 2>/dev/null || true; wait "$box_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

prefix=$work/usr
"$cmake" --install "$build" --prefix "$prefix" > "$work/install.log" || { cat "$work/install.log"; fail "cmake --install"; }

# What a desktop and `man` look for.
expected=(bin/vantrel-cli bin/vantrel-boxsim bin/vantrel-dvbbridge share/man/man1/vantrel-dvbbridge.1.gz
          share/man/man1/vantrel-cli.1.gz share/man/man1/vantrel-boxsim.1.gz
          share/doc/vantrel/copyright share/doc/vantrel/changelog.gz
          share/vantrel/prometheus/vantrel-alerts.yml share/vantrel/prometheus/prometheus-example.yml)
if [ "$gui" = 1 ]; then
  expected+=(bin/vantrel share/man/man1/vantrel.1.gz
             share/applications/vantrel.desktop share/metainfo/vantrel.metainfo.xml
             share/icons/hicolor/scalable/apps/vantrel.svg)
  for size in 48 64 128; do expected+=("share/icons/hicolor/${size}x${size}/apps/vantrel.png"); done
fi
for file in "${expected[@]}"; do
  [ -f "$prefix/$file" ] || fail "not installed: $file"
done
for program in "$prefix"/bin/*; do
  [ -x "$program" ] || fail "not executable: $program"
done

if [ "$gui" = 1 ]; then
  # A PNG's width and height are the big-endian words at bytes 16 and 20.
  for size in 48 64 128; do
    png=$prefix/share/icons/hicolor/${size}x${size}/apps/vantrel.png
    read -r w1 w2 w3 w4 h1 h2 h3 h4 < <(od -An -tu1 -j16 -N8 "$png")
    width=$(( (w1 << 24) | (w2 << 16) | (w3 << 8) | w4 )) height=$(( (h1 << 24) | (h2 << 16) | (h3 << 8) | h4 ))
    [ "$width" = "$size" ] && [ "$height" = "$size" ] || fail "$png is ${width}x${height}, not ${size}x${size}"
  done
  desktop-file-validate "$prefix/share/applications/vantrel.desktop" || fail "desktop entry"
  grep -qx 'Exec=vantrel' "$prefix/share/applications/vantrel.desktop" || fail "desktop entry does not start vantrel"
  # Errors fail; warnings are shown (the id is not reverse-DNS: the project has no domain of its own).
  appstreamcli validate --no-net "$prefix/share/metainfo/vantrel.metainfo.xml" > "$work/appstream.log" 2>&1 || true
  cat "$work/appstream.log"
  grep -q '^✔\|^W:\|^I:' "$work/appstream.log" || fail "appstreamcli did not validate the metainfo"
  if grep -q '^E:' "$work/appstream.log"; then fail "AppStream metainfo has errors"; fi
  grep -q "<release version=\"$version\"" "$prefix/share/metainfo/vantrel.metainfo.xml" || fail "metainfo release is not $version"
fi

# Nothing points back into the build: no run path, and no build or source
# folder among the strings of the code itself (debug information aside).
for program in "$prefix"/bin/*; do
  if readelf -d "$program" | grep -E 'RPATH|RUNPATH'; then fail "$program has a run path"; fi
  strip -o "$work/stripped" "$program"
  if grep -qaF -e "$build" -e "$source" "$work/stripped"; then
    fail "$program names the build or source folder: $(grep -aoF -e "$build" -e "$source" "$work/stripped" | head -1)"
  fi
done
for page in "$prefix"/share/man/man1/*.1.gz; do
  name=$(basename "$page" .1.gz)
  text=$(gzip -dc "$page")
  grep -q "^\.TH ${name^^} \"1\" .*\"$name $version\"" <<<"$text" || fail "$page: no title line for $name $version"
  if grep -qF -e "$build" -e "$source" <<<"$text"; then fail "$page names the build or source folder"; fi
done
# vantrel-cli's page carries every subcommand's options, from its own --help.
gzip -dc "$prefix/share/man/man1/vantrel-cli.1.gz" | grep -q '^\.SS "vantrel-cli pat"' || fail "vantrel-cli page lacks the pat subcommand"

mkdir -p "$work/home" "$work/run"
cp "$sample" "$work/run/sample.ts"
cd "$work/run"
# env execs the program, so a background run's $! is the program itself.
installed=(env -i HOME="$work/home" PATH="$prefix/bin:/usr/bin:/bin" VANTREL_DEVICE_DIR="$work/devices")
for program in vantrel-cli vantrel-boxsim vantrel-dvbbridge $([ "$gui" = 1 ] && echo vantrel); do
  [ "$("${installed[@]}" sh -c 'command -v "$0"' "$program")" = "$prefix/bin/$program" ] || fail "$program is not found on PATH in $prefix/bin"
  answer=$("${installed[@]}" "$program" --version) || fail "$program --version failed"
  [ "$answer" = "$program $version" ] || fail "$program --version said '$answer', expected '$program $version'"
done

# The installed analysis says what the built one says.
"${installed[@]}" vantrel-cli pat sample.ts > "$work/installed-pat.txt" || fail "installed vantrel-cli pat failed"
"$build/cli/vantrel-cli" pat sample.ts > "$work/built-pat.txt" || fail "built vantrel-cli pat failed"
grep -q 'program' "$work/installed-pat.txt" || { cat "$work/installed-pat.txt"; fail "no programs listed by the installed vantrel-cli pat"; }
cmp "$work/installed-pat.txt" "$work/built-pat.txt" || fail "installed and built vantrel-cli pat differ"

# The installed simulator serves the installed command line.
"${installed[@]}" vantrel-boxsim --kind bus --model-code HVLPX5 > "$work/boxsim.out" 2> "$work/boxsim.err" &
box_pid=$!
for _ in $(seq 300); do
  grep -q '^ready' "$work/boxsim.out" && break
  kill -0 "$box_pid" 2>/dev/null || { cat "$work/boxsim.err"; fail "installed vantrel-boxsim ended"; }
  sleep 0.1
done
grep -q '^ready' "$work/boxsim.out" || { cat "$work/boxsim.err"; fail "installed vantrel-boxsim not ready in 30 s"; }
device=$("${installed[@]}" vantrel-cli device) || fail "installed vantrel-cli device failed"
grep -q 'kind BUS' <<<"$device" || fail "installed vantrel-cli device said '$device'"
if [ "$gui" = 1 ]; then
  # The desktop entry's command starts the installed application on that box;
  # it keeps running (timeout ends it) instead of ending at once as it would
  # without a box or without its Qt plugins.
  status=0
  "${installed[@]}" QT_QPA_PLATFORM=offscreen timeout 5 vantrel > "$work/vantrel.log" 2>&1 || status=$?
  [ "$status" = 124 ] || { cat "$work/vantrel.log"; fail "installed vantrel ended with $status instead of running"; }
fi
kill "$box_pid"
status=0
wait "$box_pid" || status=$?
box_pid=
[ "$status" = 0 ] || { cat "$work/boxsim.err"; fail "installed vantrel-boxsim ended with $status on SIGTERM"; }
echo "installed into $prefix and ran: $(ls "$prefix/bin" | tr '\n' ' ')"
