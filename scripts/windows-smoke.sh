#!/usr/bin/env bash
# Runs the Windows build's platform smoke test under Wine against a simulated
# unit of the native build on loopback.
#   scripts/windows-smoke.sh [--build]
# Needs build-windows/kalax/kalax_smoke.exe and kalax_platform_test.exe
# (scripts/build-windows.sh --smoke, or --build here, which cross-builds them
# first without installing anything) and build/kalax-unitsim (the native
# build; KALAX_NATIVE_BUILD names another folder). Exit 77 with the reason
# printed when Wine, mingw-w64 or the programs are missing (exit 1 instead
# with KALAX_REQUIRE_WINDOWS=1, as in CI); the Wine prefix lives in the build
# folder and its wineserver is stopped at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${KALAX_WIN_BUILD:-$PWD/build-windows}
native=${KALAX_NATIVE_BUILD:-$PWD/build}
exe=$build/kalax/kalax_smoke.exe
sim=$native/kalax-unitsim
# Where a skip would pass a step that tested nothing, it fails.
skip() {
  echo "skipped: $1"
  [ "${KALAX_REQUIRE_WINDOWS:-0}" = 1 ] && exit 1
  exit 77
}
wine=$(command -v wine64 || command -v wine || true)
[ -n "$wine" ] || skip "wine64 is not installed (scripts/deps.sh --windows)"
if [ "${1:-}" = "--build" ]; then
  command -v x86_64-w64-mingw32-g++-posix >/dev/null || skip "mingw-w64 is not installed (scripts/deps.sh --windows)"
  KALAX_WIN_BUILD=$build scripts/build-windows.sh --no-deps kalax_smoke kalax_platform_test
fi
for f in "$exe" "$build/kalax/kalax_platform_test.exe"; do
  [ -f "$f" ] || skip "$f is missing (scripts/build-windows.sh --smoke)"
done
[ -x "$sim" ] || skip "$sim is missing (build the native kalax-unitsim)"

# The DLL exports every C name the platform's public headers declare with
# ZX_API, and nothing but C names of the library's own families.
dll=$build/kalax/kalax.dll
exports=$(x86_64-w64-mingw32-objdump -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p' | sort)
declared=$(grep -ohE 'ZX_API[^;(]*[ *][A-Za-z][A-Za-z0-9_]*\(' include/kalax/zx.h include/kalax/zxxml.h \
  include/kalax/zxpld.h include/kalax/zxevents.h | sed -E 's/.*[ *]([A-Za-z][A-Za-z0-9_]*)\($/\1/' | sort -u)
missing=$(comm -13 <(echo "$exports") <(echo "$declared"))
stray=$(echo "$exports" | grep -vE '^(zx|zxxml|zxpld|zxax)_|^Dll(RegisterServer|UnregisterServer|GetClassObject|CanUnloadNow)$' || true)
if [ -n "$missing$stray" ]; then
  echo "kalax.dll exports: missing [$missing], not the library's [$stray]"
  exit 1
fi
echo "kalax.dll exports $(echo "$exports" | wc -l) names; imports: $(x86_64-w64-mingw32-objdump -p "$dll" |
  sed -n 's/^[[:space:]]*DLL Name: //p' | tr '\n' ' ')"

export WINEPREFIX=$build/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  # Made once; its first-run notes are noise here.
  mkdir -p "$WINEPREFIX"
  "$wine" wineboot -i >/dev/null 2>&1 || true
fi
log=$(mktemp)
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  wineserver -k 2>/dev/null || true
  rm -f "$log"
}
trap cleanup EXIT

"$sim" --port 0 >"$log" 2>&1 &
sim_pid=$!
url=""
for _ in $(seq 50); do
  url=$(grep -o 'http://127.0.0.1:[0-9]*' "$log" || true)
  [ -n "$url" ] && break
  sleep 0.1
done
[ -n "$url" ] || { echo "kalax-unitsim did not start"; cat "$log"; exit 1; }
port=${url##*:}
# Port 1 on loopback: nothing listens there.
timeout 120 "$wine" "$exe" 127.0.0.1 "$port" 1
timeout 120 "$wine" "$build/kalax/kalax_platform_test.exe" "$port" 1
