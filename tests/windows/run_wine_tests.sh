#!/bin/sh
# The Windows COM server under Wine: cross-builds the Windows tree (scripts/
# build-windows.sh) when needed, registers kalax.dll with regsvr32 in a Wine
# prefix of its own, runs the native test client and the JScript and VBScript
# files against simulated units on this side of loopback, unregisters and
# checks the class entries are gone.
#
# usage: run_wine_tests.sh SOURCE_DIR WORK_DIR UNITSIM
#   WORK_DIR  a folder of the Linux build; the prefix is made there once per run
#   UNITSIM   the kalax-unitsim executable
# Environment: KALAX_WIN_BUILD, the Windows build folder of
# scripts/build-windows.sh (default SOURCE_DIR/build-windows).
# Exit 0 all passed, 1 a check failed, 77 skipped (wine or mingw-w64 missing;
# 1 instead when KALAX_REQUIRE_WINDOWS=1, as in CI, where a skip would pass a
# step that tested nothing). Nothing is installed here: scripts/deps.sh --windows.
set -u
src=$1
work=$2
unitsim=$3
wbuild=${KALAX_WIN_BUILD:-$src/build-windows}

skip() {
  echo "skipped: $1 is not installed (scripts/deps.sh --windows installs wine64, mingw-w64 and widl)"
  [ "${KALAX_REQUIRE_WINDOWS:-0}" = 1 ] && exit 1
  exit 77
}
for tool in wine wineserver winepath x86_64-w64-mingw32-g++-posix; do
  command -v "$tool" >/dev/null 2>&1 || skip "$tool"
done
# The type library's compiler and the system IDL files it reads (ax/windows.cmake).
command -v widl >/dev/null 2>&1 || command -v widl-stable >/dev/null 2>&1 || [ -x /usr/lib/wine/widl ] ||
  [ -x /usr/lib/x86_64-linux-gnu/wine/widl ] || skip widl
[ -f /usr/include/wine/wine/windows/oaidl.idl ] || skip "libwine-dev (oaidl.idl)"
started=$(date +%s)

failures=0
fail() {
  printf 'FAIL %s\n' "$1"
  failures=$((failures + 1))
}
ok() { echo "ok $1"; }

echo "== cross-build"
if ! "$src/scripts/build-windows.sh" --no-deps kalax kalax_wine_client >"$work.build.log" 2>&1; then
  tail -n 40 "$work.build.log"
  echo "FAIL windows build (log: $work.build.log)"
  exit 1
fi
dll=$wbuild/kalax/kalax.dll
client=$wbuild/kalax/kalax_wine_client.exe
if [ ! -f "$dll" ] || [ ! -f "$client" ]; then
  echo "FAIL kalax.dll or kalax_wine_client.exe not found under $wbuild"
  exit 1
fi

rm -rf "$work"
mkdir -p "$work"
# A folder with a blank: the server registers its short form.
bin="$work/kalax bin"
mkdir -p "$bin"
cp "$dll" "$client" "$src/tests/windows/scripts/read_unit.js" "$src/tests/windows/scripts/read_unit.vbs" "$bin/"

export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
sims=""
cleanup() {
  for pid in $sims; do kill "$pid" 2>/dev/null; done
  for pid in $sims; do wait "$pid" 2>/dev/null; done
  wineserver -k 2>/dev/null
}
trap cleanup EXIT INT TERM

echo "== prefix"
t0=$(date +%s)
wine wineboot --init >"$work/wineboot.log" 2>&1
echo "# prefix made in $(($(date +%s) - t0)) s"

# Starts a simulated unit on a free port; its port in $port.
start_unit() {
  out="$work/unit.$#.$(date +%s%N).out"
  "$unitsim" --port 0 "$@" >"$out" 2>&1 &
  pid=$!
  sims="$sims $pid"
  port=""
  for _ in $(seq 100); do
    port=$(sed -n 's|^http://127.0.0.1:\([0-9]*\)/.*|\1|p' "$out")
    [ -n "$port" ] && break
    sleep 0.05
  done
  [ -n "$port" ] || { echo "FAIL simulated unit did not start: $(cat "$out")"; exit 1; }
}
start_unit
unit_port=$port
start_unit --user admin --password secret
auth_port=$port
start_unit --delay-ms 600000
silent_port=$port
start_unit
dead_port=$port
kill "$pid"
wait "$pid" 2>/dev/null

winbin=$(winepath -w "$bin")
clsid='{F223A48E-70EE-46EB-AAB8-747C516F6F09}'

echo "== regsvr32"
if wine regsvr32 /s "$winbin\\kalax.dll" >"$work/regsvr32.log" 2>&1; then ok regsvr32; else fail "regsvr32: $(cat "$work/regsvr32.log")"; fi
query() { wine reg query "$@" 2>/dev/null | tr -d '\r'; }
server=$(query "HKCR\\CLSID\\$clsid\\InprocServer32")
printf '%s\n' "$server" | grep -q 'ThreadingModel.*Apartment' && ok registry_threading_model || fail "registry_threading_model: $server"
path_value=$(printf '%s\n' "$server" | sed -n 's/^ *(Default) *REG_SZ *//p')
case "$path_value" in
  *kalax.dll|*KALAX.DLL) ok registry_server_path ;;
  *) fail "registry_server_path: $path_value" ;;
