#!/usr/bin/env bash
# Builds the library and runs every test, warnings as errors.
#   scripts/test.sh [--compiler gcc|clang] [--sanitize LIST] [CTEST ARGS...]
# --compiler clang builds with clang in its own folder (build-clang); --sanitize
# LIST builds once more with those sanitizers (e.g. address,undefined) in its
# own folder (build-address-undefined, build-clang-address-undefined). The slow
# tests (label slow: they wait for the protocol's timeouts) and the install
# tests (label install) run only in the plain g++ build: the other builds have
# nothing to add to them but minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
sanitize=""
compiler=gcc
while (($#)); do
  case "$1" in
    --sanitize) sanitize="$2"; shift 2 ;;
    --compiler) compiler="$2"; shift 2 ;;
    *) break ;;
  esac
done
case "$compiler" in
  gcc) cc=gcc cxx=g++ ;;
  clang) cc=clang cxx=clang++ ;;
  *) echo "unknown compiler: $compiler (gcc or clang)"; exit 2 ;;
esac
scripts/deps.sh
dir=build
[ "$compiler" != gcc ] && dir="$dir-$compiler"
[ -n "$sanitize" ] && dir="$dir-${sanitize//,/-}"
jobs=$(nproc)
# Benchmarks say nothing under a sanitizer: build them only without one.
bench=ON
[ -n "$sanitize" ] && bench=OFF
# ccache is no dependency, but a rebuild with it is much faster.
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
      -DKALAX_WERROR=ON -DKALAX_SANITIZE="$sanitize" -DKALAX_BUILD_BENCH=$bench "${launcher[@]}" >/dev/null
cmake --build "$dir" -j "$jobs"
only_once=()
if [ "$compiler" != gcc ] || [ -n "$sanitize" ]; then only_once=(-LE "^(slow|install)$"); fi
# Tests mostly wait on sockets and timers, so run more of them than there are cores.
ctest --test-dir "$dir" -j $((jobs * 4)) --output-on-failure "${only_once[@]}" "$@"
