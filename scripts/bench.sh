#!/usr/bin/env bash
# Installs what is missing, builds, and runs every benchmark program in
# bench/; each prints its figures as "name value unit" lines.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
scripts/setup.sh
scripts/build.sh build >/dev/null
for bench in build/bench/bench_*; do
  [ -x "$bench" ] || continue
  echo "== $(basename "$bench")"
  # Each runs in a network namespace of its own where it may, like the
  # tests, so the fixed command port is free.
  tests/run_isolated.sh "$bench"
done
