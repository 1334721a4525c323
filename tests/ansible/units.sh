#!/usr/bin/env bash
# The collection's unit tests (its tests/unit) with ansible-test units, as
# Ansible's own collections run them: in a copy of the collection (ansible-test
# writes its results into the collection it runs in), with Debian's Python and
# its pytest, without a network.
#   units.sh SOURCE_DIR
set -euo pipefail
collection=$(cd "$1/ansible/ansible_collections/quorvel/flash" && pwd)
work=$(mktemp -d /tmp/quorvel-ansible-units-XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/ansible_collections/quorvel"
cp -r "$collection" "$work/ansible_collections/quorvel/flash"
cd "$work/ansible_collections/quorvel/flash"
HOME=$work PATH=/usr/bin:/bin ansible-test units --local --python 3.11 >"$work/units.log" 2>&1 ||
  { grep -v '^WARNING' "$work/units.log" >&2; exit 1; }
# Both folders of tests ran, and none was skipped.
for part in modules module_utils; do
  grep -qE "^=+ [0-9]+ passed in " <(sed -n "/^Unit test $part with Python 3.11/,/ passed in /p" "$work/units.log") ||
    { echo "ansible-test units ran no tests of $part:" >&2; cat "$work/units.log" >&2; exit 1; }
done
grep -E "^=+ .* (passed|failed)" "$work/units.log"
