#!/usr/bin/env bash
# Cross-builds kalax.dll for 64-bit Windows with mingw-w64 on Debian.
#   scripts/build-windows.sh [--smoke] [--no-deps] [TARGET...]
# Targets default to the library (kalax). --smoke also builds the platform
# tests and runs them under Wine against a simulated unit
# (scripts/windows-smoke.sh), which needs the native kalax-unitsim of build/.
# --no-deps installs nothing (scripts/deps.sh --windows is otherwise run first).
#
# The one dependency, libxml2, is cross-built from Debian's own source package
# (`apt-get source libxml2`), statically and with only the parser the library
# uses, into build-windows/libxml2/; a later run reuses it. The script adds a
# deb-src entry for Debian's archives when none is configured.
# KALAX_WIN_BUILD names another build folder (default build-windows).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
smoke=0
deps=1
targets=()
for a in "$@"; do
  case "$a" in
    --smoke) smoke=1 ;;
    --no-deps) deps=0 ;;
    *) targets+=("$a") ;;
  esac
done
((${#targets[@]})) || targets=(kalax)
((smoke)) && targets+=(kalax_smoke kalax_platform_test)

build=${KALAX_WIN_BUILD:-$root/build-windows}
host=x86_64-w64-mingw32
jobs=2
sudo_cmd=""
[ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"

((deps)) && scripts/deps.sh --windows

# ---- libxml2 from Debian's source package --------------------------------------
xml_prefix=$build/libxml2/prefix
# The prefix is staged and renamed into place last: one that exists is whole,
# an interrupted run leaves none to be reused. (The headers, installed last
# before staging, tell a half prefix of an older run.)
if [ ! -f "$xml_prefix/lib/libxml2.a" ] || [ ! -f "$xml_prefix/include/libxml2/libxml/xmlversion.h" ]; then
  stage=$build/libxml2/stage
  rm -rf "$xml_prefix" "$stage"
  if ! grep -rqs '^Types:.*deb-src\|^deb-src ' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    # The distribution's own archives once more, for their sources: Debian 12
    # and newer Ubuntu list them in a deb822 file, Ubuntu 22.04 in sources.list.
    src_list=""
    for f in /etc/apt/sources.list.d/debian.sources /etc/apt/sources.list.d/ubuntu.sources; do
      [ -f "$f" ] || continue
      src_list=/etc/apt/sources.list.d/kalax-deb-src.sources
      sed 's/^Types: deb$/Types: deb-src/' "$f" | $sudo_cmd tee "$src_list" >/dev/null
      break
    done
    if [ -z "$src_list" ] && grep -qE '^deb .*(debian|ubuntu)' /etc/apt/sources.list 2>/dev/null; then
      src_list=/etc/apt/sources.list.d/kalax-deb-src.list
      grep -E '^deb .*(debian|ubuntu)' /etc/apt/sources.list | sed 's/^deb /deb-src /' | $sudo_cmd tee "$src_list" >/dev/null
    fi
    [ -n "$src_list" ] || { echo "no Debian or Ubuntu archive entry to take the libxml2 sources from"; exit 1; }
    echo "added $src_list"
    $sudo_cmd apt-get update -qq
  fi
  src=$build/libxml2/src
  rm -rf "$src" "$build/libxml2/obj"
  mkdir -p "$src" "$build/libxml2/obj"
  started=$SECONDS
  echo "libxml2: apt-get source libxml2, cross-built into $xml_prefix"
  # Quiet unless it fails (as root apt warns that it cannot drop privileges).
  fetch() { (cd "$src" && apt-get source -qq libxml2 >"$build/libxml2/source.log" 2>&1); }
  # The source lists may be missing (a fresh image): once more after an update.
  fetch || { $sudo_cmd apt-get update -qq && fetch; } || { cat "$build/libxml2/source.log"; exit 1; }
  xml_src=$(find "$src" -mindepth 1 -maxdepth 1 -type d -name 'libxml2-*' | head -n1)
  [ -n "$xml_src" ] || { echo "apt-get source libxml2 gave no source tree"; exit 1; }
  # Debian's patches touch Makefile.am (tests only) and Debian regenerates with
  # autoreconf; the generated files shipped in the tarball serve the library as
  # they are, so they are marked newer than what the patches changed.
  (cd "$xml_src" && touch aclocal.m4 configure config.h.in $(find . -name Makefile.in))
  # Only what a SAX parse of UTF-8 / Latin-1 documents from memory needs: no
  # network, no iconv (the built-in encodings), no compression, no programs.
  (cd "$build/libxml2/obj" &&
    "$xml_src/configure" -q --host=$host --prefix="$xml_prefix" --enable-static --disable-shared \
      --without-python --without-lzma --without-zlib --without-iconv --without-icu \
      --without-http --without-ftp --without-modules --without-debug --without-catalog \
      --without-docbook --without-legacy \
      CC=$host-gcc-posix CFLAGS="-O2 -w" >/dev/null &&
    make -s -j$jobs libxml2.la >/dev/null &&
    make -s DESTDIR="$stage" install-libLTLIBRARIES install-pkgconfigDATA >/dev/null &&
    make -s -C include DESTDIR="$stage" install >/dev/null)
  [ -f "$stage$xml_prefix/lib/libxml2.a" ] || { echo "libxml2 cross-build failed"; exit 1; }
  mv "$stage$xml_prefix" "$xml_prefix"
  rm -rf "$stage"
  echo "libxml2: ready in $((SECONDS - started)) s"
fi

# ---- the library -----------------------------------------------------------------
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$build/kalax" -G Ninja --log-level=WARNING \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  "${launcher[@]}" -DKALAX_WERROR=ON \
  -DKALAX_BUILD_TESTS=OFF -DKALAX_BUILD_BENCH=OFF -DKALAX_BUILD_TOOLS=OFF \
  -DKALAX_WINDOWS_SMOKE=ON \
  -DLIBXML2_INCLUDE_DIR="$xml_prefix/include/libxml2" -DLIBXML2_LIBRARY="$xml_prefix/lib/libxml2.a" >/dev/null
cmake --build "$build/kalax" -j$jobs --target "${targets[@]}"
echo "built: $build/kalax/kalax.dll"

if ((smoke)); then
  KALAX_WIN_BUILD=$build scripts/windows-smoke.sh
fi
