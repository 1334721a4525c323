# Shared by the demo scripts (sourced): what the simulated machine in $demo holds.

# revision_of ADAPTER TARGET: the drive's firmware revision, as the machine's
# state file holds it after a download, else as its machine file gives it.
revision_of() {
  local rev
  rev=$(grep -E "^revision $1 $2 " "$demo/quorvel-sim.state" 2>/dev/null | sed -E 's/.*"(.*)"/\1/')
  [ -n "$rev" ] || rev=$(grep -E "^device $1 $2 " "$demo/demo.machine" | sed -E 's/.*revision="([^"]*)".*/\1/')
  echo "$rev"
}

# reboots: how many restarts the login1 stand-in has recorded.
reboots() {
  local n
  n=$(grep -c ' reboot ' "$QUORVEL_SIM_LOGIN1_RECORD" 2>/dev/null) || true
  echo "${n:-0}"
}
