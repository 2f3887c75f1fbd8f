#!/usr/bin/env bash
# Builds the Debian packages (veskkorvaned, libkorvane-client0,
# libkorvane-client-dev, python3-korvane, korvane-notify and the -dbgsym
# packages) with
# dpkg-buildpackage from a clean copy of the checkout, then runs lintian
# on them.
#
#   scripts/build-debs.sh [--twice | --source] [OUTPUT-DIR]   (default: ./build-debs)
#
# The .deb, .changes and .buildinfo files land in OUTPUT-DIR. Missing build
# dependencies are installed with apt-get when run as root. The checkout is
# not written to. DEB_BUILD_OPTIONS is passed through (default parallel=2).
#
# --twice builds the packages a second time from a copy at another path and
# fails unless every .deb is byte-for-byte the same: the build is
# reproducible (SOURCE_DATE_EPOCH comes from debian/changelog).
#
# --source builds the source package instead (3.0 (native): the .dsc, the
# .tar.xz of the files git knows, and the _source.changes and .buildinfo),
# and runs lintian on it the same way.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
twice=0
source_only=0
case "${1:-}" in
    --twice) twice=1 && shift ;;
    --source) source_only=1 && shift ;;
esac
out="$(realpath -m "${1:-build-debs}")"

need=(dpkg-dev debhelper lintian)
missing=()
for p in "${need[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

work="$(mktemp -d "${TMPDIR:-/tmp}/veskkorvaned-debs.XXXXXX")"
trap 'rm -rf "$work"' EXIT
# The files git knows, as they are in the working tree; no build trees.
copy_tree() {
    mkdir -p "$1"
    if git -C "$here" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        git -C "$here" ls-files -z --cached | (cd "$here" && tar --null -T - -cf -) | tar -xf - -C "$1"
    else
        tar -C "$here" --exclude='./build*' --exclude='./run-root' -cf - . | tar -xf - -C "$1"
    fi
}
src="$work/veskkorvaned"
copy_tree "$src"

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

build() {
    (cd "$1" && DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:-parallel=2}" dpkg-buildpackage -us -uc -b)
}

if ((source_only)); then
    (cd "$src" && dpkg-buildpackage -us -uc -S)
    mkdir -p "$out"
    changes=("$work"/veskkorvaned_*_source.changes)
    mv "$work"/*.dsc "$work"/*.tar.* "$work"/*.changes "$work"/*.buildinfo "$out"/
    echo "build-debs: source package in $out:"
    ls -1 "$out"/*.dsc "$out"/*.tar.*
    lintian --fail-on error,warning -I "$out/$(basename "${changes[0]}")"
    echo "build-debs: lintian found no error or warning"
    exit 0
fi

build "$src"

if ((twice)); then
    # Another path: paths must not leak into the packages either.
    again="$work/second/copy/veskkorvaned"
    copy_tree "$again"
    build "$again"
    differ=0
    for deb in "$work"/*.deb; do
        name="$(basename "$deb")"
        cmp -s "$deb" "$work/second/copy/$name" && continue
        echo "build-debs: $name differs between the two builds" >&2
        if command -v diffoscope >/dev/null; then
            diffoscope "$deb" "$work/second/copy/$name" >&2 || true
        else
            echo "build-debs: install diffoscope to see where" >&2
        fi
        differ=1
    done
    ((differ == 0)) || exit 1
    echo "build-debs: both builds gave the same packages, byte for byte"
fi

mkdir -p "$out"
changes=("$work"/veskkorvaned_*.changes)
mv "$work"/*.deb "$work"/*.changes "$work"/*.buildinfo "$out"/
echo "build-debs: packages in $out:"
ls -1 "$out"/*.deb

# Errors and warnings fail the build; info tags are listed.
lintian --fail-on error,warning -I "$out/$(basename "${changes[0]}")"
echo "build-debs: lintian found no error or warning"
