#!/usr/bin/env bash
# Times expanding a folder of 100,000 files in the results tree and checking it (target: under a second each).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
cmake --build "$build" --target gui-tree >/dev/null
QT_QPA_PLATFORM=offscreen "$build/gui-tree" "${1:-100000}"
