#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer in build-fuzz and runs each
# for a bounded time. Fails when a target crashes, leaks or trips a sanitizer.
#   scripts/fuzz.sh [seconds for the trailer, default 30]
# The channel's and the record's readers, what a follower of a flash may
# send, and the cause of a failed command, get a third of that each (at
# least 5 s): they are small, and the whole run stays short for CI.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-30}
third=$((seconds / 3 < 5 ? 5 : seconds / 3))
build="$root/build-fuzz"

bash "$root/scripts/build.sh" "$build" --source fuzz --target trailer_fuzz --target channel_fuzz --target record_fuzz \
  --target failure_cause_fuzz --target follower_fuzz \
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

# Seeds for the channel: a line of each word both sides write, one cut short,
# and a line of exactly the longest length the reader lets through.
corpus="$build/corpus/channel"
mkdir -p "$corpus"
printf 'quorvel-transfer 2\nheld\nblock 3 7\nfinal 7\naccepted 7\nreleased\n' >"$corpus/sent"
printf 'refused 3 7\nrefused 0 7\nbusy\n' >"$corpus/refused"
printf 'say a\\nb \\x1b\\\\ c\nunguarded no lock\\t here\ndeclined why\n' >"$corpus/texts"
printf 'quorvel-transfer 2\nflash 0 1 393216 60 7\n' >"$corpus/flash"
printf 'record {"quorvel-record":1,"flash":"x"}\nstart\nrestart requested\nrestart accepted\n' >"$corpus/record"
printf 'restart refused\nrestart withheld\nrelease\nblock 3 ' >"$corpus/cut"
{ head -c 16384 /dev/zero | tr '\0' 'a'; printf '\nheld\n'; } >"$corpus/longest"

# Lines just past the limit are reached only by growing the longest seed at
# once, so the input's length is not held back.
"$build/channel_fuzz" -max_total_time="$third" -max_len=33000 -len_control=0 -timeout=10 \
  -print_final_stats=1 -artifact_prefix="$build/channel-" "$corpus"
echo "fuzz: channel_fuzz ran ${third}s without a crash"

# Seeds for a follower: its first byte says after how many lines it is
# adopted. One that watches, its adopter's end, and one that tries to start.
corpus="$build/corpus/follower"
mkdir -p "$corpus"
printf '\x09quorvel-transfer 3\nwatch\n' >"$corpus/watch"
printf '\x02quorvel-transfer 3\nwatch\nrestart requested\nrestart accepted\nrelease\n' >"$corpus/adopter"
printf '\x01quorvel-transfer 3\nstart\nflash 0 1 393216 60 7\n' >"$corpus/starts"

"$build/follower_fuzz" -max_total_time="$third" -max_len=33000 -timeout=10 -print_final_stats=1 \
  -artifact_prefix="$build/follower-" "$corpus"
echo "fuzz: follower_fuzz ran ${third}s without a crash"

# Seeds for the record: one line as the programs write it, and its refused kin.
corpus="$build/corpus/record"
mkdir -p "$corpus"
line='{"adapter":1,"block":7,"blocks":7,"boot":"6f1c2d9e-58b4-4a8e-9d3f-0c7b1a2e4f60",'
line+='"detail":"","event":"accepted","file":"seed \u00e9.bin","flash":"2026-12-07T16:20:01Z-4242-1",'
line+='"model":"FUZZ DRIVE","program":"quorvel-flash","quorvel-record":1,'
line+='"revision":"1.00","sha256":"9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08",'
line+='"size":393216,"target":0,"time":"2026-12-07T16:20:01Z","vendor":"SEED","version":"1.01"}'
printf '%s' "$line" >"$corpus/accepted"
printf '%s' "${line/\"accepted\"/\"refused\"}" | sed 's/"block":7/"block":3/' >"$corpus/refused"

"$build/record_fuzz" -max_total_time="$third" -max_len=4096 -timeout=10 -print_final_stats=1 \
  -artifact_prefix="$build/record-" "$corpus"
echo "fuzz: record_fuzz ran ${third}s without a crash"

# Seeds for the cause: SRB_Status, SRB_HaStat, SRB_TargStat, then the sense,
# fixed and descriptor format, one cut short, and a time-out.
corpus="$build/corpus/failure"
mkdir -p "$corpus"
printf '\x04\x00\x02\x70\x00\x05\x00\x00\x00\x00\x0a\x00\x00\x00\x00\x20\x00' >"$corpus/fixed"
printf '\x04\x00\x02\x72\x02\x04\x01\x00\x00\x00\x00' >"$corpus/descriptor"
printf '\x04\x00\x02\x71\x00\x06' >"$corpus/short"
printf '\x04\x0b\x00' >"$corpus/timeout"
printf '\x82\x00\x00' >"$corpus/gone"

"$build/failure_cause_fuzz" -max_total_time="$third" -max_len=300 -timeout=10 -print_final_stats=1 \
  -artifact_prefix="$build/failure-" "$corpus"
echo "fuzz: failure_cause_fuzz ran ${third}s without a crash"
