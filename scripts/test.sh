#!/usr/bin/env bash
# Runs every test: installs what is missing, builds the project three times
# (plain; AddressSanitizer with UndefinedBehaviorSanitizer; ThreadSanitizer for
# the tests that cross threads), runs the suites under an X display, then the
# image fuzzer for a bounded time. Ends with one line "N passed, N failed".
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/deps.sh test || exit 1

passed=0
failed=0
status=0

# run_ctest DIR [ctest options...]: runs one suite and adds up its counts.
run_ctest() {
  local dir=$1; shift
  local log="$root/$dir/ctest.log"
  echo "== ctest in $dir $*"
  (cd "$root/$dir" && "$root/scripts/with-display.sh" \
      ctest --output-on-failure --timeout 900 -j2 "$@") 2>&1 | tee "$log"
  local line
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
  if [ -z "$line" ]; then
    echo "ctest in $dir gave no summary"; status=1; return
  fi
  local f total
  f=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
  total=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")
  passed=$((passed + total - f))
  failed=$((failed + f))
  [ "$f" -eq 0 ] || status=1
}

# build DIR [--target T] [cmake options...]: one build tree, by scripts/build.sh.
build() {
  echo "== build $1"
  if ! bash "$root/scripts/build.sh" "$@"; then
    echo "build of $1 failed"; status=1; return 1
  fi
}

export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="suppressions=$root/tests/tsan.supp:halt_on_error=1:second_deadlock_stack=1"

if build build -DCMAKE_BUILD_TYPE=RelWithDebInfo; then
  run_ctest build
fi
# The tests that stand up whole machines of their own (a QEMU guest: label
# qemu; hosts over SSH: label ssh) run once, in the plain build: under the
# sanitizers they would test the same program's same paths again, at minutes
# a run.
if build build-asan -DCMAKE_BUILD_TYPE=Debug -DQUORVEL_SANITIZE=address; then
  run_ctest build-asan -LE 'qemu|ssh'
fi
if build build-tsan --target threads_tests -DCMAKE_BUILD_TYPE=Debug -DQUORVEL_SANITIZE=thread; then
  run_ctest build-tsan -L threads
fi

if [ -x scripts/fuzz.sh ]; then
  echo "== fuzz"
  if bash scripts/fuzz.sh; then passed=$((passed + 1)); else failed=$((failed + 1)); status=1; fi
fi

echo "$passed passed, $failed failed"
exit $status
