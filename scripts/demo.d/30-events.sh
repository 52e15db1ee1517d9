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
i=0
until grep -qF ping "$DEVICE/data/td_backend_service.out" 2>/dev/null; do
  i=$((i + 1)); [ "$i" -le 100 ] || { echo "demo: the backend did not start" >&2; break; }
  sleep 0.1
done

say "The backend reports three messages from two chats (one with a 64-bit id above 2^53)"
mark=$(log_lines)
events_report 9007199254740993 "Alice" "Alice" "Hi, are you there?"
events_report 42 "Team" "Bob" "Lunch at noon?"
events_report 9007199254740993 "Alice" "" "Call me when you can"
i=0
until grep -qF "Call me when you can" "$DEVICE/data/backend_events.jsonl" 2>/dev/null; do
  i=$((i + 1)); [ "$i" -le 50 ] || break
  sleep 0.1
done
tail -n 3 "$DEVICE/data/backend_events.jsonl" | sed 's/^/  > /'

say "After the coalescing window: one summary in the Hub"
i=0
until [ -s "$events_summary" ]; do
  i=$((i + 1)); [ "$i" -le 150 ] || { echo "demo: no Hub summary after 15s" >&2; break; }
  sleep 0.1
done
show_log_since "$mark"
ctl hub | sed 's/^/  /'
echo "  Hub summary posts: $(grep -c '"op":"post".*kvel_hub_summary\|kvel_hub_summary.*"op":"post"' "$DEVICE/platform/hub/journal.jsonl")"

say "The hub open request the UI will read"
sed 's/^/  | /' "$DEVICE/data/hub_open.env"
