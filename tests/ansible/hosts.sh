# shellcheck shell=bash
# Hosts over SSH for the fleet's tests (sourced): each a host of its own on
# this machine, reached as an administrator reaches one, through Debian's
# OpenSSH on a loopback port with host keys of its own, logging in as the
# fleet's user, a member of the group cdrom, who may become root with sudo.
#
#   fleet_user                   the fleet's user: a free uid, the group cdrom
#   controller DIR               the controller's key and known hosts
#   sshd_config KEY PORT ADDRESS MACHINE
#                                a host's sshd: its host key, where it listens,
#                                and the simulated machine its logins run on
#   host_shutdown                a host's shutdown, which asks its process 1
#                                for the restart
#   start_host NAME PORT         a simulated host (below), its folder $work/NAME
#   stop_hosts                   every host started
#   ssh_inventory FILE NAME=PORT...
#                                an inventory of hosts on those ports
#
# A simulated host is a mount and process namespace of this machine: its own
# process 1 (host-init.sh), its own /run, passwd, group, shadow and sudoers, a
# boot id of its own over /proc/sys/kernel/random/boot_id, and a restart of
# its own: its shutdown (the command behind /sbin/shutdown, which
# ansible.builtin.reboot runs) asks its process 1 to end every process of the
# host, take a new boot id and start sshd again, as a restart does; the
# simulated machine's drives then run what they accepted (aspi/sim/README.md).
# Nothing there can restart this machine. Its simulated machine is
# $work/NAME/machine, its user's home $work/NAME/home.
#
# Expects: $work, $build, $source; root (the namespaces, sshd's logins).

fleet_name=qvfleet
host_pids=()

# fleet_user: the fleet's user, a uid and gid free on this machine, and the
# group cdrom's gid.
fleet_user() {
  fleet_uid=4711
  while getent passwd "$fleet_uid" >/dev/null || getent group "$fleet_uid" >/dev/null; do
    fleet_uid=$((fleet_uid + 1))
  done
  getent group cdrom >/dev/null || { echo "no group cdrom on this machine" >&2; return 1; }
}

# controller DIR: the controller's key pair and the file of known hosts.
controller() {
  mkdir -p "$1"
  ssh-keygen -q -t ed25519 -N "" -C "quorvel fleet controller" -f "$1/id_ed25519"
  : >"$1/known_hosts"
  controller_dir=$1
}

# The command behind /sbin/shutdown on a simulated host: only a restart, only
# for root, answered at once and done a second later by the host's process 1,
# as `shutdown -r 0` schedules one.
host_shutdown() {
  cat <<'EOF'
#!/bin/bash
# The simulated host's shutdown: its restart (-r) only.
case " $* " in *" -r "*) ;; *) echo "this host only restarts: shutdown -r" >&2; exit 1 ;; esac
[ "$(id -u)" -eq 0 ] || { echo "shutdown: must be root" >&2; exit 1; }
echo "$(date -u +%FT%T.%3NZ) shutdown $*" >>/proc/1/fd/1
: >/run/restart-requested
echo "Reboot scheduled."
EOF
}

# The host's process 1: its files over the machine's, then sshd, started again
# at each restart.
host_init() {
  cat <<'EOF'
#!/bin/bash
set -u
dir=$1 shutdown=$2
mount -t tmpfs -o mode=0755 tmpfs /run
mkdir -m 0755 /run/sshd
for f in passwd group shadow sudoers; do mount --bind "$dir/etc/$f" "/etc/$f"; done
mount --bind "$dir/boot_id" /proc/sys/kernel/random/boot_id
# The command /sbin/shutdown names (systemctl, where systemd is installed).
if [ -e /usr/sbin/shutdown ]; then
  mount --bind "$shutdown" "$(readlink -f /usr/sbin/shutdown)"
else
  mount -t tmpfs tmpfs /usr/local/sbin
  cp "$shutdown" /usr/local/sbin/shutdown
fi
while :; do
  /usr/sbin/sshd -D -f "$dir/sshd_config" -E "$dir/sshd.log" &
  until [ -e /run/restart-requested ]; do sleep 0.1; done
  sleep 1
  rm -f /run/restart-requested
  echo "$(date -u +%FT%T.%3NZ) restarting"
  # Every process of the host but this one, as the restart ends them.
  kill -KILL -1 2>/dev/null
  while wait -n 2>/dev/null; do :; done
  cat /proc/sys/kernel/random/uuid >"$dir/boot_id"
  echo "restarted $(date -u +%FT%T.%3NZ) boot $(cat "$dir/boot_id")" >>"$dir/restarts"
done
EOF
}

