#!/usr/bin/env bash
# The demo: installs what is missing, builds, lays out a device folder,
# runs the service in it and drives it the way the UI and the user would.
# Each scripts/demo.d/NN-*.sh adds one scene.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

scripts/setup.sh --demo
scripts/build.sh build >/dev/null

BUILD=$top/build
DEVICE=${DEMO_DEVICE:-$top/demo-device}
SERVICE_LOG=$DEVICE/service.log
SERVICE_PID=

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
ctl() { "$BUILD/tools/zunaroctl" --root "$DEVICE" "$@"; }

# wait_until SECONDS WHAT COMMAND...: runs COMMAND every tenth of a second
# until it succeeds. After SECONDS it gives up and fails, saying
# "demo: WHAT after SECONDSs" unless WHAT is empty (the caller says it then).
# Every wait of the demo and its scenes goes through here.
wait_until() {
  local limit=$1 what=$2 i=0
  shift 2
  until "$@"; do
    i=$((i + 1))
    if [ "$i" -gt $((limit * 10)) ]; then
      [ -z "$what" ] || echo "demo: $what after ${limit}s" >&2
      return 1
    fi
    sleep 0.1
  done
}

# file_has FILE TEXT: whether FILE holds TEXT.
file_has() { grep -qF -- "$2" "$1" 2>/dev/null; }

# wait_for_file FILE TEXT [SECONDS]: until FILE holds TEXT.
wait_for_file() { wait_until "${3:-10}" "no \"$2\" in $1" file_has "$1" "$2"; }

# wait_for_log TEXT [SECONDS]: until the service's log holds TEXT.
wait_for_log() { wait_for_file "$SERVICE_LOG" "$@"; }

# show_log_since N: the service's log from line N+1 on.
log_lines() { wc -l <"$SERVICE_LOG"; }
show_log_since() { tail -n +"$(($1 + 1))" "$SERVICE_LOG" | sed 's/^/  | /'; }

lay_out_device() {
  rm -rf "$DEVICE"
  mkdir -p "$DEVICE/app/native" "$DEVICE/data" "$DEVICE/accounts/1000/shared/misc/nimbrel"
  cp "$BUILD/src/zunaro-service" "$DEVICE/app/native/zunaro-service"
  cp "$BUILD/tools/td_backend_sim" "$DEVICE/app/native/td_backend"
}

# start_service [NAME=VALUE...]: starts the service in the device.
start_service() {
  : >"$SERVICE_LOG"
  env "$@" "$DEVICE/app/native/zunaro-service" 2>>"$SERVICE_LOG" &
  SERVICE_PID=$!
  wait_for_log "service: " 10
  # The control socket is up once start-up is over.
  wait_until 10 "no control socket at $DEVICE/platform/control.sock" test -S "$DEVICE/platform/control.sock"
}

# stop_service: stops the backend through the stop invocation, then ends
# the process.
stop_service() {
  [ -n "$SERVICE_PID" ] || return 0
  ctl invoke com.kvel.zunaro.service.STOP >/dev/null 2>&1 || true
  kill -TERM "$SERVICE_PID" 2>/dev/null || true
  wait "$SERVICE_PID" 2>/dev/null || true
  SERVICE_PID=
}
trap stop_service EXIT

lay_out_device
say "A device folder at $DEVICE"
(cd "$DEVICE" && find . -maxdepth 3 -type f | sort | sed 's/^/  /')

say "Starting the service; its start-up log"
start_service
wait_for_log "service: cmd socket listening on 127.0.0.1:47010"
sed 's/^/  | /' "$SERVICE_LOG"

say "The stop invocation, as the platform sends it"
mark=$(log_lines)
ctl invoke com.kvel.zunaro.service.STOP
wait_for_log "service: invoked action=com.kvel.zunaro.service.STOP"
show_log_since "$mark"

say "The start invocation"
mark=$(log_lines)
ctl invoke com.kvel.zunaro.service.START
wait_for_log "service: invoked action=com.kvel.zunaro.service.START"
show_log_since "$mark"

for scene in "$top"/scripts/demo.d/[0-9][0-9]-*.sh; do
  [ -e "$scene" ] || continue
  # shellcheck source=/dev/null
  . "$scene"
done

say "Ending the service"
stop_service
echo "  done; the device folder stays at $DEVICE for a look around"
