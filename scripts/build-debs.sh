#!/usr/bin/env bash
# Builds the Debian packages (veskkorvaned, libkorvane-client0,
# libkorvane-client-dev, python3-korvane and the -dbgsym packages) with
# dpkg-buildpackage from a clean copy of the checkout, then runs lintian
# on them.
#
#   scripts/build-debs.sh [OUTPUT-DIR]     (default: ./build-debs)
#
# The .deb, .changes and .buildinfo files land in OUTPUT-DIR. Missing build
# dependencies are installed with apt-get when run as root. The checkout is
# not written to. DEB_BUILD_OPTIONS is passed through (default parallel=2).
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="$(realpath -m "${1:-build-debs}")"

need=(dpkg-dev debhelper lintian)
missing=()
for p in "${need[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

work="$(mktemp -d "${TMPDIR:-/tmp}/veskkorvaned-debs.XXXXXX")"
trap 'rm -rf "$work"' EXIT
src="$work/veskkorvaned"
mkdir "$src"
# The files git knows, as they are in the working tree; no build trees.
if git -C "$here" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git -C "$here" ls-files -z --cached | (cd "$here" && tar --null -T - -cf -) | tar -xf - -C "$src"
else
    tar -C "$here" --exclude='./build*' --exclude='./run-root' -cf - . | tar -xf - -C "$src"
fi

if ((${#missing[@]})) || ! (cd "$src" && dpkg-checkbuilddeps >/dev/null 2>&1); then
    if [ "$(id -u)" -ne 0 ]; then
        echo "build-debs: missing build dependencies; as root run:" >&2
        echo "  apt-get install ${need[*]} && apt-get build-dep $here" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    ((${#missing[@]})) && apt-get install -y -qq --no-install-recommends "${missing[@]}"
    apt-get build-dep -y -qq "$src"
fi

(cd "$src" && DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:-parallel=2}" dpkg-buildpackage -us -uc -b)

mkdir -p "$out"
changes=("$work"/veskkorvaned_*.changes)
mv "$work"/*.deb "$work"/*.changes "$work"/*.buildinfo "$out"/
echo "build-debs: packages in $out:"
ls -1 "$out"/*.deb

# Errors and warnings fail the build; info tags are listed.
lintian --fail-on error,warning -I "$out/$(basename "${changes[0]}")"
echo "build-debs: lintian found no error or warning"
