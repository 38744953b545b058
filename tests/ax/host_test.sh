#!/bin/sh
# Registers the dummy server in a fresh registry file and runs a host program.
# usage: host_test.sh HOST DUMMY_SERVER
set -eu
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
clsid='{5F0C3A10-8E1B-4C6A-9D2E-3B7A41C0D003}'
printf 'REGEDIT4\r\n\r\n[HKEY_CLASSES_ROOT\\Dummy.Object\\CLSID]\r\n@="%s"\r\n\r\n[HKEY_CLASSES_ROOT\\CLSID\\%s\\InprocServer32]\r\n@="%s"\r\n\r\n' \
  "$clsid" "$clsid" "$2" >"$dir/registry.reg"
KALAX_REGISTRY="$dir/registry.reg" "$1"
