#!/usr/bin/env bash
# The layers hold: every folder of the program's own code includes only from
# the folders its side of a flash may use (the allowed list below, read
# downward: platform, state, drive, image, record, channel, then the front
# end's flash/ or the flash's process, transfer/, then the front ends, cli/
# and app/; platform/window/ is the window's alone); the front ends and the
# flash's process never include each other; and above platform/ no file
# reaches the operating system's file, process or bus interfaces, or Qt's
# classes for them, itself: neither by an include nor, in the built objects,
# by a call to a system call's function (close, read, ioctl, nanosleep, ...:
# every name the kernel's system call table has, their 64-bit forms, and the
# C library's calls that start processes, wait for them, or touch signals,
# files and folders directly). With a build tree, the links too: quorvel-flash
# and quorvel-transfer need neither Qt Widgets nor Qt Gui and hold no window
# code, and quorvel-transfer no front end's code.
#   tests/layers-test.sh SOURCE_DIR [BUILD_DIR]
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
build=${2:-}
cd "$root"

# FOLDER=the folders its files may include from (its own too).
declare -A allowed=(
  [platform]="platform"
  [platform/window]="platform/window platform"
  [state]="state platform"
  [drive]="drive state platform"
  [image]="image drive state platform"
  [record]="record image drive state platform"
  [channel]="channel record image drive state platform"
  [flash]="flash channel record image drive state platform"
  [transfer]="transfer channel record image drive state platform"
  [cli]="cli flash channel record image drive state platform"
  [app]="app flash channel record image drive state platform platform/window"
)
failed=0

# check_includes ROOT: says each include out of its side under ROOT; false
# when there is one.
check_includes() {
  local top=$1 layer file included folder bad=0
  for layer in "${!allowed[@]}"; do
    for file in "$top/$layer"/*.h "$top/$layer"/*.cpp; do
      [ -e "$file" ] || continue
      while IFS= read -r included; do
        folder=${included%/*}
        [ -n "${allowed[$folder]+set}" ] || continue
        if [[ " ${allowed[$layer]} " != *" $folder "* ]]; then
          echo "include out of its side: ${file#"$top"/} includes $included ($layer/ may include from: ${allowed[$layer]})"
          bad=1
        fi
      done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
    done
  done
  return "$bad"
}
check_includes "$root" || failed=1
# The check itself: a front end's header planted in the flash's process, and
# the window's in the terminal's code, are each found.
planted=$(mktemp -d)
mkdir -p "$planted/transfer" "$planted/cli"
echo '#include "flash/Flash.h"' >"$planted/transfer/Planted.cpp"
echo '#include "platform/window/Boxes.h"' >"$planted/cli/Planted.h"
if [ "$(check_includes "$planted" | wc -l)" -ne 2 ]; then
  echo "the include check misses a planted include"
  failed=1
fi
rm -rf "$planted"

# The system's own interfaces, and Qt's wrappers of them, belong to platform/.
system='<(fcntl|unistd|dirent|dlfcn|signal|csignal|stdio|cstdio|poll)\.h?>|<sys/|<(QFile|QDir|QFileInfo|QSaveFile|QTemporaryFile|QFontDatabase|QProcess|QSocketNotifier)>|<QDBus'
for layer in state drive image record channel flash transfer cli app; do
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
  for layer in state drive image record channel flash transfer cli app; do
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

# The links: what each program needs and holds.
# window_code BINARY: the window's classes and calls it holds, by name (the
# layer without a window system answers the interface's box and capture
# calls itself, as CoreWin32Layer's).
window_code() {
  nm -C "$1" | grep -E ' (TForm[12]|MainWindow|MainForm|Form[12]|QtWin32Layer|qtlayer::(ShowMessageBox|MouseCapture|CursorOverride|GiveOwnTitleBar|TitleBar)|MessageBoxA|SetCapture|PrepareOpenDialog|LoadWindowFonts|OpenImage|StartDownload|DiscoverDrives)\b' | head -n 5 || true
}
if [ -n "$build" ]; then
  # The check itself: it finds the window's code in the window's program.
  if [ -z "$(window_code "$build/bin/quorvel")" ]; then
    echo "the link check finds no window code even in quorvel"
    failed=1
  fi
  for program in quorvel-flash quorvel-transfer; do
    binary=$build/bin/$program
    if [ ! -x "$binary" ]; then
      echo "no $binary: build it first"
      failed=1
      continue
    fi
    gui=$(readelf -d "$binary" | sed -n 's/.*Shared library: \[\(libQt6\(Widgets\|Gui\|OpenGL\|XcbQpa\)[^]]*\)\].*/\1/p' | tr '\n' ' ')
    if [ -n "$gui" ]; then
      echo "$program needs a windowing library: $gui"
      failed=1
    fi
    window=$(window_code "$binary")
    if [ -n "$window" ]; then
      echo "$program holds the window's code:"
      echo "$window"
      failed=1
    fi
  done
  # The flash's process holds no front end's code.
  front=$(nm -C "$build/bin/quorvel-transfer" 2>/dev/null | grep -E ' (Flash::|FlashFrontEnd|PrepareFlashes|CheckTheLoadedImage|RunWrite|TerminalFrontEnd|Tell\()' | head -n 5 || true)
  if [ -n "$front" ]; then
    echo "quorvel-transfer holds a front end's code:"
    echo "$front"
    failed=1
  fi
fi

[ "$failed" -eq 0 ] && echo "layers: every include stays on its side, no program includes another, only platform/ reaches the system; quorvel-flash and quorvel-transfer link no window code and no windowing library"
exit "$failed"
