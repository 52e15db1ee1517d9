#!/usr/bin/env bash
# Configures and builds one build folder: scripts/build.sh DIR [cmake args...]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=$1
shift
cmake -S "$top" -B "$dir" -G Ninja "$@" >/dev/null
ninja -C "$dir"
