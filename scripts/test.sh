#!/usr/bin/env bash
# Sets everything up, builds, and runs the whole test suite.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$here/build}"

"$here/scripts/setup.sh" "$@"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
