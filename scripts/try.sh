#!/usr/bin/env bash
# Sets everything up, builds the daemon and korvanectl, and runs the daemon
# in the foreground with all its state under ./run-root of the checkout
# (never the real /etc or /var). Once both sockets listen it prints the two
# lines that reach it from another terminal. Ctrl-C stops it.
#
# VK_TRY_ROOT      the state directory instead of ./run-root
# VK_TRY_NO_BUILD  when 1, neither installs nor builds: runs what is in the
#                  build directory ($BUILD_DIR, else ./build)
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$here/build}"
root="${VK_TRY_ROOT:-$here/run-root}"
deadline_s=30

if [[ "${VK_TRY_NO_BUILD:-}" != 1 ]]; then
    VK_TARGETS="veskkorvaned korvanectl" "$here/scripts/setup.sh"
fi
# Writable by no one else, or the daemon refuses it.
(umask 022 && mkdir -p "$root")
# Its real path: the daemon follows no link to it.
root="$(cd "$root" && pwd -P)"
build="$(cd "$build" && pwd)"
export VESKKORVANED_ROOT="$root"

# A word the shell reads back as it is: single-quoted unless plain.
quote() {
    if [[ "$1" =~ ^[A-Za-z0-9_./+:=@%-]+$ ]]; then
        printf '%s' "$1"
    else
        printf "'%s'" "${1//\'/\'\\\'\'}"
    fi
}

products="@$root/tmp/.zelluskkorvane"
uis="@$root/tmp/.zelluskkorvanefui"
echo "veskkorvaned: state under $root"
echo "  log:      $root/var/log/veskkorvaned.log"
echo "  database: $root/etc/korvane/korvaned.db"
echo "  sockets:  $products, $uis"

# Waits, beside the daemon, until both its sockets listen, then prints how
# to reach it. Started twice removed, so that it is nobody's child once the
# shell has become the daemon, and ends by itself at its deadline.
daemon_pid=$$
(
    (
        # /proc/net/unix ends each line with the name bound, if any.
        listening() {
            NAME=" $1" awk 'BEGIN { n = ENVIRON["NAME"] }
                substr($0, length($0) - length(n) + 1) == n { found = 1 }
                END { exit !found }' /proc/net/unix
        }
        for ((i = 0; i < deadline_s * 10; i++)); do
            kill -0 "$daemon_pid" 2>/dev/null || exit 0
            if listening "$products" && listening "$uis"; then
                echo "veskkorvaned runs (pid $daemon_pid); to reach it, in another terminal:"
                echo "export VESKKORVANED_ROOT=$(quote "$root")"
                echo "$(quote "$build/korvanectl") status"
                echo "Stop it with Ctrl-C."
                exit 0
            fi
            sleep 0.1
        done
        echo "veskkorvaned: its sockets do not listen after ${deadline_s} s; see $root/var/log/veskkorvaned.log" >&2
    ) &
)
# Any argument keeps the daemon in the foreground.
exec "$build/veskkorvaned" --foreground
