# Scene: incoming calls. The simulated backend reports a ringing call on an
# unlocked device, the user answers it from the dialog and the call ends;
# then a call rings on a locked device and reaches the UI once it is unlocked.

# calls_report ID STATE: the backend reports call ID of chat 12 in STATE.
calls_report() {
  ctl send "sim emit {\"type\":\"call_update\",\"call_id\":$1,\"chat_id\":12,\"user_id\":3,\"state\":\"$2\",\"user_name\":\"Alice Example\"}" >/dev/null
}

# The invocations recorded since calls_mark_invocations.
calls_invocations_mark=0
calls_mark_invocations() {
  calls_invocations_mark=0
  if [ -f "$DEVICE/platform/invocations.jsonl" ]; then
    calls_invocations_mark=$(wc -l <"$DEVICE/platform/invocations.jsonl")
  fi
}
calls_show_invocations() {
  tail -n +"$((calls_invocations_mark + 1))" "$DEVICE/platform/invocations.jsonl" 2>/dev/null | sed 's/^/  > /' || true
}

say "Incoming calls: the UI is in the background, the device unlocked, the backend running"
ctl ui gone
ctl lock 0
ctl invoke com.kvel.zunaro.service.START >/dev/null
ctl send ping >/dev/null
wait_for_file "$DEVICE/data/td_backend_service.out" "ping"
calls_mark_invocations

say "The backend reports call 701 ringing"
mark=$(log_lines)
calls_report 701 callStatePending
wait_for_log "service: incoming call invoke attempt call_id=701"
show_log_since "$mark"
say "The Hub entry and the dialog, then the invocation that brought the UI to the call"
ctl hub | sed 's/^/  /'
calls_show_invocations

say "The user presses Answer: the platform sends the Answer button's request"
ctl press Answer
calls_show_invocations

say "The backend reports call 701 discarded: dialog and Hub entry go"
mark=$(log_lines)
calls_report 701 callStateDiscarded
wait_for_log "service: call_update call_id=701 chat_id=12 user_id=3 outgoing=0 state=callStateDiscarded"
show_log_since "$mark"
ctl hub | sed 's/^/  /'

say "The device is locked; call 702 rings: a Hub entry, no dialog, the call waits"
ctl lock 1
calls_mark_invocations
mark=$(log_lines)
calls_report 702 callStatePending
wait_for_log "service: notify(call) err=0 key=kvel_hub_call call_id=702"
show_log_since "$mark"
ctl hub | sed 's/^/  /'
echo "  invocations since it rang: $(calls_show_invocations | wc -l)"

say "The user unlocks the device: within a second the UI is brought to call 702"
mark=$(log_lines)
ctl lock 0
wait_for_log "service: device unlocked -> invoke pending incoming call call_id=702"
wait_for_log "service: incoming call invoke attempt call_id=702"
show_log_since "$mark"
calls_show_invocations

say "Call 702 ends"
mark=$(log_lines)
calls_report 702 callStateDiscarded
wait_for_log "service: call_update call_id=702 chat_id=12 user_id=3 outgoing=0 state=callStateDiscarded"
show_log_since "$mark"
ctl hub | sed 's/^/  /'
