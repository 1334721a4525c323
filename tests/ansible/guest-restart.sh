#!/usr/bin/env bash
# The collection's example playbook, unchanged, through a real restart: a
# QEMU guest booting Debian's kernel (as the kernel test does: KVM where it
# runs this kernel, software emulation otherwise) with an initramfs of its
# own, the host's root read-only under a writable layer as its root, sshd and
# Python from there, and a disk of its own (a folder of this machine shared
# with it) that outlives its restarts: its simulated machine (aspi/sim/) and
# the fleet's user's home, record of flashes and all. QEMU's user networking
# forwards a loopback port to its sshd. Its shutdown (the command behind
# /sbin/shutdown) has its init restart it: the kernel's reboot, QEMU starts
# the machine again, Debian's kernel boots anew with a new boot id, and the
# drive runs what it accepted.
#  1. the play: the drive written, ansible.builtin.reboot restarts the guest
#     for real (a second boot on the console, a new boot id), the drive found
#     at 1.20;
#  2. the play again: nothing changes, no restart.
# The console's output of each run, its PLAY RECAP among them, and the guest's
# console are kept in the build tree (tests/ansible/guest-restart/).
#   guest-restart.sh BUILD_DIR SOURCE_DIR
# Root only (sshd's logins, a disk shared with its owners); exit 77 (skipped)
# otherwise, or when no kernel package can be had.
set -euo pipefail
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
say() { echo "guest-restart: $*"; }
fail() {
  echo "FAIL: $*" >&2
  [ -f "$kept/console.txt" ] && tail -n 40 "$kept/console.txt" >&2
  exit 1
}
if [ "$(id -u)" -ne 0 ]; then
  say "SKIP: the guest's logins need root"
  exit 77
fi
for tool in qemu-system-x86_64 busybox depmod modprobe cpio dpkg-deb apt-get /usr/sbin/sshd /usr/bin/sudo \
            ssh-keygen ansible-playbook; do
  command -v "$tool" >/dev/null || PATH=$PATH:/sbin:/usr/sbin
  command -v "$tool" >/dev/null || { echo "$tool is missing: run scripts/deps.sh test" >&2; exit 1; }
