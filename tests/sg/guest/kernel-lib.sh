# shellcheck shell=bash
# Debian's kernel for the tests that boot a guest of their own under QEMU
# (sourced): the kernel test (tests/sg/guest/kernel-test.sh) and the fleet's
# guest that restarts (tests/ansible/guest-restart.sh). The caller defines
# say MESSAGE.
#
#   kernel_package CACHE            the current package of linux-image-amd64 in
#                                   CACHE (downloaded with apt-get when it is
#                                   not there; only that download is kept), in
#                                   $kernel_deb; 77 when none can be had
#   kernel_unpack DEB DIR           unpacked into DIR: $kver, $vmlinuz
#   kernel_modules DIR ROOT MOD...  the modules and everything they need, from
#                                   the unpacked kernel DIR into ROOT/lib/modules,
#                                   in loading order in ROOT/modules.list
#   kernel_accel VERDICT BUSYBOX    kvm or tcg in $accel: KVM when it runs this
#                                   kernel, decided once and kept in VERDICT

kernel_meta=linux-image-amd64

kernel_package_name() {
  apt-cache depends "$kernel_meta" 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[^ ]*\)$/\1/p' | head -n1
}

kernel_package() {
  local cache=$1 pkg version wanted old
  local sandbox=()
  mkdir -p "$cache"
  # One download at a time into the cache, whatever build trees run this.
  exec 9>"$cache/.lock"
  flock 9
  pkg=$(kernel_package_name || true)
  if [ -z "$pkg" ] && [ "$(id -u)" -eq 0 ]; then
    apt-get update -qq >/dev/null 2>&1 || true
    pkg=$(kernel_package_name || true)
  fi
  kernel_deb=""
  if [ -n "$pkg" ]; then
    version=$(apt-cache policy "$pkg" 2>/dev/null | sed -n 's/^ *Candidate: //p' | head -n1)
    wanted="$cache/${pkg}_${version//:/%3a}_amd64.deb"
    if [ -n "$version" ] && [ -s "$wanted" ] && dpkg-deb --info "$wanted" >/dev/null 2>&1; then
      kernel_deb=$wanted
    else
      say "downloading $pkg $version"
      [ "$(id -u)" -eq 0 ] && sandbox=(-o APT::Sandbox::User=root)
      if (cd "$cache" && apt-get "${sandbox[@]}" -qq download "$pkg" >/dev/null) ||
        { [ "$(id -u)" -eq 0 ] && apt-get update -qq >/dev/null 2>&1 &&
          (cd "$cache" && apt-get "${sandbox[@]}" -qq download "$pkg" >/dev/null); }; then
        kernel_deb=$(ls -t "$cache"/"${pkg}"_*_amd64.deb 2>/dev/null | head -n1 || true)
      fi
    fi
  fi
  if [ -z "$kernel_deb" ]; then
    # No network: an earlier download will do.
    kernel_deb=$(ls -t "$cache"/linux-image-*_amd64.deb 2>/dev/null | head -n1 || true)
  fi
  if [ -z "$kernel_deb" ]; then
    exec 9>&-
    return 77
  fi
  # Keep only the package in use.
  for old in "$cache"/linux-image-*_amd64.deb; do [ "$old" = "$kernel_deb" ] || rm -f "$old"; done
  exec 9>&-
}

kernel_unpack() {
  dpkg-deb -x "$1" "$2"
  kver=$(ls "$2/lib/modules" | head -n1)
  vmlinuz="$2/boot/vmlinuz-$kver"
  [ -f "$vmlinuz" ] || { echo "no kernel image in $(basename "$1")" >&2; return 1; }
  depmod -b "$2" "$kver"
}

kernel_modules() {
  local kernel=$1 root=$2 module verb path name
  shift 2
  mkdir -p "$root/lib/modules"
  : >"$root/modules.list"
  local -A seen=()
  for module in "$@"; do
    while read -r verb path _; do
      [ "$verb" = insmod ] || continue
      name=$(basename "$path")
      case "$name" in
        *.ko) cp "$path" "$root/lib/modules/$name" ;;
        *.ko.xz) name=${name%.xz}; xz -dc "$path" >"$root/lib/modules/$name" ;;
        *.ko.zst) name=${name%.zst}; zstd -qdc "$path" >"$root/lib/modules/$name" ;;
        *) continue ;;
      esac
      [ -n "${seen[$name]:-}" ] && continue
      seen[$name]=1
      echo "$name" >>"$root/modules.list"
    done < <(modprobe -d "$kernel" -S "$kver" --show-depends "$module")
  done
}

# Some hosts offer a /dev/kvm that cannot run an ordinary kernel (a nested
# one made for guests of its own kind): the kernel then hangs at its start.
# One short boot of a tiny initramfs decides, and the answer is kept in
# VERDICT for this kernel. QUORVEL_KERNEL_ACCEL=tcg or kvm decides instead.
kernel_accel() {
  local verdict=$1 busybox=$2 probe
  accel=${QUORVEL_KERNEL_ACCEL:-}
  if [ -z "$accel" ] && ! { [ -r /dev/kvm ] && [ -w /dev/kvm ]; }; then
    accel=tcg
  fi
  if [ -z "$accel" ] && [ -f "$verdict" ] && [ "$(sed -n 1p "$verdict")" = "$kver" ]; then
    accel=$(sed -n 2p "$verdict")
  fi
  if [ -z "$accel" ]; then
    probe=$(mktemp -d)
    mkdir -p "$probe/root/bin"
    cp "$busybox" "$probe/root/bin/busybox"
    printf '#!/bin/busybox sh\n/bin/busybox echo QV-KVM-RUNS\n/bin/busybox poweroff -f\n' >"$probe/root/init"
    chmod +x "$probe/root/init"
    (cd "$probe/root" && find . | cpio -o -H newc --quiet | gzip -1 >"$probe/initramfs.cpio.gz")
    timeout --kill-after=5 20 qemu-system-x86_64 -accel kvm -nodefaults -no-reboot -serial stdio -display none \
      -m 256 -kernel "$vmlinuz" -initrd "$probe/initramfs.cpio.gz" -append "console=ttyS0 panic=-1 quiet" \
      </dev/null >"$probe/console.log" 2>&1 || true
    if grep -q QV-KVM-RUNS "$probe/console.log"; then accel=kvm; else accel=tcg; fi
    rm -rf "$probe"
    printf '%s\n%s\n' "$kver" "$accel" >"$verdict"
  fi
}
