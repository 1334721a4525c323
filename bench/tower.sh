#!/usr/bin/env bash
# quorvel-flash write to a tower of drives at once (--all), the whole
# program, on the simulated machine: DRIVES drives of one model, each taking
# DELAY_MS over every download command and ending it later from its own
# thread, and an image of BLOCKS blocks of 60 KiB (a command each).
#   bench/tower.sh BUILD_DIR [ROUNDS] [DRIVES] [DELAY_MS] [BLOCKS] [MEMORY_TOWERS]
# Defaults: 15 rounds, 8 drives, 10 ms, 12 blocks, towers of "1 4 8" drives
# ("" leaves the memory out).
#
#   wall time    `write --all --yes` against `write --drive 0:0 --yes` (one
#                drive alone, the same machine, image and timing), rounds
#                alternating the two sides and which goes first; the ratio
#                taken round by round. One drive after another would be
#                DRIVES times one drive's time. Both from quorvel-flash's
#                start to its end, and to the end of the last process (the
#                quorvel-transfers end after the front end);
#   processor    the front end's and every quorvel-transfer's processor
#                time, their whole lives, as bench_process_tree collects
#                them (each transfer comes to it once quorvel-flash has
#                ended; one that quorvel-flash collected itself is in
#                quorvel-flash's figure), over the drive count. A round
#                fails unless every drive's process was seen to its end;
#   where the    up to five more rounds of each side with the machine's
#   time goes    trace on: when each drive was taken, its blocks sent and
#                answered, against the program's start and end (medians);
#   memory       towers of MEMORY_TOWERS drives (--all over a machine of
#                that many) writing an image of 40 blocks of 255 KiB
#                (9.96 MiB) at 2 ms a command, the counts alternating round
#                by round: the peak of the processes' summed Pss
#                (smaps_rollup, read every 5 ms), in which the sealed copy
#                that every process maps counts once, and the libraries
#                they share once; beside it the sum of each process's own
#                peak (VmHWM), which counts both in each. The cost of a
#                drive is the slope of the summed Pss (medians) over the
#                drive count. A reading that catches a process as it ends
#                can count what it shared twice: the max, not the median.
set -euo pipefail
build=$(cd "$1" && pwd)
rounds=${2:-15}
drives=${3:-8}
delay=${4:-10}
blocks=${5:-12}
towers=${6-"1 4 8"}
memory_delay=2
memory_kb=255
memory_blocks=40
for f in "$build/bin/quorvel-flash" "$build/bin/quorvel-transfer" "$build/bin/quorvel-mkimage" \
         "$build/sim/libwnaspi32.so.1" "$build/bench/bench_process_tree"; do
  [ -e "$f" ] || { echo "missing $f (configure with -DQUORVEL_BENCH=ON and build)" >&2; exit 1; }
