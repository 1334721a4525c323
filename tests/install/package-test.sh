#!/usr/bin/env bash
# The installed desktop files pass their validators; the two Debian packages
# that cpack builds from the build tree pass lintian without an error or a
# warning, without a hardening or an unneeded-section tag, and hold what a
# user's system needs and no test tool: quorvel-flash (the terminal's tool,
# the flash's process, the SG_IO manager) pulls no windowing library and runs
# from its own files alone; quorvel (the window) depends on it, on the fonts
# and on Qt's platform plugins; every binary an install puts in place
# (the package's and the simulated machine's) passes hardening-check, and was
# compiled, unit by unit, with the hardening flags.
#   package-test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d /tmp/quorvel-package-test-XXXXXX)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL: $*" >&2; failed=1; }

cmake --install "$build" --prefix "$work/prefix" >/dev/null
cmake --install "$build" --prefix "$work/prefix" --component sim >/dev/null
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
terminal=$(ls "$work"/deb/quorvel-flash_*.deb)
window=$(ls "$work"/deb/quorvel_*.deb)

# quorvel-flash: what a server that only flashes installs.
depends=$(dpkg-deb -f "$terminal" Depends)
gui=$(tr ',' '\n' <<<"$depends" | grep -E 'libqt6(gui|widgets|opengl|xcb)|qt6-qpa|qt6-wayland|fonts-|libx11|libxcb|libgl|libegl|libwayland|libfontconfig|libfreetype' || true)
[ -z "$gui" ] || fail "quorvel-flash pulls a windowing library: $gui"
for needed in libqt6core6 libqt6dbus6 libsgutils2; do
  grep -q "$needed" <<<"$depends" || fail "quorvel-flash does not depend on $needed: $depends"
done
dpkg-deb -x "$terminal" "$work/terminal"
needs=$(find "$work/terminal" -type f \( -perm -u+x -o -name '*.so*' \) -exec readelf -d {} + 2>/dev/null |
  sed -n 's/.*Shared library: \[\(.*\)\]/\1/p' | sort -u | tr '\n' ' ')
grep -qE 'libQt6(Gui|Widgets)' <<<"$needs" && fail "a binary of quorvel-flash needs a windowing library: $needs"
# The sense decoder: a program that links Debian's sg3_utils library (the
# flash's process, once it says why a command failed) brings its package.
grep -q 'libsgutils2' <<<"$needs" && ! grep -q libsgutils2 <<<"$depends" &&
  fail "a program links libsgutils2 but quorvel-flash does not depend on it: $depends"
contents=$(dpkg-deb -c "$terminal")
for file in ./usr/bin/quorvel-flash ./usr/lib/quorvel/quorvel-transfer ./usr/lib/quorvel/sg/libwnaspi32.so.1 \
  ./usr/lib/modules-load.d/quorvel.conf ./usr/share/man/man1/quorvel-flash.1.gz \
  ./usr/share/bash-completion/completions/quorvel-flash; do
  grep -q " $file\$" <<<"$contents" || fail "quorvel-flash lacks $file"
done
grep -qE 'bin/quorvel$|applications/|icons/|metainfo/' <<<"$contents" && fail "quorvel-flash holds the window's files"
grep -qx sg "$work/terminal/usr/lib/modules-load.d/quorvel.conf" || fail "modules-load.d does not name sg"
# Run from the package's own files: no library of the build tree but the
# simulated machine's, no display.
cp "$(dirname "$0")/../../demo/machine/demo.machine" "$work/demo.machine"
listed=$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb LD_LIBRARY_PATH="$build/sim" \
  QUORVEL_SIM_MACHINE="$work/demo.machine" XDG_STATE_HOME="$work/state" \
  "$work/terminal/usr/bin/quorvel-flash" list 2>&1) || fail "the packaged quorvel-flash list failed: $listed"
grep -q 'CDRW-4824A' <<<"$listed" || fail "the packaged quorvel-flash listed: $listed"

# quorvel: the window, over the terminal's package.
depends=$(dpkg-deb -f "$window" Depends)
for needed in "quorvel-flash (= 2.02)" fonts-wine qt6-qpa-plugins libqt6widgets6; do
  grep -qF "$needed" <<<"$depends" || fail "quorvel does not depend on $needed: $depends"
done
[ "$(dpkg-deb -f "$window" Recommends)" = qt6-wayland ] || fail "quorvel does not recommend qt6-wayland"
contents=$(dpkg-deb -c "$window")
for file in ./usr/bin/quorvel ./usr/share/man/man1/quorvel.1.gz ./usr/share/applications/org.quorvel.Quorvel.desktop; do
  grep -q " $file\$" <<<"$contents" || fail "quorvel lacks $file"
