# Scene: on a Linux desktop. The service installed as a user would install
# it, run with --platform=desktop on a private session bus, with a virtual
# display (Xvfb) and real notification servers: with dunst, new messages
# become the summary notification and a ringing call one notification with
# Answer and Decline; then the same call rings on xfce4-notifyd and on
# GNOME's notification-daemon. A screenshot of each is saved. A click on the
# summary and the Answer action reach a stand-in UI on the bus, which prints
# what it was asked to open. Everything started here is stopped here, by pid.

desktop_dir=${DEMO_DESKTOP:-$top/demo-desktop}
desktop_pids=()

# desktop_start NAME LOG COMMAND...: starts COMMAND in the background, its
# output in LOG, and remembers its pid for desktop_stop_all.
desktop_start() {
  local name=$1 log=$2
  shift 2
  "$@" >"$log" 2>&1 &
  desktop_pids+=("$!")
  echo "  started $name (pid $!)"
}

# desktop_stop PID: stops one program started by desktop_start.
desktop_stop() {
  kill -TERM "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

# Stops in reverse order of starting: the service before the bus it is on.
desktop_stop_all() {
  local i pid
  for ((i = ${#desktop_pids[@]} - 1; i >= 0; i--)); do
    pid=${desktop_pids[i]}
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  desktop_pids=()
}

# desktop_wait_file FILE: until the program started last wrote FILE, for
# at most ten seconds, or until it ended.
desktop_written_or_gone() { [ -s "$1" ] || ! kill -0 "${desktop_pids[-1]}" 2>/dev/null; }
desktop_wait_file() { wait_until 10 "" desktop_written_or_gone "$1" && [ -s "$1" ]; }

# desktop_bus_has NAME: whether NAME has an owner on the private bus.
desktop_bus_has() {
  dbus-send --session --print-reply=literal --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.NameHasOwner "string:$1" 2>/dev/null | grep -q true
}

# desktop_wait_bus NAME SECONDS: until NAME has an owner.
desktop_wait_bus() { wait_until "$2" "" desktop_bus_has "$1"; }

# desktop_wait_shown N SECONDS: until dunst shows at least N notifications.
desktop_shown() { [ "$(dunstctl count displayed 2>/dev/null || echo 0)" -ge "$1" ]; }
desktop_wait_shown() { wait_until "$2" "" desktop_shown "$1"; }

# desktop_wait_window CLASSNAME SECONDS: until a window of CLASSNAME is there.
desktop_has_window() { [ -n "$(xdotool search --classname "$1" 2>/dev/null)" ]; }
desktop_wait_window() { wait_until "$2" "" desktop_has_window "$1"; }

wait_for_log_of_service() { wait_for_file "$desktop_dir/service.log" "$@"; }

desktop_ctl() { "$desktop_dir/usr/bin/zunaroctl" --platform=desktop "$@"; }

desktop_emit() { desktop_ctl send "sim emit $1" >/dev/null; }

# desktop_screenshot NAME: the whole screen as $desktop_dir/NAME.png.
desktop_screenshot() {
  import -window root "$desktop_dir/$1.png" && echo "  screenshot: $desktop_dir/$1.png"
}

desktop_log_mark=0
desktop_show_log() {
  tail -n +"$((desktop_log_mark + 1))" "$desktop_dir/service.log" | sed 's/^/  | /'
  desktop_log_mark=$(wc -l <"$desktop_dir/service.log")
}

# dunst shows actions only in its context menu (dmenu); the font is one
# every set-up has; notifications stay until closed, so the screenshots
# catch them.
desktop_write_dunstrc() {
  cat >"$desktop_dir/dunstrc" <<DUNSTRC
[global]
    font = DejaVu Sans 12
    width = 460
    height = 200
    origin = top-right
    offset = 20x20
    padding = 12
    horizontal_padding = 14
    frame_width = 2
    frame_color = "#88c0d0"
    separator_height = 4
    icon_position = left
    max_icon_size = 48
    icon_path = $desktop_dir/usr/share/icons/hicolor/scalable/apps
    markup = full
    format = "<b>%s</b>\n%b"
    show_indicators = yes
    dmenu = /usr/bin/dmenu -b -l 8 -fn "DejaVu Sans-14" -p "Telegram Vyn actions:"
    mouse_left_click = close_current
    mouse_middle_click = do_action, close_current
    mouse_right_click = context

[urgency_low]
    background = "#2e3440"
    foreground = "#eceff4"
    timeout = 0

[urgency_normal]
    background = "#2e3440"
    foreground = "#eceff4"
    timeout = 0

[urgency_critical]
    background = "#3b4252"
    foreground = "#ffffff"
    frame_color = "#bf616a"
    timeout = 0
DUNSTRC
}

# A bus that activates only what this install provides, not the machine's
# own services.
desktop_write_bus_config() {
  cat >"$desktop_dir/session-bus.conf" <<BUSCONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:tmpdir=/tmp</listen>
  <auth>EXTERNAL</auth>
  <servicedir>$desktop_dir/usr/share/dbus-1/services</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
BUSCONF
}

# The scene runs in a subshell of its own: its environment (bus, display,
# XDG folders) stays here, and whatever fails, the demo goes on.
desktop_scene() (
  set +e
  trap desktop_stop_all EXIT

  say "On a Linux desktop: the service installed into $desktop_dir/usr"
  stop_service
  rm -rf "$desktop_dir"
  mkdir -p "$desktop_dir/home"
  cmake --install "$BUILD" --prefix "$desktop_dir/usr" >/dev/null &&
    cmake --install "$BUILD" --prefix "$desktop_dir/usr" --component simulator >/dev/null ||
    { echo "  the install failed; the desktop scene is skipped"; return 0; }
  (cd "$desktop_dir/usr" && find . -type f | sort | sed 's/^\./  /')
  echo "  (libexec/zunaro/td_backend is the backend stand-in, from --component simulator)"

  export HOME=$desktop_dir/home
  export XDG_DATA_HOME=$HOME/.local/share XDG_CONFIG_HOME=$HOME/.config
  # The user's runtime folder, which a session gives; the command socket lives there.
  export XDG_RUNTIME_DIR=$desktop_dir/run
  mkdir -m 0700 -p "$XDG_RUNTIME_DIR"
  # The servers find the installed icon where a desktop would.
  export XDG_DATA_DIRS=$desktop_dir/usr/share:/usr/share
  unset XDG_SESSION_ID WAYLAND_DISPLAY DESKTOP_STARTUP_ID XDG_ACTIVATION_TOKEN

  say "A private session bus, a virtual display and dunst"
  desktop_write_bus_config
  desktop_start "a session bus" "$desktop_dir/bus.log" \
    dbus-daemon --config-file="$desktop_dir/session-bus.conf" --nofork --print-address=3 3>"$desktop_dir/bus-address"
  desktop_wait_file "$desktop_dir/bus-address" ||
    { echo "  the session bus did not start; the desktop scene is skipped"; return 0; }
  export DBUS_SESSION_BUS_ADDRESS=$(head -n 1 "$desktop_dir/bus-address")
  echo "  at $DBUS_SESSION_BUS_ADDRESS"

  # Xvfb picks a free display itself and writes its number once it serves.
  desktop_start Xvfb "$desktop_dir/xvfb.log" \
    Xvfb -displayfd 3 -screen 0 1024x600x24 -nolisten tcp 3>"$desktop_dir/display"
  if ! desktop_wait_file "$desktop_dir/display"; then
    echo "  THE DISPLAY SERVER (Xvfb) DID NOT START; the desktop scene is skipped. Its log:"
    sed 's/^/  | /' "$desktop_dir/xvfb.log"
    return 0
  fi
  export DISPLAY=:$(cat "$desktop_dir/display")
  echo "  display $DISPLAY"

  desktop_write_dunstrc
  desktop_start dunst "$desktop_dir/dunst.log" dunst -config "$desktop_dir/dunstrc"
  local dunst_pid=${desktop_pids[-1]}
  desktop_wait_bus org.freedesktop.Notifications 10 ||
    { echo "  dunst did not take org.freedesktop.Notifications; the desktop scene is skipped"; return 0; }

  say "The stand-in UI owns com.kvel.zunaro and prints what it is asked to open"
  desktop_start "the stand-in UI" "$desktop_dir/ui.log" /usr/bin/python3 "$top/scripts/demo.d/ui_stand_in.py"
  desktop_wait_bus com.kvel.zunaro 10 ||
    { echo "  the stand-in UI did not start:"; sed 's/^/  | /' "$desktop_dir/ui.log"; return 0; }

  say "The service with --platform=desktop, as the user unit starts it"
  grep '^ExecStart=' "$desktop_dir/usr/lib/systemd/user/zunaro-service.service" | sed 's/^/  unit: /'
  desktop_start zunaro-service "$desktop_dir/service.log" \
    "$desktop_dir/usr/libexec/zunaro/zunaro-service" --platform=desktop
  if ! desktop_wait_bus com.kvel.zunaro.service 10; then
    echo "  the service did not take com.kvel.zunaro.service; its log:"
    desktop_show_log
    return 0
  fi
  desktop_show_log

  say "New messages while the UI is in the background"
  desktop_ctl ui gone
  desktop_ctl invoke com.kvel.zunaro.service.START >/dev/null
  desktop_ctl send ping >/dev/null
  desktop_ctl status | sed 's/^/  /'
  desktop_emit "{\"type\":\"hub_notify_message\",\"chat_id\":42,\"chat_title\":\"Team\",\"sender_name\":\"Bob\",\"text\":\"Lunch at <noon> & coffee?\",\"date\":$(date +%s)}"
  desktop_emit "{\"type\":\"hub_notify_message\",\"chat_id\":7,\"chat_title\":\"Alice\",\"sender_name\":\"Alice\",\"text\":\"Call me when you can\",\"date\":$(date +%s)}"
  echo "  two messages from two chats; the summary follows the coalescing window"
  if desktop_wait_shown 1 20; then
    desktop_show_log
    desktop_screenshot summary
  else
    echo "  no notification on screen after 20s"
    desktop_show_log
  fi

  say "A middle click on the summary (dunst sends its \"default\" action)"
  local window
  window=$(xdotool search --classname dunst 2>/dev/null | head -n 1)
  if [ -n "$window" ]; then
    xdotool mousemove --window "$window" 60 20 click 2
    wait_for_file "$desktop_dir/ui.log" "ui: Open" 10 && grep '^ui: Open' "$desktop_dir/ui.log" | sed 's/^/  /'
  else
    echo "  dunst shows no window to click"
  fi
  desktop_show_log

  say "Call 801 rings: one notification, which offers Answer and Decline (dunst lists actions in its menu)"
  local ui_mark
  ui_mark=$(wc -l <"$desktop_dir/ui.log")
  desktop_emit '{"type":"call_update","call_id":801,"chat_id":12,"user_id":3,"state":"callStatePending","user_name":"Alice Example"}'
  if desktop_wait_shown 1 10 && wait_for_log_of_service "call_id=801" 5; then
    desktop_show_log
    desktop_start "dunst's action menu" "$desktop_dir/dunstctl.log" dunstctl context
    if desktop_wait_window dmenu 5; then
      desktop_screenshot call
      echo "  the user picks Answer in the menu"
      xdotool type --delay 40 Answer
      xdotool key Return
      wait_for_file "$desktop_dir/ui.log" "auto=answer" 10
    else
      desktop_screenshot call
      echo "  dunst's action menu did not open"
    fi
    echo "  the stand-in UI, since the call rang:"
    tail -n +"$((ui_mark + 1))" "$desktop_dir/ui.log" | sed 's/^/  /'
  else
    echo "  no call notification on screen after 10s"
  fi
  desktop_show_log

  say "Call 801 ends; the desktop scene stops what it started"
  desktop_emit '{"type":"call_update","call_id":801,"chat_id":12,"user_id":3,"state":"callStateDiscarded","user_name":"Alice Example"}'
  wait_for_log_of_service "state=callStateDiscarded" 5
  desktop_show_log

  desktop_stop "$dunst_pid"
  desktop_call_on xfce4-notifyd 802 /usr/lib/x86_64-linux-gnu/xfce4/notifyd/xfce4-notifyd
  desktop_call_on notification-daemon 803 /usr/lib/notification-daemon/notification-daemon

  desktop_ctl invoke com.kvel.zunaro.service.STOP >/dev/null
  wait_for_log_of_service "action=com.kvel.zunaro.service.STOP" 5
  desktop_show_log
)

# desktop_call_on NAME CALL_ID PROGRAM: the notification server PROGRAM takes
# the bus, call CALL_ID rings and is screenshot as call-NAME.png, then ends,
# and the server goes.
desktop_call_on() {
  local name=$1 call=$2 program=$3
  say "Call $call rings on $name"
  if [ ! -x "$program" ]; then
    echo "  $name is not installed (scripts/setup.sh --demo installs it)"
    return 0
  fi
  desktop_start "$name" "$desktop_dir/$name.log" "$program"
  local pid=${desktop_pids[-1]}
  if ! desktop_wait_bus org.freedesktop.Notifications 10; then
    echo "  $name did not take org.freedesktop.Notifications; its log:"
    sed 's/^/  | /' "$desktop_dir/$name.log"
    desktop_stop "$pid"
    return 0
  fi
  desktop_emit "{\"type\":\"call_update\",\"call_id\":$call,\"chat_id\":12,\"user_id\":3,\"state\":\"callStatePending\",\"user_name\":\"Alice Example\"}"
  if wait_for_log_of_service "dialog show call_id=$call" 5 && desktop_wait_window "$name" 5; then
    sleep 1 # the popup's fade-in
    desktop_screenshot "call-$name"
  else
    echo "  no notification window of $name after 5s"
  fi
  desktop_emit "{\"type\":\"call_update\",\"call_id\":$call,\"chat_id\":12,\"user_id\":3,\"state\":\"callStateDiscarded\",\"user_name\":\"Alice Example\"}"
  wait_for_log_of_service "call_id=$call chat_id=12 user_id=3 outgoing=0 state=callStateDiscarded" 5
  desktop_show_log
  desktop_stop "$pid"
}

desktop_scene || echo "  the desktop scene ended early"
