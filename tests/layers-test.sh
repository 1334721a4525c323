#!/usr/bin/env bash
# The layers hold: every include of the program's own code runs downward
# (app, cli, transfer -> download -> image -> drive -> state -> platform), the
# programs (the window, app/; the terminal's quorvel-flash, cli/; the flash's
# own process, transfer/) never include each other, and above platform/ no
# file reaches the operating system's file, process or bus interfaces, or Qt's
# classes for them, itself: neither by an include nor, in the built objects,
# by a call to a system call's function (close, read, ioctl, nanosleep, ...:
# every name the kernel's system call table has, their 64-bit forms, and the C
# library's calls that start processes, wait for them, or touch signals,
# files and folders directly).
#   tests/layers-test.sh SOURCE_DIR [BUILD_DIR]
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
build=${2:-}
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

# The calls themselves, from the objects the build made of each file.
if [ -n "$build" ]; then
  calls=$(mktemp)
  trap 'rm -f "$calls"' EXIT
  {
    echo '#include <sys/syscall.h>' | cpp -dM - | sed -n 's/^#define __NR_\([a-z0-9_]*\) .*/\1/p' | sed 'p; s/$/64/'
    printf '%s\n' waitpid wait posix_spawn posix_spawnp system popen pclose fork vfork execv execvp execl execlp \
      sigaction sigprocmask pthread_sigmask signal raise sigwait sigwaitinfo sigtimedwait \
      fopen fopen64 fdopen freopen opendir fdopendir readdir readdir64 closedir \
      dlopen dlsym dlclose usleep sleep clock_nanosleep mkstemp mkstemp64 mkdtemp mkostemp realpath \
      isatty tcgetattr tcsetattr __open_2 __open64_2 __openat_2 __read_chk __xstat __xstat64 __fxstat __fxstat64 \
      __lxstat __lxstat64 __fxstatat __fxstatat64
  } | sort -u >"$calls"
  for layer in state drive image download app cli transfer; do
    for file in "$layer"/*.cpp; do
      [ -e "$file" ] || continue
      object=$(find "$build" -path "*/$layer/*" -name "$(basename "$file").o" -not -path '*/tests/*' \
        -not -path '*/bench/*' -not -path '*/fuzz/*' | head -n 1)
      if [ -z "$object" ]; then
        echo "no object of $file in $build: build it first"
        failed=1
        continue
      fi
      found=$(nm -u --format=just-symbols "$object" | sed 's/@.*//' | sort -u | comm -12 - "$calls" | tr '\n' ' ')
      if [ -n "$found" ]; then
        echo "$file calls the system itself: $found"
        echo "  ^ the operating system is platform/'s to reach"
        failed=1
      fi
    done
  done
fi

[ "$failed" -eq 0 ] && echo "layers: every include runs downward, no program includes another; only platform/ reaches the system"
exit "$failed"