done
[ "$drives" -ge 2 ] && [ "$drives" -le 64 ] || { echo "DRIVES is 2 to 64, not $drives" >&2; exit 2; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

spread() {
  sort -g | awk -v f="${1:-%.3f}" '{ a[NR] = $1 }
    END { m = NR % 2 ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2
          printf "min " f "  median " f "  max " f, a[1], m, a[NR] }'
}
median() { spread "%.6f" | awk '{ print $4 }'; }
load() { cut -d' ' -f1-3 /proc/loadavg; }

# machine FILE COUNT DELAY_MS [trace]: COUNT drives of the image's model,
# eight an adapter (discovery asks targets 0 to 7 of each). No state file:
# every run finds them all at the old revision.
machine() {
  local file=$1 count=$2 ms=$3 adapters=$((($2 + 7) / 8)) i
  {
    [ "${4:-}" = trace ] && echo "trace quorvel-sim.trace"
    echo "adapters $adapters"
    for ((i = 0; i < count; i++)); do
      echo "device $((i / 8)) $((i % 8)) type=0x05 vendor=\"QUORVEL \" product=\"BENCH-DRIVE     \" revision=\"1.00\" delay=$ms completion=later"
    done
  } >"$file"
}

# flash DIR MACHINE IMAGE EVERY_MS [--pss] -- ARGUMENTS...: one run of
# quorvel-flash write under bench_process_tree, in DIR, with a record of its
# own and no bus (the inhibitors are told so at once and hold nothing up);
# the report in DIR/tree.
flash() {
  local dir=$1 machine=$2 image=$3 every=$4
  shift 4
  local options=()
  while [ "$1" != -- ]; do options+=("$1"); shift; done
  shift
  rm -rf "$dir/state" "$dir/tree"
  (cd "$dir" && env -i PATH="$PATH" HOME="$dir" XDG_STATE_HOME="$dir/state" \
    DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent \
    LD_LIBRARY_PATH="$build/sim" QUORVEL_SIM_MACHINE="$machine" \
    "$build/bench/bench_process_tree" --every "$every" "${options[@]}" --report "$dir/tree" -- \
    "$build/bin/quorvel-flash" write "$image" "$@" --yes) >"$dir/out" 2>"$dir/err" ||
    { echo "quorvel-flash write $* failed:" >&2; tail -n 20 "$dir/out" "$dir/err" "$dir/tree" >&2; exit 1; }
  local transfers
  transfers=$(grep -c '^process name=quorvel-transfer\? ' "$dir/tree" || true)
  [ "$transfers" -eq "$expected" ] ||
    { echo "quorvel-flash write $*: $transfers quorvel-transfer processes, not $expected" >&2; cat "$dir/tree" >&2; exit 1; }
}

# figures DIR: the front end's run, the last process's end, the processor
# time of the whole tree (only what was collected here: one collected by its
# parent is in that parent's figures already), the front end's (with any
# transfer it collected itself), the transfers' collected here, and how many
# those were.
figures() {
  awk '/^command / { n = split($0, f, /[ =]/); for (i = 2; i < n; i += 2) v[f[i]] = f[i + 1]; run = v["ms"] }
       /^process / { n = split($0, f, /[ =]/)
                     for (i = 2; i < n; i += 2) v[f[i]] = f[i + 1]
                     if (v["ended_ms"] > last) last = v["ended_ms"]
                     if (v["collected"] != "here") next
                     all += v["cpu_ms"]
                     if (v["name"] == "quorvel-flash") front += v["cpu_ms"]; else { transfers += v["cpu_ms"]; here++ } }
       END { print run, last, all, front, transfers, here + 0 }' "$1/tree"
}

mkdir -p "$scratch/tower" "$scratch/one"
machine "$scratch/drives.machine" "$drives" "$delay"
"$build/bin/quorvel-mkimage" --quiet --model "QUORVEL BENCH-DRIVE" --version 1.01 --block-kb 60 \
  --blocks "$blocks" "$scratch/FW.BIN"

echo "== a tower of $drives drives against one drive alone: $blocks blocks of 60 KiB, each drive $delay ms a block (ended later, from its own thread); $rounds rounds, alternating (load average $(load))"
: >"$scratch/rounds"
for ((round = 0; round < rounds; round++)); do
  sides=(tower one)
  ((round % 2)) && sides=(one tower)
  for side in "${sides[@]}"; do
    if [ "$side" = tower ]; then
      expected=$drives flash "$scratch/tower" "$scratch/drives.machine" "$scratch/FW.BIN" 50 -- --all
    else
      expected=1 flash "$scratch/one" "$scratch/drives.machine" "$scratch/FW.BIN" 50 -- --drive 0:0
    fi
  done
  echo "$(figures "$scratch/tower") $(figures "$scratch/one")" >>"$scratch/rounds"
done
# rounds: tower run last cpu front transfers here, one run last cpu front transfers here
echo "  tower (write --all)         $(awk '{ print $1 }' "$scratch/rounds" | spread '%.1f') ms"
echo "  one drive (write --drive)   $(awk '{ print $7 }' "$scratch/rounds" | spread '%.1f') ms"
echo "  ratio, round by round       $(awk '{ print $1 / $7 }' "$scratch/rounds" | spread '%.3f') (one after another: ${drives}x)"
echo "  to the last process's end   tower $(awk '{ print $2 }' "$scratch/rounds" | spread '%.1f') ms, one $(awk '{ print $8 }' "$scratch/rounds" | spread '%.1f') ms; ratio $(awk '{ print $2 / $8 }' "$scratch/rounds" | spread '%.3f')"
echo "  processor, whole lives      tower $(awk '{ print $3 }' "$scratch/rounds" | spread '%.1f') ms; per drive $(awk -v n="$drives" '{ print $3 / n }' "$scratch/rounds" | spread '%.1f') ms"
# The split only where every transfer came here: one that quorvel-flash
# collected itself is counted in quorvel-flash's figure.
split=$(awk -v n="$drives" '$6 == n' "$scratch/rounds")
if [ -n "$split" ]; then
  echo "                              of which quorvel-flash $(awk '{ print $4 }' <<<"$split" | spread '%.1f') ms, each quorvel-transfer $(awk -v n="$drives" '{ print $5 / n }' <<<"$split" | spread '%.1f') ms (mean of the $drives; the $(wc -l <<<"$split") rounds whose every transfer ended after quorvel-flash)"
fi
echo "                              one drive alone $(awk '{ print $9 }' "$scratch/rounds" | spread '%.1f') ms (quorvel-flash $(awk '$12 == 1 { print $10 }' "$scratch/rounds" | spread '%.1f'), quorvel-transfer $(awk '$12 == 1 { print $11 }' "$scratch/rounds" | spread '%.1f'))"

# Where the time goes: the machine's trace (the wall clock, to the
# millisecond, as each command is submitted and each drive taken or let go)
# against the program's start and end as bench_process_tree saw them. A
# drive's answer is its final block's submission and the drive's delay.
traced=$((rounds < 5 ? rounds : 5))
echo "== where the time goes: $traced rounds of each side with the machine's trace, medians in ms (load average $(load))"
machine "$scratch/traced.machine" "$drives" "$delay" trace
: >"$scratch/phases-tower"
: >"$scratch/phases-one"
for ((round = 0; round < traced; round++)); do
  sides=(tower one)
  ((round % 2)) && sides=(one tower)
  for side in "${sides[@]}"; do
    rm -f "$scratch/quorvel-sim.trace"
    if [ "$side" = tower ]; then
      expected=$drives flash "$scratch/tower" "$scratch/traced.machine" "$scratch/FW.BIN" 50 -- --all
    else
      expected=1 flash "$scratch/one" "$scratch/traced.machine" "$scratch/FW.BIN" 50 -- --drive 0:0
    fi
    # Milliseconds of the day (UTC), as the trace's times are read below.
    read -r started ended last < <(awk '/^command / { n = split($0, f, /[ =]/); for (i = 2; i < n; i += 2) v[f[i]] = f[i + 1] }
      /^process / { sub(/.* ended_ms=/, ""); if ($1 > last) last = $1 }
      END { day = v["started_ms"] - int(v["started_ms"] / 86400000) * 86400000
            printf "%.3f %.3f %.3f\n", day, day + v["ms"], day + last }' "$scratch/$side/tree")
    awk -v started="$started" -v ended="$ended" -v last="$last" -v delay="$delay" '
      function at(line,   t) {  # the time= field as milliseconds of the day (UTC)
        match(line, /time=[^ ]*/); t = substr(line, RSTART + 16, 12)
        return ((substr(t, 1, 2) * 60 + substr(t, 4, 2)) * 60 + substr(t, 7, 6)) * 1000
      }
      function since(t) { t -= started; if (t < -43200000) t += 86400000; return t }
      /^START / && !discovered { discovered = at($0) }
      /^HOLD .*Request=take/ { t = at($0); held++; if (!firstHold || t < firstHold) firstHold = t; if (t > lastHold) lastHold = t }
      /^SRB .*Download=1 / { t = at($0); if (!firstBlock || t < firstBlock) firstBlock = t; if (t > lastFirst) lastFirst = t }
      /^SRB .*Phase=final/ { t = at($0) + delay; if (t > answered) answered = t }
      /^HOLD .*Request=release/ { t = at($0); if (t > released) released = t }
      END {
        printf "%.1f %.1f %.1f %.1f %.1f %.1f %.1f %.1f %.1f %.1f\n", since(discovered), firstHold - discovered,
          lastHold - firstHold, firstBlock - lastHold, answered - firstBlock, lastFirst - firstBlock,
          since(ended) - since(answered), since(ended), released - answered, since(last) - since(ended)
      }' "$scratch/quorvel-sim.trace" >>"$scratch/phases-$side"
  done
done
for side in tower one; do
  m() { awk -v c="$1" '{ print $c }' "$scratch/phases-$side" | median | awk '{ printf "%.0f", $1 }'; }
  turn=$(m 3)
  printf '  %-5s  start to discovery %s; to the first drive held %s' "$side" "$(m 1)" "$(m 2)"
  [ "$side" = tower ] && printf '; the other %d taken in turn %s (%s a drive)' $((drives - 1)) "$turn" \
    "$(awk -v t="$turn" -v n="$drives" 'BEGIN { printf "%.1f", t / (n - 1) }')"
  printf '; to the first block %s; the blocks %s (the last drive began %s after the first); the last answer to quorvel-flash'"'"'s end %s; in all %s.\n' \
    "$(m 4)" "$(m 5)" "$(m 6)" "$(m 7)" "$(m 8)"
  printf '         The drives let go %s after the last answer; the last process ended %s after quorvel-flash.\n' "$(m 9)" "$(m 10)"
done

[ -n "$towers" ] || exit 0
echo "== the whole tower's memory: towers of $towers drives, an image of $memory_blocks blocks of $memory_kb KiB, $memory_delay ms a command; $rounds rounds, alternating (load average $(load))"
"$build/bin/quorvel-mkimage" --quiet --model "QUORVEL BENCH-DRIVE" --version 1.01 --block-kb "$memory_kb" \
  --blocks "$memory_blocks" --size $((memory_kb * 1024 * memory_blocks)) "$scratch/LARGE.BIN"
image_kib=$((memory_kb * memory_blocks))
for count in $towers; do
  mkdir -p "$scratch/memory-$count"
  machine "$scratch/memory-$count.machine" "$count" "$memory_delay"
  : >"$scratch/memory-$count/rounds"
done
for ((round = 0; round < rounds; round++)); do
  for count in $towers; do
    dir=$scratch/memory-$count
    expected=$count flash "$dir" "$scratch/memory-$count.machine" "$scratch/LARGE.BIN" 5 --pss -- --all
    # The peak of the summed Pss and its parts; the sum of every process's
    # own peak (ru_maxrss, or VmHWM last read).
    awk '/^pss / { n = split($0, f, /[ =]/); for (i = 2; i < n; i += 2) v[f[i]] = f[i + 1] }
         /^process / { sub(/.* peak_kib=/, ""); peaks += $1 }
         END { printf "%d %d %d %d %d %d\n", v["peak_kib"], v["anon_kib"], v["file_kib"], v["shmem_kib"], v["processes"], peaks }' \
      "$dir/tree" >>"$dir/rounds"
  done
done
mib() { awk '{ print $1 / 1024 }'; }
printf '  %-6s  %-44s  %-34s  %-34s  %s\n' drives "summed Pss at its peak, MiB" "of which the image's copy (Shmem)" "less the copy" "the processes' own peaks summed"
: >"$scratch/fit"
: >"$scratch/parts"
for count in $towers; do
  r=$scratch/memory-$count/rounds
  printf '  %-6s  %-44s  %-34s  %-34s  %s\n' "$count" "$(awk '{ print $1 }' "$r" | mib | spread '%.2f')" \
    "$(awk '{ print $4 }' "$r" | mib | spread '%.2f' | awk '{ print $3, $4 }')" \
    "$(awk '{ print $1 - $4 }' "$r" | mib | spread '%.2f' | awk '{ print $3, $4 }')" \
    "$(awk '{ print $6 }' "$r" | mib | spread '%.1f' | awk '{ print $3, $4 }')"
  echo "$count $(awk '{ print $2 }' "$r" | mib | median) $(awk '{ print $3 }' "$r" | mib | median) $(awk '{ print $5 }' "$r" | median)" >>"$scratch/parts"
  echo "$count $(awk '{ print $1 }' "$r" | mib | median) $(awk '{ print $6 }' "$r" | mib | median)" >>"$scratch/fit"
done
echo "  the parts at the peak (medians, MiB):"
awk '{ printf "    %s drive(s): anon %.2f, file %.2f; %d processes read\n", $1, $2, $3, $4 }' "$scratch/parts"
echo "  image $(awk -v k="$image_kib" 'BEGIN { printf "%.2f", k / 1024 }') MiB; the fit of the medians, summed Pss = fixed + drives x cost:"
awk -v image="$image_kib" '{ n++; x += $1; y += $2; xx += $1 * $1; xy += $1 * $2; z += $3; xz += $1 * $3 }
  END { if (n < 2) { print "    (one tower size: no fit)"; exit }
        slope = (n * xy - x * y) / (n * xx - x * x); fixed = (y - slope * x) / n
        zslope = (n * xz - x * z) / (n * xx - x * x)
        printf "    cost a drive %.2f MiB; fixed %.2f MiB (the front end and the image, %.2f of it); the processes'"'"' own peaks summed grow by %.2f MiB a drive\n",
          slope, fixed, image / 1024, zslope }' "$scratch/fit"
