#!/usr/bin/env bash
# Sets everything up, builds, and runs the whole test suite three ways:
#   1. the normal build (./build);
#   2. the same suite built with AddressSanitizer and UndefinedBehaviorSanitizer
#      (./build-asan);
#   3. a short bounded run of each libFuzzer target from the seed corpus kept
#      in tests/fuzz/corpus (./build-fuzz, clang).
# VK_QUICK=1 runs only the first.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
jobs="$(nproc)"

BUILD_DIR="$here/build" "$here/scripts/setup.sh" "$@"

# promtool, for the tests of the fleet's metrics and alerting rules: taken
# out of Debian's prometheus package rather than installing the package,
# which would also start a Prometheus server on this machine.
promdir="$here/build/promtool"
if ! command -v promtool >/dev/null && [[ ! -x "$promdir/usr/bin/promtool" ]]; then
    fetch_promtool() {
        mkdir -p "$promdir" && cd "$promdir" && rm -f prometheus_*.deb &&
            apt-get download -qq prometheus 2>/dev/null &&
            dpkg-deb --fsys-tarfile prometheus_*.deb | tar -x ./usr/bin/promtool &&
            rm -f prometheus_*.deb
    }
    (fetch_promtool || { apt-get update -qq && fetch_promtool; }) ||
        echo "promtool could not be fetched: the tests that need it will skip"
fi
export PATH="$PATH:$promdir/usr/bin"
ctest --test-dir "$here/build" --output-on-failure -j"$jobs"
[[ "${VK_QUICK:-0}" == 1 ]] && exit 0

BUILD_DIR="$here/build-asan" "$here/scripts/setup.sh" -DVK_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir "$here/build-asan" --output-on-failure -j"$jobs"

CC=clang CXX=clang++ cmake -S "$here" -B "$here/build-fuzz" -DVK_FUZZ=ON -DVK_BUILD_TESTS=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$here/build-fuzz" -j"$jobs" --target fuzzers
ctest --test-dir "$here/build-fuzz" --output-on-failure -j"$jobs"
