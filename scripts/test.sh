#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite twice:
# once as built for use, once with AddressSanitizer and
# UndefinedBehaviorSanitizer. --quick skips the sanitizer run.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

sanitize=1
if [ "${1:-}" = "--quick" ]; then
  sanitize=0
fi

scripts/setup.sh

jobs=$(nproc)

echo "== build"
scripts/build.sh -t zunaro-tests build
echo "== tests"
ctest --test-dir build --output-on-failure -j "$jobs"

if [ "$sanitize" = 1 ]; then
  echo "== build with sanitizers"
  # Benchmarks are not tests; light optimisation keeps the build quick and
  # the sanitized run fast enough.
  scripts/build.sh -t zunaro-tests build-asan -DZUNARO_SANITIZE=ON -DZUNARO_BENCH=OFF \
    -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1"
  echo "== tests with sanitizers"
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  ctest --test-dir build-asan --output-on-failure -j "$jobs"
fi
