#!/usr/bin/env bash
# The pure helpers stand on their own: none reaches the service's class
# through its includes, directly or through another header of src/.
set -euo pipefail
src=$1/src
reaches_service() {
  local inc
  for inc in $(sed -n 's/^#include "\(.*\)"$/\1/p' "$1"); do
    [ "$inc" = service_main.h ] && return 0
    [ -f "$src/$inc" ] && reaches_service "$src/$inc" && return 0
  done
  return 1
}
status=0
for f in "$src"/*/*_logic.* "$src"/*/*_rules.* "$src"/*/*_scan.*; do
  reaches_service "$f" && { echo "FAIL: ${f#"$1"/} includes the service's header"; status=1; }
done
exit $status
