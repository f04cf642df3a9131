#!/usr/bin/env bash
# Builds the Debian package from the build (as scripts/package does), lists
# it, and checks its contents, its control fields and lintian's verdict.
# Usage: deb_package_test.sh CPACK BUILD_DIR VERSION HAS_GUI(0|1)
set -euo pipefail
cpack=$1 build=$2 version=$3 gui=$4

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work" > "$work/cpack.log" 2>&1 \
  || { cat "$work/cpack.log"; fail "cpack"; }
debs=("$work"/*.deb)
[ ${#debs[@]} = 1 ] && [ -f "${debs[0]}" ] || fail "expected one .deb, found: ${debs[*]}"
deb=${debs[0]}
echo "== $(basename "$deb")"
dpkg-deb -c "$deb" | tee "$work/contents.txt"
dpkg-deb -f "$deb" Package Version Architecture Depends Recommends | tee "$work/control.txt"

listed() { awk '{print $6}' "$work/contents.txt" | grep -qx "./usr/$1" || fail "not in the package: /usr/$1"; }
for file in bin/vantrel-cli bin/vantrel-boxsim bin/vantrel-dvbbridge share/man/man1/vantrel-dvbbridge.1.gz share/man/man1/vantrel-cli.1.gz share/man/man1/vantrel-boxsim.1.gz \
            share/doc/vantrel/copyright share/doc/vantrel/changelog.gz \
            share/vantrel/prometheus/vantrel-alerts.yml share/vantrel/prometheus/prometheus-example.yml; do
  listed "$file"
done
if awk '{print $6}' "$work/contents.txt" | grep -v '^\./usr/\|^\./$'; then fail "files outside /usr"; fi
grep -qx "Version: $version" "$work/control.txt" || fail "package version is not $version"
depends=$(grep '^Depends:' "$work/control.txt")
grep -q 'libc6 (>=' <<<"$depends" || fail "no libc6 dependency: $depends"
if [ "$gui" = 1 ]; then
  for file in bin/vantrel share/man/man1/vantrel.1.gz share/applications/vantrel.desktop \
              share/metainfo/vantrel.metainfo.xml share/icons/hicolor/scalable/apps/vantrel.svg \
              share/icons/hicolor/48x48/apps/vantrel.png share/icons/hicolor/64x64/apps/vantrel.png \
              share/icons/hicolor/128x128/apps/vantrel.png; do
    listed "$file"
  done
  for library in libqt6core6 libqt6gui6 libqt6widgets6; do
    grep -q "$library" <<<"$depends" || fail "no $library dependency: $depends"
  done
fi
# The programs in the package are stripped (debug information stays in the build).
dpkg-deb -x "$deb" "$work/root"
for program in "$work"/root/usr/bin/*; do
  if readelf -S "$program" | grep -q '\.debug_info'; then fail "$program is not stripped"; fi
done

echo "== lintian"
status=0
lintian --fail-on error --suppress-tags-from-file /dev/null "$deb" > "$work/lintian.txt" 2>&1 || status=$?
cat "$work/lintian.txt"
[ "$status" = 0 ] || fail "lintian found errors"