esac
case "$path_value" in
  *" "*) fail "registry_short_path: $path_value" ;;
  *) ok registry_short_path ;;
esac
query 'HKCR\KalAx.KalLog\CLSID' | grep -q '{C80A65B5-8700-4D13-93E0-86A352785263}' && ok registry_progid || fail registry_progid
query 'HKCR\TypeLib\{B1082E20-2751-4E4D-A268-819918F8E4C9}\1.0' | grep -q 'KalAx Library' && ok registry_typelib \
  || fail registry_typelib
# Registering twice leaves the same entries.
snapshot() {
  for key in "HKCR\\CLSID\\$clsid" 'HKCR\KalAx.IoXml' 'HKCR\KalAx.KalLog'; do query "$key" /s; done
}
snapshot >"$work/registry.once"
for want in '\\ProgID' '\\Version' '\\Typelib' 'REG_SZ *1.0' 'REG_SZ *{B1082E20-2751-4E4D-A268-819918F8E4C9}' \
            'REG_SZ *IoXml Object' 'REG_SZ *KalLog Object'; do
  grep -q "$want" "$work/registry.once" && ok "registry_entry $want" || fail "registry_entry $want"
done
wine regsvr32 /s "$winbin\\kalax.dll" >/dev/null 2>&1
snapshot >"$work/registry.twice"
if [ -s "$work/registry.once" ] && cmp -s "$work/registry.once" "$work/registry.twice"; then ok registering_twice_same
else fail registering_twice_same; fi

# The unit's own values.xml names input 1 `$1` (UTF-8): the text arrived whole.
unit_names() {
  python3 -c 'import sys, urllib.request
print(urllib.request.urlopen("http://127.0.0.1:%s/values.xml" % sys.argv[1], timeout=5).read().decode("utf-8", "replace"))' "$unit_port"
}
check_name() {
  if unit_names | grep -qF "$2"; then ok "$1"; else fail "$1: the unit does not hold the name $2"; fi
}

echo "== native client"
# Through a file, not a pipe: the client's own exit status counts too (a crash
# after its PASSED line is a failure).
(cd "$bin" && wine kalax_wine_client.exe "$unit_port" "$auth_port" "$dead_port") >"$work/client.raw" 2>&1
rc=$?
tr -d '\r' <"$work/client.raw" | tee "$work/client.log"
if [ "$rc" -eq 0 ] && grep -q '^PASSED' "$work/client.log"; then ok native_client; else fail "native_client: exit $rc"; fi
check_name native_client_rename_reached_unit "Kühlraum № 3 °C"

# Ending with requests in flight to a unit that never answers neither hangs
# nor waits for it: at process exit, and when the library is unloaded.
for how in exit release; do
  t0=$(date +%s)
  (cd "$bin" && timeout 60 wine kalax_wine_client.exe --in-flight "$how" "$silent_port") >"$work/in-flight.log" 2>&1
  rc=$?
  took=$(($(date +%s) - t0))
  if [ "$rc" -eq 7 ] && [ "$took" -lt 30 ]; then ok "in_flight_$how ($took s)"; else fail "in_flight_$how: exit $rc after $took s"; fi
done

for script in read_unit.js read_unit.vbs; do
  echo "== cscript $script"
  (cd "$bin" && wine cscript //nologo "$winbin\\$script" "$unit_port" "$dead_port") >"$work/$script.raw" 2>&1
  rc=$?
  tr -d '\r' <"$work/$script.raw" | tee "$work/$script.log"
  if [ "$rc" -eq 0 ] && grep -q '^PASSED' "$work/$script.log"; then ok "cscript_$script"
  else fail "cscript_$script: exit $rc"; fi
  case $script in
    *.js) check_name cscript_js_rename_reached_unit "Kühlraum № 4 °C" ;;
    *.vbs) check_name cscript_vbs_rename_reached_unit "Kühlraum 5 °C" ;;
  esac
done

echo "== regsvr32 /u"
if wine regsvr32 /s /u "$winbin\\kalax.dll" >"$work/unregsvr32.log" 2>&1; then ok regsvr32_u; else fail regsvr32_u; fi
for key in "HKCR\\CLSID\\$clsid" 'HKCR\CLSID\{C80A65B5-8700-4D13-93E0-86A352785263}' 'HKCR\KalAx.IoXml' 'HKCR\KalAx.KalLog'; do
  if wine reg query "$key" >/dev/null 2>&1; then fail "unregistered: $key still there"; else ok "unregistered $key"; fi
done

# The type library stays registered, as on every platform.
query 'HKCR\TypeLib\{B1082E20-2751-4E4D-A268-819918F8E4C9}\1.0' | grep -q 'KalAx Library' && ok typelib_stays_registered \
  || fail typelib_stays_registered

echo "# windows job: $(($(date +%s) - started)) s"
[ "$failures" -eq 0 ] && echo "PASSED" || echo "FAILED: $failures"
[ "$failures" -eq 0 ]
