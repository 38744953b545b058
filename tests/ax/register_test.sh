#!/bin/sh
# kalax register / unregister against a temporary registry file: the same bytes
# when registered twice, both objects gone and the type library kept after
# unregistering, a clear failure for a file that cannot be written.
# usage: register_test.sh KALAX_TOOL
set -eu
tool=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
reg="$dir/with blank/registry.reg"
mkdir -p "$dir/with blank"
"$tool" register --registry "$reg" -q
grep -q '^\[HKEY_CLASSES_ROOT\\KalAx.IoXml\\CLSID\]' "$reg"
grep -q '^\[HKEY_CLASSES_ROOT\\KalAx.KalLog\]' "$reg"
grep -q '^\[HKEY_CLASSES_ROOT\\TypeLib\\{B1082E20-2751-4E4D-A268-819918F8E4C9}\\1.0\\409\\linux64\]' "$reg"
cp "$reg" "$dir/first"
KALAX_REGISTRY="$reg" "$tool" register -q
cmp "$dir/first" "$reg"
"$tool" unregister --registry "$reg" -q
if grep -q 'KalAx\.\(IoXml\|KalLog\)\|{F223A48E\|{C80A65B5' "$reg"; then
  echo "unregister left an object behind"; exit 1
fi
grep -q 'TypeLib\\{B1082E20-2751-4E4D-A268-819918F8E4C9}' "$reg"
if "$tool" register --registry /proc/no-such-dir/registry.reg 2>"$dir/err"; then
  echo "registering into an impossible file succeeded"; exit 1
fi
grep -q 'registering in /proc/no-such-dir/registry.reg' "$dir/err"
echo "register/unregister: ok"
