#!/usr/bin/env bash
# Installs what building and testing need on Debian 12 / Ubuntu 22.04+, only
# what is missing. Run as root (or with sudo available).
set -euo pipefail
packages=(cmake ninja-build g++ clang libxml2-dev libxml2-utils libgtest-dev libgmock-dev
          libbenchmark-dev pkg-config curl valgrind)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  echo "installing: ${missing[*]}"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
