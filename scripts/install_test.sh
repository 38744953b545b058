#!/usr/bin/env bash
# Installs a build into a temporary prefix and builds the README's C example
# against it twice, through pkg-config and through find_package(kalax); both
# programs then read a simulated unit served by the installed kalax tool.
#   scripts/install_test.sh BUILD_DIR [C_COMPILER] [SANITIZERS]
set -euo pipefail
build=$(cd "$1" && pwd)
cc=${2:-cc}
sanitize=${3:-}
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/kalax-install-XXXXXX")
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
flags="-Wall -Wextra -Werror"
[ -n "$sanitize" ] && flags="$flags -fsanitize=$sanitize"

# The consumer is the README's C example, verbatim.
mkdir -p "$work/app"
awk '/^```c$/ {inside = 1; next} /^```$/ {if (inside) exit} inside' "$root/README.md" > "$work/app/example.c"
grep -q zxxml_open "$work/app/example.c" || { echo "no C example found in README.md"; exit 1; }

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

# Both read a unit served by the installed tool; its first line names the port.
mkfifo "$work/sim.out"
"$prefix/bin/kalax" sim --port 0 > "$work/sim.out" &
sim_pid=$!
exec 3< "$work/sim.out"
IFS= read -r -t 10 -u 3 first || { echo "the installed kalax sim did not start"; exit 1; }
port=$(echo "$first" | sed -n 's/.*listens on 127\.0\.0\.1:\([0-9]*\).*/\1/p')
[ -n "$port" ] || { echo "unexpected first line from kalax sim: $first"; exit 1; }
for app in "$work/app/by-pkg-config" "$work/app/build/by-find-package"; do
  out=$("$app" 127.0.0.1 "$port")
  echo "$(basename "$app"):"
  echo "$out"
  echo "$out" | grep -q "Serverraum" || exit 1
done
