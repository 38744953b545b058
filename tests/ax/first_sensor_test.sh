#!/bin/sh
# The plain C host of the automation server against a simulated unit: it must
# print the unit's first item, name and value, through IDispatch alone.
# usage: first_sensor_test.sh HOST_PROGRAM UNITSIM
set -eu
dir=$(mktemp -d)
"$2" --port 0 >"$dir/unit.out" 2>&1 &
unit=$!
trap 'kill $unit 2>/dev/null; wait $unit 2>/dev/null; rm -rf "$dir"' EXIT
for _ in $(seq 100); do
  grep -q 'values.xml' "$dir/unit.out" && break
  sleep 0.05
done
port=$(sed -n 's|^http://127.0.0.1:\([0-9]*\)/values.xml$|\1|p' "$dir/unit.out")
[ -n "$port" ] || { echo "the simulated unit did not start"; cat "$dir/unit.out"; exit 1; }
KALAX_REGISTRY="$dir/registry.reg" "$1" "$port" >"$dir/host.out"
cat "$dir/host.out"
# The first item of a unit with inputs is a binary input: a name and a state text.
grep -Eq '^.+: .+$' "$dir/host.out"
