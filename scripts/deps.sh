#!/usr/bin/env bash
# Installs what building and testing need on Debian 12 / Ubuntu 22.04+, only
# what is missing. Run as root (or with sudo available).
#   cmake ninja-build g++ clang  the two compilers CI builds the suite with
#   libxml2-dev                  the library's one dependency
#   libgtest-dev                 the tests (GoogleTest; no mocks are used)
#   libbenchmark-dev             bench/
#   libcurl4-openssl-dev         bench/bench_fleet's libcurl round trip (left out without it)
#   pkg-config                   the install test's pkg-config consumer
#   valgrind                     scripts/memcheck.sh
#   help2man                     the kalax(1) man page, made from the tool's help
#   locales                      the de_DE locale source a device test generates
#                                when the system has not installed it
#   prometheus-cpp-dev           `kalax exporter`: Prometheus's C++ client (pull exposer, civetweb)
#   prometheus                   the monitoring tests: promtool checks the exporter's output,
#                                and a real Prometheus server scrapes it end to end
#   python3 python3-prometheus-client   the monitoring tests: Prometheus's own text parser
#   wine64-tools libwine-dev     widl, which compiles the generated IDL into a type library,
#                                and the system IDL files it imports (oaidl.idl)
#   python3-pytest               the tests of the Python package kalax (python/tests)
# and clang's sanitizer runtimes where they are a package of their own
# (Debian 12: libclang-rt-14-dev), for the clang build under sanitizers.
#
# scripts/deps.sh --windows installs only what the Windows cross-build needs
# (scripts/build-windows.sh runs it), so the Linux path stays lean:
#   g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix   the cross compilers (posix threads model)
#   mingw-w64-tools              widl and the import-library tools for the cross-build
#   dpkg-dev                     `apt-get source libxml2` unpacks Debian's libxml2 source to cross-build
#   make                         libxml2's own build
#   wine wine64                  runs the Windows programs and tests on Linux (wine: the `wine` command)
#   wine64-tools libwine-dev     widl and the system IDL files: the type library resource
set -euo pipefail
sudo_cmd=""
[ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
install() {
  echo "installing: $*"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "$@"
}
# Installs those of the arguments that are not installed yet.
install_missing() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if ((${#missing[@]})); then install "${missing[@]}"; fi
}
if [ "${1:-}" = "--windows" ]; then
  install_missing cmake ninja-build ccache g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-tools \
                  dpkg-dev make wine wine64 wine64-tools libwine-dev
  exit 0
fi
install_missing cmake ninja-build g++ clang libxml2-dev libgtest-dev libbenchmark-dev libcurl4-openssl-dev pkg-config \
                valgrind help2man locales prometheus-cpp-dev prometheus python3 python3-prometheus-client \
                wine64-tools libwine-dev python3-pytest
if [ ! -f "$(clang -print-file-name=libclang_rt.asan-x86_64.a)" ]; then
  install "libclang-rt-$(clang -dumpversion | cut -d. -f1)-dev"
fi
