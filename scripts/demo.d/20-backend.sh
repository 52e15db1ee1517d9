# Scene: backend supervision. A command from the UI launches the simulated
# backend, which receives "ping" and then the command; a crash brings it
# back after its back-off; a stop ends even a backend deaf to SIGTERM.

# backend_launched N: whether the log holds N launch lines.
backend_launched() { [ "$(grep -c "service: backend starting" "$SERVICE_LOG")" -ge "$1" ]; }

# backend_gone: whether no backend of the device runs.
backend_gone() { ! pgrep -f "$DEVICE/app/native/td_backend" >/dev/null; }

backend_show_output() {
  sed 's/^/  < /' "$DEVICE/data/td_backend_service.out"
}

say "A command from the UI launches the backend"
mark=$(log_lines)
ctl send hello
wait_for_log "service: backend starting"
wait_for_file "$DEVICE/data/td_backend_service.out" hello
show_log_since "$mark"
echo "  what the backend received (data/td_backend_service.out):"
backend_show_output

say "The backend exits with code 42: the next launch waits 30000 ms"
mark=$(log_lines)
ctl send "sim exit 42"
wait_for_log "service: backend restart in 30000 ms"
show_log_since "$mark"

say "A fresh service, so the demo need not wait; a command launches the backend again"
stop_service
start_service
wait_for_log "service: cmd socket listening on 127.0.0.1:47010"
ctl send again
wait_for_file "$DEVICE/data/td_backend_service.out" again
backend_show_output

say "The backend is killed; the tick reaps it and relaunches it 1000 ms later"
mark=$(log_lines)
kill -KILL "$(pgrep -n -f "$DEVICE/app/native/td_backend")"
wait_for_log "service: backend restart in 1000 ms (attempt=1"
wait_until 10 "the backend was not launched again" backend_launched 2
show_log_since "$mark"

say "A backend that ignores SIGTERM and stops reading is still ended by STOP"
ctl send "sim ignore-term" "sim stop-reading"
wait_for_file "$DEVICE/data/td_backend_service.out" "sim stop-reading"
mark=$(log_lines)
started=$(date +%s%N)
ctl invoke com.kvel.zunaro.service.STOP
wait_until 30 "the backend still runs" backend_gone
echo "  the backend was gone $(( ($(date +%s%N) - started) / 1000000 )) ms after the stop invocation"
show_log_since "$mark"

# Later scenes start from a service in its first state.
stop_service
start_service
wait_for_log "service: cmd socket listening on 127.0.0.1:47010"
