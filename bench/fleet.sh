#!/usr/bin/env bash
# The fleet figures that need more than bench_fleet alone, in one run against
# one server (bench_fleet --serve, its own process):
#   1. the library's 98-unit values pass against the Python asyncio poller's;
#   2. system calls per request, from strace -c -f over the library's side only
#      (the server is not traced). Two runs that differ only in their number of
#      passes are traced and subtracted, so opening, closing and start-up drop
#      out; what is left is divided by the extra requests.
# Usage: bench/fleet.sh [BUILD_DIR]     (default build/; needs strace, python3)
# Repeat counts: PASSES (default 100) for step 1; STRACE_PASSES (default
# "20 120") for step 2; UNITS (default "1 98") the module counts of step 2.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build}
bench=$build/bench_fleet
passes=${PASSES:-100}
read -r short long <<<"${STRACE_PASSES:-20 120}"
units=${UNITS:-1 98}
[ -x "$bench" ] || { echo "fleet.sh: $bench not built (cmake --build $build --target bench_fleet)" >&2; exit 2; }

tmp=$(mktemp -d)
server=""
cleanup() {
  if [ -n "$server" ]; then
    kill "$server" 2>/dev/null || true
    wait "$server" 2>/dev/null || true
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT

"$bench" --serve >"$tmp/port" &
server=$!
for _ in $(seq 50); do
  [ -s "$tmp/port" ] && break
  sleep 0.1
done
port=$(head -n1 "$tmp/port")
[ -n "$port" ] || { echo "fleet.sh: the server did not start" >&2; exit 1; }

echo "=== 98 units: library against Python asyncio + ElementTree ($passes passes each)"
"$bench" --port "$port" --modules 98 --passes "$passes" --warmup 10 --round-trips 0 | tee "$tmp/lib"
library=$(awk '$1 == 98 { print $2 }' "$tmp/lib")
python3 "$here/fleet_poller.py" --port "$port" --units 98 --passes "$passes" --warmup 10 | tee "$tmp/py"
python=$(sed -n 's/.*pass median \([0-9.]*\) ms.*/\1/p' "$tmp/py")
awk -v l="$library" -v p="$python" 'BEGIN { printf "python / library, 98-unit pass median: %.2f\n", p / l }'

command -v strace >/dev/null || { echo "fleet.sh: strace missing, no system call counts" >&2; exit 1; }
# strace -c's table: calls in column 4, the name last (the errors column may be empty).
counts() { awk '$NF != "total" && $NF != "syscall" && $4 ~ /^[0-9]+$/ { print $NF, $4 }' "$1"; }
for n in $units; do
  for p in "$short" "$long"; do
    strace -c -f -o "$tmp/strace.$p" "$bench" --port "$port" --modules "$n" --passes "$p" --warmup 0 \
      --round-trips 0 >/dev/null
  done
  echo
  echo "=== system calls per request, $n unit(s) (strace -c -f, $((long - short)) passes' difference)"
  join -a 1 -a 2 -e 0 -o 0,1.2,2.2 <(counts "$tmp/strace.$long" | sort) <(counts "$tmp/strace.$short" | sort) |
    awk -v r="$(((long - short) * n))" '
      { d = ($2 - $3) / r; if (d >= 0.05) printf "  %-16s %6.2f\n", $1, d; total += d }
      END { printf "  %-16s %6.2f\n", "total", total }'
done
