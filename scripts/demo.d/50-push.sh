# Scene: push mode. With "tgpush_proxy.env" naming a push proxy, the
# service runs no backend and long-polls the proxy (the simulator here):
# published events become one Hub summary, the cursor file advances a few
# seconds later, and a proxy that goes away only makes it back off.

push_proxy_log=$DEVICE/tgpush_proxy_sim.log

say "Push mode: a push proxy on loopback, the service pointed at it"
stop_service
"$BUILD/tools/tgpush_proxy_sim/tgpush_proxy_sim" --first-id 6 >"$DEVICE/tgpush_proxy_sim.out" 2>"$push_proxy_log" &
push_proxy_pid=$!
wait_for_file "$DEVICE/tgpush_proxy_sim.out" "listening on" 10
push_proxy_url=http://$(sed -n 's/.*listening on //p' "$DEVICE/tgpush_proxy_sim.out")
printf 'TGPUSH_POLL_URL=%s/poll\nTGPUSH_TIMEOUT_MS=20000\n' "$push_proxy_url" \
  >"$DEVICE/accounts/1000/shared/misc/tgpush_proxy.env"
printf '5\n' >"$DEVICE/data/tgpush_since.txt"
sed 's/^/  env: /' "$DEVICE/accounts/1000/shared/misc/tgpush_proxy.env"
echo "  saved cursor: $(cat "$DEVICE/data/tgpush_since.txt")"
start_service
wait_for_log "service: tgpush mode enabled; TDLib backend disabled"
wait_for_file "$push_proxy_log" "poll since=5 timeout_ms=20000" 10
grep "service: tgpush\|service: net" "$SERVICE_LOG" | sed 's/^/  | /'
sed 's/^/  proxy: /' "$push_proxy_log"

say "Two events published at the proxy"
mark=$(log_lines)
curl -s "$push_proxy_url/control/publish?count=2" | sed 's/^/  proxy answers: /'
echo
wait_for_file "$DEVICE/platform/hub/kvel_hub_summary.json" "2 new messages" 15
sed 's/^/  hub: /' "$DEVICE/platform/hub/kvel_hub_summary.json"
echo
wait_for_file "$DEVICE/data/tgpush_since.txt" "7" 15
echo "  cursor file now: $(cat "$DEVICE/data/tgpush_since.txt")"
show_log_since "$mark"

say "The proxy goes away: failed polls back off, the service keeps running"
mark=$(log_lines)
kill -TERM "$push_proxy_pid"
wait "$push_proxy_pid" 2>/dev/null || true
# push_failed_polls N: whether N polls failed since the mark.
push_failed_polls() { [ "$(tail -n +"$((mark + 1))" "$SERVICE_LOG" | grep -c "service: tgpush poll failed")" -ge "$1" ]; }
wait_until 40 "" push_failed_polls 3 || true
show_log_since "$mark"
kill -0 "$SERVICE_PID" && echo "  the service is still running (pid $SERVICE_PID)"

stop_service
rm -f "$DEVICE/accounts/1000/shared/misc/tgpush_proxy.env"
