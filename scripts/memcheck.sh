#!/usr/bin/env bash
# Runs the client test suites under valgrind memcheck: no invalid reads or
# writes, no definitely lost memory. Uses the build of scripts/test.sh.
# Left out: the slow suites (they only wait for timeouts) and the fault matrix,
# the stress test and the document suites, whose run time under valgrind would
# outgrow CI; the sanitizer builds cover them.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
suites=(test_runtime test_xml test_pld)
cmake --build build -j "$(nproc)" --target "${suites[@]}"
status=0
pids=()
for t in "${suites[@]}"; do
  (valgrind --error-exitcode=9 --leak-check=full --errors-for-leak-kinds=definite \
            --show-leak-kinds=definite -q "build/$t" --gtest_brief=1 > "build/memcheck-$t.log" 2>&1
   echo "$t: exit $?" >> "build/memcheck-$t.log") &
  pids+=($!)
done
for p in "${pids[@]}"; do wait "$p" || true; done
for t in "${suites[@]}"; do
  tail -n 3 "build/memcheck-$t.log"
  grep -q "exit 0$" "build/memcheck-$t.log" || { echo "memcheck failed in $t:"; cat "build/memcheck-$t.log"; status=1; }
done
exit $status
