#!/usr/bin/env bash
# The installed desktop files pass their validators, and the Debian package
# that cpack builds from the build tree passes lintian without an error or a
# warning and holds what a user's system needs.
#   package-test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d /tmp/quorvel-package-test-XXXXXX)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL: $*" >&2; failed=1; }

cmake --install "$build" --prefix "$work/prefix" >/dev/null
share=$work/prefix/share
desktop-file-validate "$share/applications/org.quorvel.Quorvel.desktop" || fail "desktop entry"
metainfo=$share/metainfo/org.quorvel.Quorvel.metainfo.xml
if ! report=$(appstreamcli validate --no-net "$metainfo" 2>&1) || grep -qE '^(E|W):' <<<"$report"; then
  fail "AppStream metainfo: $report"
fi
grep -q '<release version="2.02"' "$metainfo" || fail "the metainfo names no release 2.02"
grep -q '<screenshot type="default">' "$metainfo" || fail "the metainfo has no screenshot"
for page in "$share"/man/man1/*.1.gz; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
done
for size in 16x16 32x32 48x48 256x256 scalable; do
  ls "$share/icons/hicolor/$size/apps/org.quorvel.Quorvel."* >/dev/null 2>&1 || fail "no $size icon"
done

(cd "$build" && cpack -G DEB -B "$work/deb" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log" >&2; fail "cpack"; }
deb=$(ls "$work"/deb/quorvel_*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
for needed in fonts-wine qt6-qpa-plugins libqt6widgets6 libqt6dbus6; do
  grep -q "$needed" <<<"$depends" || fail "the package does not depend on $needed: $depends"
done
contents=$(dpkg-deb -c "$deb")
for file in ./usr/bin/quorvel ./usr/bin/quorvel-flash ./usr/lib/quorvel/sg/libwnaspi32.so.1 \
  ./usr/lib/modules-load.d/quorvel.conf ./usr/share/man/man1/quorvel.1.gz ./usr/share/man/man1/quorvel-flash.1.gz; do
  grep -q " $file\$" <<<"$contents" || fail "the package lacks $file"
done
grep -q 'quorvel/sim' <<<"$contents" && fail "the package holds the simulated machine"
dpkg-deb -x "$deb" "$work/root"
grep -qx sg "$work/root/usr/lib/modules-load.d/quorvel.conf" || fail "modules-load.d does not name sg"

# lintian warns that it runs as root; that is the test's, not the package's.
lintian --pedantic --display-info "$deb" 2>&1 | grep -v 'running with root privileges' | tee "$work/lintian.log" || true
grep -qE '^(E|W): ' "$work/lintian.log" && fail "lintian found errors or warnings"
[ "$failed" -eq 0 ] && echo "package: validators clean, $(basename "$deb") without lintian errors or warnings"
exit "$failed"
