#!/usr/bin/env bash
# Runs the test suites under valgrind memcheck: no invalid reads or writes, no
# definitely lost memory. Uses the build of scripts/test.sh. Prints each
# suite's time and the total.
#
# Every suite runs but those that only wait on timers (the *_slow suites,
# whose waits valgrind does not shorten) and two more. The fault matrix: its
# cells share the client's process-wide state and are meant to run one per
# process, as ctest runs them, and under valgrind that is a start-up per cell;
# the sanitizer builds run it. The allocation-failure suite: it replaces the
# global operator new, which valgrind also replaces inside the C++ runtime, so
# blocks would cross the two allocators; its own count and the sanitizer
# build's LeakSanitizer check it. The CLI suite runs the kalax binary as child
# processes, which valgrind does not follow: it checks the test side.
#
# Usage: scripts/memcheck.sh [suite...]   (default: the list below)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
suites=(test_runtime test_xml test_pld test_xmldoc test_tools test_cli test_stress test_zxapi test_ax)
[ $# -gt 0 ] && suites=("$@")
jobs=$(nproc)
cmake --build build -j "$jobs" --target "${suites[@]}"

run_suite() {
  local t=$1 log="build/memcheck-$1.log" start end rc=0
  start=$(date +%s.%N)
  valgrind --error-exitcode=9 --leak-check=full --errors-for-leak-kinds=definite \
           --show-leak-kinds=definite -q "build/$t" --gtest_brief=1 > "$log" 2>&1 || rc=$?
  end=$(date +%s.%N)
  echo "$t: exit $rc" >> "$log"
  printf '%s %.1f\n' "$t" "$(echo "$end - $start" | bc)" > "build/memcheck-$t.time"
}

started=$(date +%s.%N)
# As many suites at a time as there are cores; valgrind runs each on one.
running=0
for t in "${suites[@]}"; do
  if [ "$running" -ge "$jobs" ]; then wait -n || true; running=$((running - 1)); fi
  run_suite "$t" &
  running=$((running + 1))
done
wait || true
total=$(echo "$(date +%s.%N) - $started" | bc)

status=0
for t in "${suites[@]}"; do
  read -r _ seconds < "build/memcheck-$t.time"
  printf 'memcheck %-14s %7.1f s  %s\n' "$t" "$seconds" "$(tail -n 1 "build/memcheck-$t.log" | sed 's/.*: //')"
  grep -q "exit 0$" "build/memcheck-$t.log" || { echo "memcheck failed in $t:"; cat "build/memcheck-$t.log"; status=1; }
done
printf 'memcheck total %.1f s on %d cores\n' "$total" "$jobs"
exit $status
