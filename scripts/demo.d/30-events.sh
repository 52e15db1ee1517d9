# Scene: new messages. The simulated backend reports three messages from
# two chats; the service coalesces them into one Hub summary about five
# seconds after the first, and leaves the UI a request to open the chat list.

events_summary=$DEVICE/platform/hub/kvel_hub_summary.json

# events_report CHAT_ID TITLE SENDER TEXT: the backend reports a new message.
events_report() {
  ctl send "sim emit {\"type\":\"hub_notify_message\",\"chat_id\":$1,\"chat_title\":\"$2\",\"sender_name\":\"$3\",\"text\":\"$4\",\"date\":$(date +%s)}" >/dev/null
}

say "New messages: the UI is in the background, the backend running"
ctl ui gone
ctl invoke com.kvel.zunaro.service.START >/dev/null
ctl send ping >/dev/null
wait_until 10 "the backend did not start" file_has "$DEVICE/data/td_backend_service.out" ping || true

say "The backend reports three messages from two chats (one with a 64-bit id above 2^53)"
mark=$(log_lines)
events_report 9007199254740993 "Alice" "Alice" "Hi, are you there?"
events_report 42 "Team" "Bob" "Lunch at noon?"
events_report 9007199254740993 "Alice" "" "Call me when you can"
wait_until 5 "" file_has "$DEVICE/data/backend_events.jsonl" "Call me when you can" || true
tail -n 3 "$DEVICE/data/backend_events.jsonl" | sed 's/^/  > /'

say "After the coalescing window: one summary in the Hub"
wait_until 15 "no Hub summary" test -s "$events_summary" || true
show_log_since "$mark"
ctl hub | sed 's/^/  /'
echo "  Hub summary posts: $(grep -c '"op":"post".*kvel_hub_summary\|kvel_hub_summary.*"op":"post"' "$DEVICE/platform/hub/journal.jsonl")"

say "The hub open request the UI will read"
sed 's/^/  | /' "$DEVICE/data/hub_open.env"
