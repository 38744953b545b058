#!/usr/bin/env bash
# Installs a build into a temporary prefix and builds the README's C example
# against it twice, through pkg-config and through find_package(kalax); both
# programs then read a simulated unit served by the installed kalax tool.
#   scripts/install_test.sh BUILD_DIR [C_COMPILER] [SANITIZERS]
# With --subdirectory, the example is instead built by a project that takes the
# source tree in with add_subdirectory(kalax) and links kalax::kalax, without
# GoogleTest or Google Benchmark; the build's own kalax tool serves the unit.
#   scripts/install_test.sh --subdirectory BUILD_DIR [C_COMPILER] [SANITIZERS] [CXX_COMPILER]
set -euo pipefail
mode=install
if [ "${1:-}" = "--subdirectory" ]; then mode=subdirectory; shift; fi
build=$(cd "$1" && pwd)
cc=${2:-cc}
sanitize=${3:-}
cxx=${4:-c++}
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/kalax-install-XXXXXX")
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

flags="-Wall -Wextra -Werror"
[ -n "$sanitize" ] && flags="$flags -fsanitize=$sanitize"

# The consumer is the README's C example, verbatim.
mkdir -p "$work/app"
awk '/^```c$/ {inside = 1; next} /^```$/ {if (inside) exit} inside' "$root/README.md" > "$work/app/example.c"
grep -q zxxml_open "$work/app/example.c" || { echo "no C example found in README.md"; exit 1; }

if [ "$mode" = install ]; then
  prefix=$work/prefix
  cmake --install "$build" --prefix "$prefix" >/dev/null
  sim=$prefix/bin/kalax
  # The tool's companions: the simulated unit, the man page, the completion;
  # and the tool looks for its library next to itself, wherever the tree lies.
  for f in bin/kalax-unitsim share/man/man1/kalax.1 share/bash-completion/completions/kalax; do
    [ -e "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
  done
  libdir=$(dirname "$(find "$prefix" -name 'libkalax.so*' | head -n 1)")
  rpath=$(readelf -d "$sim" | sed -n 's/.*(\(RPATH\|RUNPATH\)).*\[\(.*\)\]/\2/p')
  [ "$rpath" = "\$ORIGIN/$(realpath --relative-to="$prefix/bin" "$libdir")" ] ||
    { echo "installed kalax has RPATH '$rpath', not \$ORIGIN/../$(basename "$libdir")"; exit 1; }
  "$prefix/bin/kalax" --version | grep -x "kalax [0-9.]*" >/dev/null || { echo "kalax --version"; exit 1; }
  "$prefix/bin/kalax-unitsim" --help | grep -- "--close-after" >/dev/null || { echo "kalax-unitsim has no fault options"; exit 1; }
  apps=("$work/app/by-pkg-config" "$work/app/build/by-find-package")
  # The Python package: importable from the prefix's Python path alone, using
  # the installed library, and registering it. (Not under a sanitizer: the
  # interpreter would need its runtime preloaded.)
  if [ -z "$sanitize" ] && [ -x /usr/bin/python3 ]; then
    pydir=$(dirname "$(dirname "$(find "$prefix" -path '*/kalax/__init__.py' | head -n 1)")")
    [ -d "$pydir" ] || { echo "not installed: the Python package kalax"; exit 1; }
    used=$(cd / && PYTHONPATH=$pydir /usr/bin/python3 -c "import kalax; print(kalax.library_path)")
    case "$used" in "$prefix"/*) ;; *) echo "the installed package uses $used"; exit 1 ;; esac
    (cd / && PYTHONPATH=$pydir /usr/bin/python3 -m kalax register -q --registry "$work/registry.reg")
    grep -q "InprocServer32" "$work/registry.reg" || { echo "python3 -m kalax register wrote nothing"; exit 1; }
  fi

  # 1. pkg-config, looking only at the installed tree.
  pcdir=$(dirname "$(find "$prefix" -name kalax.pc | head -n 1)")
  export PKG_CONFIG_LIBDIR=$pcdir
  # shellcheck disable=SC2046
  "$cc" $flags "$work/app/example.c" -o "$work/app/by-pkg-config" $(pkg-config --cflags --libs kalax) \
    -Wl,-rpath,"$(pkg-config --variable=libdir kalax)"

  # 2. find_package.
  cat > "$work/app/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.20)
project(kalax_consumer C)
find_package(kalax 0.1 REQUIRED)
add_executable(by-find-package example.c)
target_link_libraries(by-find-package PRIVATE kalax::kalax)
CMAKE
  cmake -S "$work/app" -B "$work/app/build" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$cc" \
    -DCMAKE_C_FLAGS="$flags" >/dev/null
  cmake --build "$work/app/build" >/dev/null
else
  sim=$build/tools/cli/kalax
  apps=("$work/app/build/by-subdirectory")
  cat > "$work/app/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.20)
project(kalax_consumer C)
add_subdirectory("$root" kalax)
add_executable(by-subdirectory example.c)
target_link_libraries(by-subdirectory PRIVATE kalax::kalax)
CMAKE
  # The library builds with the consumer's compilers; GoogleTest and Google
  # Benchmark are hidden to show that the consumer needs neither.
  launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  cmake -S "$work/app" -B "$work/app/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo --no-warn-unused-cli \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_C_FLAGS="$flags" \
    -DKALAX_SANITIZE="$sanitize" "${launcher[@]}" \
    -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON >/dev/null
  cmake --build "$work/app/build" -j "$(nproc)" >/dev/null
  # Only the library and the example: no tests, tools or benchmarks came along.
  extra=$(cd "$work/app/build" && ninja -t targets all | grep -E '(^|/)(test_[a-z_]+|bench_[a-z_0-9]+|kalax_cli|kalax-unitsim|kalax_unitsim):' || true)
  [ -z "$extra" ] || { echo "the subdirectory build also made: $extra"; exit 1; }
fi

# The programs read a unit served by the kalax tool; its first line names the port.
mkfifo "$work/sim.out"
"$sim" sim --port 0 > "$work/sim.out" &
sim_pid=$!
exec 3< "$work/sim.out"
IFS= read -r -t 10 -u 3 first || { echo "kalax sim did not start"; exit 1; }
port=$(echo "$first" | sed -n 's/.*listens on 127\.0\.0\.1:\([0-9]*\).*/\1/p')
[ -n "$port" ] || { echo "unexpected first line from kalax sim: $first"; exit 1; }
for app in "${apps[@]}"; do
  out=$("$app" 127.0.0.1 "$port")
  echo "$(basename "$app"):"
  echo "$out"
  echo "$out" | grep -q "Serverraum" || exit 1
done
