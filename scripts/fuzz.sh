#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer in build-fuzz and runs each
# for a bounded time. Fails when a target crashes, leaks or trips a sanitizer.
#   scripts/fuzz.sh [seconds per target, default 30]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-30}
build="$root/build-fuzz"

cmake -S "$root/fuzz" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j "$(nproc)" --target trailer_fuzz

corpus="$build/corpus/trailer"
mkdir -p "$corpus"
# Seeds: a near trailer, and an 0xFF at size-48 with room for the far one.
python3 - "$corpus" <<'PY'
import os, struct, sys
d = sys.argv[1]
trailer = b"SEED    FUZZ DRIVE      1.00" + bytes([32, 5])
def seed(name, filler, body):
    with open(os.path.join(d, name), "wb") as f:
        f.write(struct.pack("<i", 262144) + bytes([32, 5]) + filler.to_bytes(3, "little") + body)
seed("near", 0, b"x" * 10 + trailer + b"y" * 18)
seed("far", 65584, trailer + b"z" * 100 + b"\xff" + b"w" * 47)
PY

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export QT_QPA_PLATFORM=offscreen
cd "$build"
"$build/trailer_fuzz" -max_total_time="$seconds" -max_len=4096 -timeout=10 -print_final_stats=1 \
  -artifact_prefix="$build/" "$corpus"
echo "fuzz: trailer_fuzz ran ${seconds}s without a crash"
