#!/usr/bin/env bash
# Builds every fuzz target (fuzz/*.cpp) with clang, libFuzzer, AddressSanitizer
# and UndefinedBehaviorSanitizer in build-fuzz/, then runs each one for
# SECONDS (default 60) on a fresh copy of its seed corpus (fuzz/seeds/<target>/
# is never written to). Exits nonzero when any target finds a crash, a leak, a
# timeout or runs out of memory; the input that did it is kept in
# build-fuzz/artifacts/<target>/ and the target's output in build-fuzz/logs/.
#
#   fuzz/run.sh [SECONDS] [TARGET...]
#
# Environment: KALAX_FUZZ_KEEP_CORPUS=1 goes on from the corpus a previous run
# left in build-fuzz/corpus/ instead of starting from the seeds again;
# KALAX_FUZZ_RUNS=N also stops each target after N executions (whichever of
# time and count comes first); KALAX_FUZZ_JOBS sets the build's parallel jobs
# (default 2).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${1:-60}
shift || true
build=$root/build-fuzz

# ---- tools ------------------------------------------------------------------------
# libFuzzer ships with clang's runtime libraries (Debian: libclang-rt-14-dev).
need=()
command -v clang >/dev/null && command -v clang++ >/dev/null || need+=(clang)
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
dpkg-query -W -f='${Status}' libxml2-dev 2>/dev/null | grep -q "install ok installed" || need+=(libxml2-dev)
if command -v clang >/dev/null; then
  fuzzer_lib=$(clang -print-file-name=libclang_rt.fuzzer-x86_64.a 2>/dev/null || true)
  [ -f "$fuzzer_lib" ] || need+=(libclang-rt-14-dev)
else
  need+=(libclang-rt-14-dev)
fi
if ((${#need[@]})); then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  echo "installing: ${need[*]}"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${need[@]}"
fi

# ---- build ------------------------------------------------------------------------
targets=()
if (($#)); then
  targets=("$@")
else
  for src in fuzz/*.cpp; do targets+=("$(basename "$src" .cpp)"); done
fi
# The library itself is built with libFuzzer's coverage instrumentation
# (fuzzer-no-link), or the targets would only see their own edges.
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ "${launcher[@]}" \
  -DKALAX_BUILD_FUZZ=ON -DKALAX_SANITIZE=address,undefined -DKALAX_WERROR=ON \
  -DKALAX_BUILD_TESTS=OFF -DKALAX_BUILD_BENCH=OFF -DKALAX_BUILD_TOOLS=OFF \
  -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
cmake --build "$build" -j "${KALAX_FUZZ_JOBS:-2}" --target "${targets[@]}"

# ---- run --------------------------------------------------------------------------
# Longest input per surface: documents live in 20000-byte buffers (a little more
# leaves room for control bytes and a body at the buffer's limit); logs and CSV
# texts are long.
max_len() {
  case "$1" in
    fuzz_xml_parse|fuzz_setup_reduce|fuzz_http_receive) echo 24000 ;;
    *) echo 100000 ;;
  esac
}

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=1:handle_abort=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
mkdir -p "$build/logs"
failed=()
summary=()
for t in "${targets[@]}"; do
  corpus=$build/corpus/$t
  artifacts=$build/artifacts/$t
  log=$build/logs/$t.log
  if [ "${KALAX_FUZZ_KEEP_CORPUS:-0}" != 1 ] || [ ! -d "$corpus" ]; then
    rm -rf "$corpus"
    mkdir -p "$corpus"
    [ -d "fuzz/seeds/$t" ] && cp fuzz/seeds/"$t"/* "$corpus"/
  fi
  rm -rf "$artifacts"
  mkdir -p "$artifacts"
  echo "== $t: ${seconds}s"
  runs=()
  [ -n "${KALAX_FUZZ_RUNS:-}" ] && runs=(-runs="$KALAX_FUZZ_RUNS")
  dict=()
  [ -f "fuzz/dicts/$t.dict" ] && dict=(-dict="fuzz/dicts/$t.dict")
  rc=0
  "$build/$t" "${dict[@]}" "${runs[@]}" -max_total_time="$seconds" -max_len="$(max_len "$t")" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" >"$log" 2>&1 || rc=$?
  # libFuzzer's last status line: "#N DONE cov: C ft: F corp: K/S ..."
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 || true)
  [ -n "$done_line" ] || done_line=$(grep -E '^#[0-9]+[[:space:]]+(INITED|NEW|REDUCE|pulse|RELOAD)' "$log" | tail -n 1 || true)
  execs=$(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}' | tail -n 1)
  rate=$(grep -E '^stat::average_exec_per_sec' "$log" | awk '{print $2}' | tail -n 1)
  cov=$(sed -nE 's/.*cov: ([0-9]+).*/\1/p' <<<"$done_line")
  ft=$(sed -nE 's/.*ft: ([0-9]+).*/\1/p' <<<"$done_line")
  corp=$(sed -nE 's/.*corp: ([0-9]+\/[0-9A-Za-z]+).*/\1/p' <<<"$done_line")
  status=ok
  if [ "$rc" -ne 0 ]; then
    status="FAILED (exit $rc)"
    failed+=("$t")
    grep -E 'ERROR: (libFuzzer|AddressSanitizer|LeakSanitizer)|runtime error|broken promise|SUMMARY' "$log" | head -n 5 || true
    ls "$artifacts" | sed 's/^/   artifact: /'
  fi
  summary+=("$(printf '%-20s %12s %9s %6s %7s %14s  %s' "$t" "${execs:-?}" "${rate:-?}" "${cov:-?}" "${ft:-?}" "${corp:-?}" "$status")")
done

echo
printf '%-20s %12s %9s %6s %7s %14s  %s\n' target executions exec/s cov ft corpus status
printf '%s\n' "${summary[@]}"
if ((${#failed[@]})); then
  echo "fuzzing found faults in: ${failed[*]} (logs in $build/logs, inputs in $build/artifacts)"
  exit 1
fi
