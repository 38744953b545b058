#!/usr/bin/env bash
# Builds the library and runs every test. With --sanitize LIST the suite is
# built once more in its own folder with those sanitizers (e.g. address,undefined).
set -euo pipefail
cd "$(dirname "$0")/.."
sanitize=""
if [ "${1:-}" = "--sanitize" ]; then sanitize="$2"; shift 2; fi
scripts/deps.sh
dir=build
[ -n "$sanitize" ] && dir="build-${sanitize//,/-}"
jobs=$(nproc)
# Benchmarks say nothing under a sanitizer: build them only in the plain build.
bench=ON
[ -n "$sanitize" ] && bench=OFF
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKALAX_SANITIZE="$sanitize" \
      -DKALAX_BUILD_BENCH=$bench >/dev/null
cmake --build "$dir" -j "$jobs"
# Tests mostly wait on sockets and timers, so run more of them than there are cores.
ctest --test-dir "$dir" -j $((jobs * 4)) --output-on-failure "$@"
