#!/usr/bin/env bash
# Sets everything up, builds, and runs the daemon in the foreground with all
# its state under ./run-root of the checkout (never the real /etc or /var).
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$here/build}"

"$here/scripts/setup.sh"
export VESKKORVANED_ROOT="$here/run-root"
mkdir -p "$VESKKORVANED_ROOT"
echo "veskkorvaned: state under $VESKKORVANED_ROOT"
echo "  log:      $VESKKORVANED_ROOT/var/log/veskkorvaned.log"
echo "  database: $VESKKORVANED_ROOT/etc/korvane/korvaned.db"
echo "  sockets:  @$VESKKORVANED_ROOT/tmp/.zelluskkorvane, @$VESKKORVANED_ROOT/tmp/.zelluskkorvanefui"
echo "Stop it with Ctrl-C."
# Any argument keeps the daemon in the foreground.
exec "$build/veskkorvaned" --foreground
