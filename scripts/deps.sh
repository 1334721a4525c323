#!/usr/bin/env bash
# Installs the Debian packages a set of the project's work needs, when any of
# them is missing. Safe to run again: it does nothing when all are there.
#   scripts/deps.sh run    build the program and run the demo on the simulated
#                          machine (with or without a display)
#   scripts/deps.sh test   everything the test command needs (also without an
#                          argument): the above, and
#                          GoogleTest, the benchmark library, clang for the
#                          fuzzer, QEMU for the kernel test, the package tools
#                          and validators (devscripts for hardening-check),
#                          AT-SPI for the accessibility test, Qt's Wayland
#                          plugin and Weston for the Wayland test,
#                          bash-completion for the completion's test,
#                          dbus-x11 (the bus library's launcher for an X
#                          display, which no flash's process may start),
#                          Ansible for the fleet's collection, with pytest
#                          for its unit tests under ansible-test, and
#                          OpenSSH's server and sudo for its hosts over SSH
set -euo pipefail

run=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libqt6dbus6
  qt6-wayland
  xvfb xauth x11-utils xdotool imagemagick fonts-wine
  dbus
  libsgutils2-dev
)
test=(
  "${run[@]}"
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libxcb-damage0-dev libxcb-xtest0-dev
  clang libclang-rt-14-dev
  qemu-system-x86 busybox-static kmod cpio genisoimage
  dpkg-dev file lintian devscripts desktop-file-utils appstream man-db
  at-spi2-core python3-pyatspi
  weston
  bash-completion
  dbus-x11
  ansible-core python3-pytest python3-pytest-mock python3-pytest-xdist python3-pytest-forked python3-mock
  openssh-server sudo
)

case "${1:-}" in
  run) packages=("${run[@]}") ;;
  test | "") packages=("${test[@]}") ;;
  *)
    echo "usage: $0 run|test" >&2
    exit 2
    ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
