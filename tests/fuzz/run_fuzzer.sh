#!/usr/bin/env bash
# run_fuzzer.sh BINARY SEED_CORPUS SECONDS
# A bounded run from the seed corpus kept in the repository; new inputs go
# to a temporary directory so the repository is never written.
set -euo pipefail
bin="$1" seeds="$2" seconds="$3"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
"$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    "$work" "$seeds"
