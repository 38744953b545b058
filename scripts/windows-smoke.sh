#!/usr/bin/env bash
# Runs the Windows build's platform smoke test under Wine against a simulated
# unit of the native build on loopback.
#   scripts/windows-smoke.sh
# Needs build-windows/kalax/kalax_smoke.exe (scripts/build-windows.sh --smoke)
# and build/kalax-unitsim (the native build). Exit 77 with the reason printed
# when Wine or the programs are missing; the Wine prefix lives in the build
# folder and its wineserver is stopped at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${KALAX_WIN_BUILD:-$PWD/build-windows}
native=${KALAX_NATIVE_BUILD:-$PWD/build}
exe=$build/kalax/kalax_smoke.exe
sim=$native/kalax-unitsim
wine=$(command -v wine64 || command -v wine || true)
[ -n "$wine" ] || { echo "skipped: wine64 is not installed (scripts/deps.sh --windows)"; exit 77; }
for f in "$exe" "$build/kalax/kalax_platform_test.exe"; do
  [ -f "$f" ] || { echo "skipped: $f is missing (scripts/build-windows.sh --smoke)"; exit 77; }
done
[ -x "$sim" ] || { echo "skipped: $sim is missing (build the native kalax-unitsim)"; exit 77; }

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
