#!/usr/bin/env bash
# Installs the Debian packages the build needs (when missing), then
# configures and builds into ./build (or $BUILD_DIR). Extra arguments go to
# the CMake configure step, e.g. -DVK_SANITIZE=ON. With VK_TARGETS set
# (names separated by blanks, e.g. "veskkorvaned korvanectl") only those
# targets are built; unset, everything is.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$here/build}"

packages=(cmake g++ make pkg-config libsqlite3-dev libsqlitecpp-dev libcjson-dev libgtest-dev
          clang clang-format libclang-rt-14-dev systemd dpkg-dev scdoc libsystemd-dev dbus-daemon
          python3-venv gettext dunst xvfb desktop-file-utils)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

cmake -S "$here" -B "$build" "$@"
targets=()
for t in ${VK_TARGETS:-}; do targets+=(--target "$t"); done
cmake --build "$build" -j"$(nproc)" "${targets[@]}"
