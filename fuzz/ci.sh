#!/usr/bin/env bash
# CI: every fuzz target for 60 seconds from its seeds, with ASan and UBSan.
set -euo pipefail
exec "$(dirname "$0")/run.sh" 60
