#!/usr/bin/env bash
# Installs what is missing, builds the kalax tool (in build/, as scripts/test.sh
# does) and runs its demo against a simulated unit. Arguments go to the demo
# (e.g. --keep to keep the downloaded log).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
# The same build folder and compilers as scripts/test.sh.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ \
      -DKALAX_SANITIZE="" >/dev/null
cmake --build build -j "$(nproc)" --target kalax_cli
exec build/tools/cli/kalax demo "$@"
