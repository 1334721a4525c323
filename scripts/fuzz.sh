#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer in build-fuzz and runs each
# for a bounded time. Fails when a target crashes, leaks or trips a sanitizer.
#   scripts/fuzz.sh [seconds per target, default 30]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-30}
build="$root/build-fuzz"

bash "$root/scripts/build.sh" "$build" --source fuzz --target trailer_fuzz \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++

corpus="$build/corpus/trailer"
mkdir -p "$corpus"
# Seeds: a near trailer, and an 0xFF at size-48 with room for the far one.
trailer='SEED    FUZZ DRIVE      1.00\x20\x05'
# header: image size 262144 (little-endian), 32 KiB, 5 blocks, filler count
printf '\x00\x00\x04\x00\x20\x05\x00\x00\x00xxxxxxxxxx'"$trailer"'yyyyyyyyyyyyyyyyyy' >"$corpus/near"
{
  printf '\x00\x00\x04\x00\x20\x05\x30\x00\x01'"$trailer"  # 65584 bytes of filler in front
  head -c 100 /dev/zero | tr '\0' 'z'
  printf '\xff'
  head -c 47 /dev/zero | tr '\0' 'w'
} >"$corpus/far"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export QT_QPA_PLATFORM=offscreen
cd "$build"
"$build/trailer_fuzz" -max_total_time="$seconds" -max_len=4096 -timeout=10 -print_final_stats=1 \
  -artifact_prefix="$build/" "$corpus"
echo "fuzz: trailer_fuzz ran ${seconds}s without a crash"
