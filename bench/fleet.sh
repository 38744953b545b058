#!/usr/bin/env bash
# The fleet figures that need more than bench_fleet alone, in one run against
# one server (bench_fleet --serve, its own process):
#   1. the library's 98-unit values pass against the Python asyncio poller's;
#   2. system calls per request, from strace -c -f over the library's side only
#      (the server is not traced). Two runs that differ only in their number of
#      passes are traced and subtracted, so opening, closing and start-up drop
#      out; what is left is divided by the extra requests. strace slows the
#      traced side down, which lets more answers arrive before they are read
#      (fewer reads and waits find nothing); where perf can count system calls,
#      the same two runs are also counted with it, at full speed.
# Usage: bench/fleet.sh [BUILD_DIR]     (default build/; needs strace, python3)
# Repeat counts: PASSES (default 100) for step 1; STRACE_PASSES (default
# "20 120") for step 2; UNITS (default "1 98") the module counts of step 2.
# BENCH=path runs another bench_fleet binary (an older build, to compare).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build}
bench=${BENCH:-$build/bench_fleet}
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
"$bench" --port "$port" --modules 98 --passes "$passes" --requests 0 --warmup 10 --round-trips 0 | tee "$tmp/lib"
library=$(awk '$1 == 98 { print $3 }' "$tmp/lib")
python3 "$here/fleet_poller.py" --port "$port" --units 98 --passes "$passes" --warmup 10 | tee "$tmp/py"
python=$(sed -n 's/.*pass median \([0-9.]*\) ms.*/\1/p' "$tmp/py")
awk -v l="$library" -v p="$python" 'BEGIN { printf "python / library, 98-unit pass median: %.2f\n", p / l }'

command -v strace >/dev/null || { echo "fleet.sh: strace missing, no system call counts" >&2; exit 1; }
# strace -c's table: calls in column 4, the name last (the errors column may be empty).
strace_counts() { awk '$NF != "total" && $NF != "syscall" && $4 ~ /^[0-9]+$/ { print $NF, $4 }' "$1"; }
# perf stat -x, lines: count,,event,... with events syscalls:sys_enter_NAME.
perf_counts() { awk -F, '$3 ~ /^syscalls:sys_enter_/ { sub(/^syscalls:sys_enter_/, "", $3); print $3, $1 }' "$1"; }
per_request() {  # name count(long) count(short) -> per extra request
  join -a 1 -a 2 -e 0 -o 0,1.2,2.2 <($1 "$2" | sort) <($1 "$3" | sort) |
    awk -v r="$4" '
      { d = ($2 - $3) / r; if (d >= 0.05) printf "  %-16s %6.2f\n", $1, d; total += d }
      END { printf "  %-16s %6.2f\n", "total", total }'
}
events="syscalls:sys_enter_socket,syscalls:sys_enter_connect,syscalls:sys_enter_fcntl,syscalls:sys_enter_poll"
events="$events,syscalls:sys_enter_getsockopt,syscalls:sys_enter_getpeername,syscalls:sys_enter_sendto"
events="$events,syscalls:sys_enter_recvfrom,syscalls:sys_enter_close,syscalls:sys_enter_futex"
use_perf=0
perf stat -e syscalls:sys_enter_futex -o /dev/null true 2>/dev/null && use_perf=1
for n in $units; do
  for p in "$short" "$long"; do
    strace -c -f -o "$tmp/strace.$p" "$bench" --port "$port" --modules "$n" --passes "$p" --requests 0 \
      --warmup 0 --round-trips 0 >/dev/null
    if [ "$use_perf" = 1 ]; then
      perf stat -x, -e "$events" -o "$tmp/perf.$p" "$bench" --port "$port" --modules "$n" --passes "$p" \
        --requests 0 --warmup 0 --round-trips 0 >/dev/null
    fi
  done
  echo
  echo "=== system calls per request, $n unit(s) (strace -c -f, $((long - short)) passes' difference)"
  per_request strace_counts "$tmp/strace.$long" "$tmp/strace.$short" "$(((long - short) * n))"
  if [ "$use_perf" = 1 ]; then
    echo "=== the same counted by perf stat, untraced (the calls the library makes most)"
    per_request perf_counts "$tmp/perf.$long" "$tmp/perf.$short" "$(((long - short) * n))"
  fi
done
