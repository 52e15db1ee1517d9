#!/usr/bin/env bash
# Configures one build folder and builds the programs in it (the service,
# zunaroctl, the two stand-ins and the manual pages), or the named targets:
#   scripts/build.sh [-j JOBS] [-t TARGET]... DIR [cmake args...]
# e.g. -t zunaro-tests (every test program), -t zunaro-benches, -t all.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
jobs=()
targets=()
while [ $# -gt 0 ]; do
  case $1 in
    -j) jobs=(-j "$2"); shift 2 ;;
    -j*) jobs=("$1"); shift ;;
    -t) targets+=("$2"); shift 2 ;;
    -*) echo "usage: scripts/build.sh [-j JOBS] [-t TARGET]... DIR [cmake args...]" >&2; exit 2 ;;
    *) break ;;
  esac
done
if [ $# -lt 1 ]; then
  echo "usage: scripts/build.sh [-j JOBS] [-t TARGET]... DIR [cmake args...]" >&2
  exit 2
fi
dir=$1
shift
[ ${#targets[@]} -gt 0 ] || targets=(zunaro-programs)
cmake -S "$top" -B "$dir" -G Ninja "$@" >/dev/null
ninja -C "$dir" "${jobs[@]}" "${targets[@]}"
