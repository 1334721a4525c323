#!/usr/bin/env bash
# Configures and builds one build tree:
#   scripts/build.sh DIR [--source SOURCE_DIR] [--target TARGET]... [cmake options...]
# DIR and SOURCE_DIR are taken from the project's root unless absolute.
# SOURCE_DIR is the project unless given (fuzz/ is a project of its own);
# without --target, everything is built.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ $# -lt 1 ]; then
  echo "usage: $0 DIR [--source SOURCE_DIR] [--target TARGET]... [cmake options...]" >&2
  exit 2
fi
dir=$1; shift
source=$root
targets=()
while [ $# -ge 2 ]; do
  case "$1" in
    --source) source=$2 ;;
    --target) targets+=(--target "$2") ;;
    *) break ;;
  esac
  shift 2
done
case "$dir" in /*) ;; *) dir=$root/$dir ;; esac
case "$source" in /*) ;; *) source=$root/$source ;; esac
cmake -S "$source" -B "$dir" -G Ninja "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
