#!/bin/sh
# Compiles a generated IDL file into a type library with widl, as a Windows
# build will. usage: widl_check.sh FILE.idl
set -eu
widl=$(command -v widl || command -v widl-stable || { [ -x /usr/lib/wine/widl ] && echo /usr/lib/wine/widl; } || true)
if [ -z "$widl" ]; then
  echo "skipped: widl is not installed (Debian package wine64-tools)"
  exit 77
fi
include=/usr/include/wine/wine/windows
if [ ! -f "$include/oaidl.idl" ]; then
  echo "skipped: $include/oaidl.idl is missing (Debian package libwine-dev)"
  exit 77
fi
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
"$widl" -t -I"$include" -o "$out/lib.tlb" "$1"
test -s "$out/lib.tlb"
echo "$1: $(wc -c <"$out/lib.tlb") bytes of type library"
