#!/usr/bin/env bash
# The layers hold: every include of the program's own code runs downward
# (app, cli, transfer -> download -> image -> drive -> state -> platform), the
# programs (the window, app/; the terminal's quorvel-flash, cli/; the flash's
# own process, transfer/) never include each other, and above platform/ no file reaches the operating system's file,
# process or bus interfaces, or Qt's classes for them, itself.
#   tests/layers-test.sh SOURCE_DIR
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$root"

declare -A rank=([platform]=0 [state]=1 [drive]=2 [image]=3 [download]=4 [app]=5 [cli]=5 [transfer]=5)
front_ends="app cli transfer"
failed=0

for layer in "${!rank[@]}"; do
  for file in "$layer"/*.h "$layer"/*.cpp; do
    [ -e "$file" ] || continue
    while IFS= read -r included; do
      folder=${included%%/*}
      [ -n "${rank[$folder]+set}" ] || continue
      if [ "${rank[$folder]}" -gt "${rank[$layer]}" ]; then
        echo "upward include: $file includes $included"
        failed=1
      elif [ "$folder" != "$layer" ] && [[ " $front_ends " == *" $folder "* && " $front_ends " == *" $layer "* ]]; then
        echo "one program includes another: $file includes $included"
        failed=1
      fi
    done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
  done
done

# The system's own interfaces, and Qt's wrappers of them, belong to platform/.
system='<(fcntl|unistd|dirent|dlfcn|signal|csignal|stdio|cstdio|poll)\.h?>|<sys/|<(QFile|QDir|QFileInfo|QSaveFile|QTemporaryFile|QFontDatabase|QProcess|QSocketNotifier)>|<QDBus'
for layer in state drive image download app cli transfer; do
  for file in "$layer"/*.h "$layer"/*.cpp; do
    [ -e "$file" ] || continue
    if grep -nE "^[[:space:]]*#[[:space:]]*include[[:space:]]*($system)" "$file"; then
      echo "  ^ in $file: the operating system is platform/'s to reach"
      failed=1
    fi
  done
done

[ "$failed" -eq 0 ] && echo "layers: every include runs downward, no program includes another; only platform/ reaches the system"
exit "$failed"
