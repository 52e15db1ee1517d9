#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) into build-fuzz and runs each for SECONDS
# (default 20), starting from its seed corpus in tests/fuzz/corpus/<target>.
# The seeds are copied to a scratch folder, so the repository is never
# written. A crash or a failed check stops that target, keeps the input that
# caused it in build-fuzz/crashes/<target>/, and makes the script fail.
#   scripts/fuzz.sh [SECONDS]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
seconds=${1:-20}

scripts/setup.sh

echo "== fuzz build"
# Light optimisation: a quick build, and fast enough under the sanitizers.
cmake -S "$top" -B build-fuzz -G Ninja -DZUNARO_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++-14 \
  -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" >/dev/null
ninja -C build-fuzz zunaro-fuzz

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failed=()
for seeds in tests/fuzz/corpus/*/; do
  target=$(basename "$seeds")
  crashes=build-fuzz/crashes/$target
  mkdir -p "$work/$target" "$crashes"
  cp "$seeds"* "$work/$target/"
  echo "== fuzz $target for ${seconds}s"
  # Inputs stay short: every parser here works line by line or on small
  # files, and a short input finds what a long one would.
  if ! "build-fuzz/tests/fuzz/$target" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
      -print_final_stats=1 -artifact_prefix="$crashes/" "$work/$target" >"$work/$target.log" 2>&1; then
    tail -n 40 "$work/$target.log"
    echo "fuzz: $target FAILED; the input is in $crashes/" >&2
    failed+=("$target")
  else
    grep -E '^stat::number_of_executed_units' "$work/$target.log" | sed "s/^/  /"
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: failed: ${failed[*]}" >&2
  exit 1
fi
echo "fuzz: every target ran ${seconds}s without a failure"