# sshd_config KEY PORT ADDRESS MACHINE: key logins of the fleet's user only;
# its sessions on the simulated machine MACHINE with no system bus (nothing of
# this machine's own), and the sanitizers' options of the build under test.
sshd_config() {
  local option environment="LD_LIBRARY_PATH=$build/sim QUORVEL_SIM_MACHINE=$4"
  environment+=" DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent"
  for option in ASAN_OPTIONS LSAN_OPTIONS UBSAN_OPTIONS; do
    [ -z "${!option:-}" ] || environment+=" $option=${!option}"
  done
  cat <<EOF
ListenAddress $3
Port $2
HostKey $1
PidFile none
UsePAM no
PermitRootLogin no
AllowUsers $fleet_name
PasswordAuthentication no
KbdInteractiveAuthentication no
PubkeyAuthentication yes
AuthorizedKeysFile .ssh/authorized_keys
Subsystem sftp internal-sftp
SetEnv $environment
EOF
}

# start_host NAME PORT: the host, its sshd answering on 127.0.0.1:PORT once
# this returns; its machine file is to be written to $work/NAME/machine.
start_host() {
  local name=$1 port=$2 dir=$work/$1 i
  mkdir -p "$dir/etc" "$dir/home/.ssh"
  [ -f "$work/host-init.sh" ] || { host_init >"$work/host-init.sh"; host_shutdown >"$work/host-shutdown.sh"; }
  chmod 0755 "$work/host-init.sh" "$work/host-shutdown.sh"
  cat /proc/sys/kernel/random/uuid >"$dir/boot_id"
  chmod 0644 "$dir/boot_id"
  { cat /etc/passwd; echo "$fleet_name:x:$fleet_uid:$fleet_uid:QUORVEL fleet:$dir/home:/bin/bash"; } >"$dir/etc/passwd"
  { sed -E "s/^(cdrom:[^:]*:[0-9]+:)(.+)\$/\\1\\2,$fleet_name/; s/^(cdrom:[^:]*:[0-9]+:)\$/\\1$fleet_name/" /etc/group
    echo "$fleet_name:x:$fleet_uid:"; } >"$dir/etc/group"
  { cat /etc/shadow; echo "$fleet_name:*:19000:0:99999:7:::"; } >"$dir/etc/shadow"
  printf 'Defaults env_reset\nroot ALL=(ALL:ALL) ALL\n%s ALL=(ALL:ALL) NOPASSWD: ALL\n' "$fleet_name" >"$dir/etc/sudoers"
  chmod 0644 "$dir/etc/passwd" "$dir/etc/group"
  chmod 0640 "$dir/etc/shadow"
  chmod 0440 "$dir/etc/sudoers"
  ssh-keygen -q -t ed25519 -N "" -C "$name" -f "$dir/ssh_host_ed25519_key"
  echo "[127.0.0.1]:$port $(cut -d' ' -f1,2 "$dir/ssh_host_ed25519_key.pub")" >>"$controller_dir/known_hosts"
  cp "$controller_dir/id_ed25519.pub" "$dir/home/.ssh/authorized_keys"
  sshd_config "$dir/ssh_host_ed25519_key" "$port" 127.0.0.1 "$dir/machine" >"$dir/sshd_config"
  chown -R "$fleet_uid:$fleet_uid" "$dir/home"
  chmod 0700 "$dir/home/.ssh"
  # The simulated machine's files are the user's: its trace, state and locks
  # go beside the machine file.
  chown "$fleet_uid:$fleet_uid" "$dir"
  unshare --mount --pid --fork --mount-proc --kill-child=SIGKILL \
    "$work/host-init.sh" "$dir" "$work/host-shutdown.sh" </dev/null >"$dir/init.log" 2>&1 &
  host_pids+=($!)
  for ((i = 0; i < 100; i++)); do
    ssh-keyscan -p "$port" 127.0.0.1 >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "host $name did not answer on port $port: $(cat "$dir/init.log" "$dir/sshd.log" 2>/dev/null)" >&2
  return 1
}

# stop_hosts: each host's unshare killed (it holds SIGTERM back for its
# child), which kills the host's process 1, and with it every process of the
# host.
stop_hosts() {
  local pid
  for pid in "${host_pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  for pid in "${host_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  host_pids=()
}

# ssh_inventory FILE NAME=PORT...: the hosts, reached over SSH as the fleet's
# user with the controller's key, Python and quorvel-flash as the hosts have
# them.
ssh_inventory() {
  local file=$1 entry
  shift
  {
    echo "all:"
    echo "  vars:"
    echo "    ansible_host: 127.0.0.1"
    echo "    ansible_user: $fleet_name"
    echo "    ansible_ssh_private_key_file: $controller_dir/id_ed25519"
    echo "    ansible_ssh_common_args: -o UserKnownHostsFile=$controller_dir/known_hosts -o StrictHostKeyChecking=yes"
    echo "    ansible_python_interpreter: /usr/bin/python3"
    echo "    quorvel_flash: $build/bin/quorvel-flash"
    echo "  hosts:"
    for entry in "$@"; do
      echo "    ${entry%=*}:"
      echo "      ansible_port: ${entry#*=}"
    done
  } >"$file"
}