done
busybox=/bin/busybox  # busybox-static's: the initramfs has no C library
[ -x "$busybox" ] || busybox=$(command -v busybox)
cache=${QUORVEL_KERNEL_CACHE:-${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/quorvel-kernel}
kept=$build/tests/ansible/guest-restart
rm -rf "$kept"
mkdir -p "$kept"
work=$(mktemp -d /tmp/quorvel-guest-XXXXXX)
chmod 0755 "$work"
qemu_pid=""
cleanup() {
  [ -z "$qemu_pid" ] || { kill "$qemu_pid" 2>/dev/null || true; wait "$qemu_pid" 2>/dev/null || true; }
  if [ -n "${KEEP_WORK:-}" ]; then echo "kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT
started=$SECONDS

# --- the kernel, the initramfs ------------------------------------------------
# shellcheck source=SCRIPTDIR/../sg/guest/kernel-lib.sh
. "$source/tests/sg/guest/kernel-lib.sh"
status=0
kernel_package "$cache" || status=$?
if [ "$status" -eq 77 ]; then
  say "SKIP: no kernel package could be downloaded"
  exit 77
fi
kernel_unpack "$kernel_deb" "$work/kernel" || exit 1
root=$work/initramfs
mkdir -p "$root"/{bin,dev,proc,sys}
cp "$busybox" "$root/bin/busybox"
kernel_modules "$work/kernel" "$root" virtio_pci virtio_net 9p 9pnet_virtio overlay
kernel_accel "$build/tests/ansible/guest.accel" "$busybox"
say "kernel $kver, $([ "$accel" = kvm ] && echo KVM || echo "software emulation (TCG)")"

# The fleet's user, the controller's key, the guest's host key.
# shellcheck source=SCRIPTDIR/hosts.sh
. "$source/tests/ansible/hosts.sh"
fleet_user
controller "$work/controller"
disk=$work/disk
mkdir -p "$disk/home/.ssh"
cp "$controller_dir/id_ed25519.pub" "$disk/home/.ssh/authorized_keys"
chown -R "$fleet_uid:$fleet_uid" "$disk/home"
chmod 0700 "$disk/home/.ssh"
ssh-keygen -q -t ed25519 -N "" -C "quorvel guest" -f "$disk/ssh_host_ed25519_key"
port=$((22000 + $$ % 20000))
while ! /usr/bin/python3 -c "import socket,sys; s=socket.socket(); s.bind(('127.0.0.1', int(sys.argv[1])))" "$port" 2>/dev/null; do
  port=$((port + 1))
done
echo "[127.0.0.1]:$port $(cut -d' ' -f1,2 "$disk/ssh_host_ed25519_key.pub")" >>"$controller_dir/known_hosts"
sshd_config /persist/ssh_host_ed25519_key 22 0.0.0.0 /persist/machine >"$disk/sshd_config"
# Its drive: one of the image's model at 1.10. Its simulated machine's files
# are the user's, on the disk.
cat >"$disk/machine" <<'EOF'
trace quorvel-sim.trace
state quorvel-sim.state
adapters 1
device 0 1 type=0x05 vendor="QUORVEL " product="CDRW-4824A      " revision="1.10" delay=50
EOF
chown "$fleet_uid:$fleet_uid" "$disk"
host_shutdown >"$disk/shutdown"
chmod 0755 "$disk/shutdown"

# The guest's init: the modules, its root (the host's, read-only, under a
# writable layer), its disk, the network, its accounts and sudo, its
# shutdown, sshd; then, when its shutdown asks, the kernel's restart.
{
  echo '#!/bin/busybox sh'
  printf 'fleet=%q uid=%q\n' "$fleet_name" "$fleet_uid"
  cat <<'INIT'
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
while read -r m; do insmod /lib/modules/$m 2>/dev/null || echo "QV-INIT insmod $m failed"; done </modules.list
echo "QV-BOOT $(cat /proc/sys/kernel/random/boot_id)"
mkdir -p /lower /upper /guest
mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=512000 host /lower || echo "QV-INIT no host root"
mount -t tmpfs -o size=256m tmpfs /upper
mkdir -p /upper/data /upper/work
mount -t overlay overlay -o lowerdir=/lower,upperdir=/upper/data,workdir=/upper/work /guest || echo "QV-INIT no overlay"
for d in proc sys dev run persist; do mkdir -p /guest/$d; done
mount -t proc proc /guest/proc
mount -t sysfs sysfs /guest/sys
mount -t devtmpfs devtmpfs /guest/dev
mkdir -p /guest/dev/pts
mount -t devpts -o ptmxmode=0666 devpts /guest/dev/pts
mount -t tmpfs -o mode=0755 tmpfs /guest/run
mkdir -m 0755 /guest/run/sshd
mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 disk /guest/persist || echo "QV-INIT no disk"
ip link set lo up
ip link set eth0 up
ip addr add 10.0.2.15/24 dev eth0
ip route add default via 10.0.2.2
hostname quorvel-guest
echo "127.0.1.1 quorvel-guest" >>/guest/etc/hosts
echo "$fleet:x:$uid:$uid:QUORVEL fleet:/persist/home:/bin/bash" >>/guest/etc/passwd
echo "$fleet:*:19000:0:99999:7:::" >>/guest/etc/shadow
sed -i -E "s/^(cdrom:[^:]*:[0-9]+:)(.+)\$/\1\2,$fleet/; s/^(cdrom:[^:]*:[0-9]+:)\$/\1$fleet/" /guest/etc/group
echo "$fleet:x:$uid:" >>/guest/etc/group
printf 'Defaults env_reset\nroot ALL=(ALL:ALL) ALL\n%s ALL=(ALL:ALL) NOPASSWD: ALL\n' "$fleet" >/guest/etc/sudoers
chmod 0440 /guest/etc/sudoers
# Its shutdown: the command /sbin/shutdown names (systemctl, where the host
# has systemd).
target=$(chroot /guest readlink -f /usr/sbin/shutdown 2>/dev/null || true)
[ -n "$target" ] && [ -e "/guest$target" ] || target=/usr/sbin/shutdown
rm -f "/guest$target"
cp /guest/persist/shutdown "/guest$target"
chroot /guest /usr/sbin/sshd -f /persist/sshd_config -E /persist/sshd.log || echo "QV-INIT no sshd"
echo "QV-UP"
until [ -e /guest/run/restart-requested ]; do sleep 0.2; done
sleep 1
echo "QV-RESTART"
kill -TERM -1
sleep 0.5
kill -KILL -1
sync
umount /guest/persist
reboot -f
INIT
} >"$root/init"
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1 >"$work/initramfs.cpio.gz")

# --- the guest ----------------------------------------------------------------------
qemu-system-x86_64 -accel "$accel" -nodefaults -serial "file:$kept/console.log" -display none \
  -m 1024 -smp 2 -kernel "$vmlinuz" -initrd "$work/initramfs.cpio.gz" \
  -append "console=ttyS0 panic=-1 loglevel=4" \
  -netdev "user,id=net0,hostfwd=tcp:127.0.0.1:$port-:22" -device virtio-net-pci,netdev=net0 \
  -virtfs local,path=/,mount_tag=host,security_model=none,readonly=on,multidevs=remap \
  -virtfs "local,path=$disk,mount_tag=disk,security_model=passthrough" \
  </dev/null >"$kept/qemu.log" 2>&1 &
qemu_pid=$!
console() { [ -f "$kept/console.log" ] && tr -d "\r" <"$kept/console.log" >"$kept/console.txt" || : >"$kept/console.txt"; }
boots() { console; grep -c '^QV-UP$' "$kept/console.txt" || true; }
# wait_up COUNT SECONDS: until the guest's COUNTth boot has started sshd.
wait_up() {
  local i
  for ((i = 0; i < $2 * 5; i++)); do
    [ "$(boots)" -ge "$1" ] && return 0
    kill -0 "$qemu_pid" 2>/dev/null || fail "QEMU ended: $(cat "$kept/qemu.log")"
    sleep 0.2
  done
  fail "the guest's boot $1 did not come up in $2 s"
}
wait_up 1 300
say "booted in $((SECONDS - started)) s"

export HOME=$work/controller-home ANSIBLE_CONFIG=$work/none.cfg ANSIBLE_COLLECTIONS_PATH=$source/ansible \
  ANSIBLE_LOCAL_TEMP=$work/controller-home/tmp ANSIBLE_SSH_CONTROL_PATH_DIR=$work/cp ANSIBLE_PIPELINING=1 \
  ANSIBLE_CALLBACK_PLUGINS=$source/tests/ansible/callbacks ANSIBLE_CALLBACKS_ENABLED=results_json \
  ANSIBLE_NOCOLOR=1 PYTHONDONTWRITEBYTECODE=1 ANSIBLE_TIMEOUT=60
mkdir -p "$HOME"
: >"$ANSIBLE_CONFIG"
ssh_inventory "$work/inventory.yml" "guest=$port"
mkdir "$work/images"
"$build/bin/quorvel-mkimage" --quiet --model "QUORVEL CDRW-4824A" --version 1.20 --block-kb 60 --blocks 7 \
  "$work/images/FW4824.BIN"
run() {
  local name=$1 began=$SECONDS
  status=0
  (cd "$work" && QUORVEL_ANSIBLE_RESULTS=$work/$name.json ansible-playbook -i "$work/inventory.yml" \
    quorvel.flash.update_drives -e "quorvel_image=$work/images/FW4824.BIN") >"$kept/$name.log" 2>&1 || status=$?
  sed -n '/^PLAY RECAP/,$p' "$kept/$name.log"
  say "$name ran $((SECONDS - began)) s"
}
# check NAME [BOOT_ID]: Python's assertions (standard input) over that run's
# results; BOOT_ID in sys.argv[2].
check() {
  PYTHONPATH=$source/tests/ansible /usr/bin/python3 -c "
import sys
from results import load
results, stats = load(sys.argv[1])
guest = results['guest']
exec(sys.stdin.read())" "$work/$1.json" "${2:-}" ||
    fail "the results of $1 are not as expected (ansible-playbook exited $status): $(tail -n 60 "$kept/$1.log")"
}
boot_ids() { console; sed -n 's/^QV-BOOT //p' "$kept/console.txt"; }

# --- 1. the play: written, restarted for real, checked ---------------------------------
run restart
[ "$status" -eq 0 ] || fail "the play exited $status: $(tail -n 40 "$kept/restart.log")"
[ "$(boots)" -eq 2 ] || fail "the guest booted $(boots) times, not twice"
mapfile -t ids < <(boot_ids)
[ "${#ids[@]}" -eq 2 ] && [ "${ids[0]}" != "${ids[1]}" ] || fail "the boot ids: ${ids[*]}"
grep -q '^QV-RESTART$' "$kept/console.txt" || fail "the guest's shutdown did not restart it"
check restart "${ids[1]}" <<'PY'
flashed = guest["The image into every drive of its model"]
assert flashed["changed"] and [(d["drive"], d["version"], d["result"]) for d in flashed["drives"]] == \
    [("0:1", "1.10", "written")], flashed
restarted = guest["Restart the hosts where a drive waits for it"]
assert restarted["rebooted"] is True and not restarted.get("failed"), restarted
now = guest["The drives as they are now"]
assert [(d["drive"], d["version"], d["waiting"]) for d in now["drives"]] == [("0:1", "1.20", None)], now
assert now["boot_id"] == sys.argv[2], (now["boot_id"], sys.argv[2])
assert guest["Every drive written now runs the image's version"]["msg"] == "1 drive(s) at 1.20, restarted", guest
assert stats["guest"]["failures"] == 0, stats
PY
echo "1: the drive written, the guest restarted for real (boot ${ids[0]} then ${ids[1]}), the drive found at 1.20"

# --- 2. the play again ------------------------------------------------------------------
run again
[ "$status" -eq 0 ] || fail "the second play exited $status: $(tail -n 40 "$kept/again.log")"
check again <<'PY'
assert stats["guest"]["changed"] == 0 and stats["guest"]["failures"] == 0, stats
assert [d["result"] for d in guest["The image into every drive of its model"]["drives"]] == ["already"], guest
assert guest["Restart the hosts where a drive waits for it"].get("skipped"), guest
PY
[ "$(boots)" -eq 2 ] || fail "the second play restarted the guest"
echo "2: the play again: nothing changed, no restart"
say "PASS in $((SECONDS - started)) s"