done
grep -qE 'quorvel-transfer|libwnaspi32|bin/quorvel-flash' <<<"$contents" && fail "quorvel holds the terminal package's files"
for deb in "$terminal" "$window"; do
  contents=$(dpkg-deb -c "$deb")
  grep -q 'quorvel/sim' <<<"$contents" && fail "$(basename "$deb") holds the simulated machine"
  grep -q 'quorvel-mkimage' <<<"$contents" && fail "$(basename "$deb") holds quorvel-mkimage"
  dpkg-deb -x "$deb" "$work/root"
done

# lintian warns that it runs as root; that is the test's, not the package's.
lintian --pedantic --display-info "$terminal" "$window" 2>&1 | grep -v 'running with root privileges' |
  tee "$work/lintian.log" || true
grep -qE '^(E|W): ' "$work/lintian.log" && fail "lintian found errors or warnings"
# An override that no longer matches is reported too: the overrides stay true.
grep -qE ': (hardening-[a-z-]+|binary-has-unneeded-section|unused-override|mismatched-override)( |$)' \
  "$work/lintian.log" && fail "lintian: a hardening, unneeded-section or override tag"

# hardening-check on every binary, as packaged and as the simulated machine
# installs. Two of its tests cannot tell everywhere, and are then read from
# the compile flags in the debug information below: the fortify test finds
# only checked calls, and a binary whose calls the compiler proved safe has
# none (what the package's lintian overrides say, for the binaries they name);
# the control-flow test reads the binary's IBT/SHSTK property, which no
# binary has where the C library's start files lack it (Debian 12).
is_elf() { [ "$(od -An -tx1 -N4 "$1" | tr -d ' \n')" = 7f454c46 ]; }
compiler=$(sed -n 's/^CMAKE_CXX_COMPILER:FILEPATH=//p' "$build/CMakeCache.txt")
control_flow=()
readelf -n "$("$compiler" -print-file-name=Scrt1.o)" | grep 'IBT, SHSTK' >/dev/null || control_flow=(--nocfprotection)
overrides=$work/root/usr/share/lintian/overrides/quorvel-flash
checked=0
while IFS= read -r -d '' file; do
  is_elf "$file" || continue
  options=("${control_flow[@]}")
  relative=${file#"$work/root/"}
  [ "$relative" != "$file" ] && grep -qxF "hardening-no-fortify-functions [$relative]" "$overrides" &&
    options+=(--nofortify)
  hardening-check "${options[@]}" "$file" >"$work/hardening.log" 2>&1 || fail "$(cat "$work/hardening.log")"
  checked=$((checked + 1))
done < <(find "$work/root" "$work/prefix/bin" "$work/prefix/lib/quorvel/sim" -type f -print0)
[ "$checked" -ge 7 ] || fail "hardening-check saw $checked binaries, not the packages' four and the simulated machine's three"

# The flags themselves, from the staging install (not stripped): every
# compilation unit of every installed binary names them, and glibc's fortified
# headers took part. A build without debug information (Release) cannot tell.
flags="-fstack-protector-strong -fstack-clash-protection"
[ "$(uname -m)" = x86_64 ] && flags="$flags -fcf-protection"
while IFS= read -r -d '' file; do
  is_elf "$file" || continue
  units=$(readelf --debug-dump=info --dwarf-depth=1 "$file" 2>/dev/null | awk -v flags="$flags" '
    BEGIN { n = split(flags, need, " ") }
    /DW_TAG_compile_unit/ { unit = 1; producer = ""; next }
    unit && /DW_AT_producer/ { producer = $0 " " }
    unit && /DW_AT_name/ {
      unit = 0; seen++
      for (i = 1; i <= n; i++) if (index(producer, " " need[i]) == 0) { sub(/.*: /, ""); print "lacks " need[i] ": " $0; break }
    }
    END { if (!seen) print "none" }')
  [ "$units" = none ] && { echo "package: ${file#"$work/"} has no debug information: its compile flags are not read"; continue; }
  [ -z "$units" ] || fail "${file#"$work/"}: $units"
  # grep reads to the end: with -q, readelf would die of a closed pipe.
  readelf --debug-dump=rawline "$file" | grep -E '(string_fortified|stdio2|fcntl2)\.h' >/dev/null ||
    fail "${file#"$work/"} was not compiled with _FORTIFY_SOURCE"
done < <(find "$work/prefix/bin" "$work/prefix/lib/quorvel" -type f -print0)

[ "$failed" -eq 0 ] && echo "package: validators clean, $(basename "$terminal") (no windowing library) and" \
  "$(basename "$window") without lintian errors, warnings or hardening tags, $checked binaries hardened"
exit "$failed"
