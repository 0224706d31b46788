# Shell functions for driving the tray under Xvfb with a real tray host (trayer), for
# its integration test, its benchmark and the screenshots (sourced after demo-lib.sh
# and demo_init, not run). Processes started here are stopped by PID in tray_cleanup.

xvfb_pid= trayer_pid= tray_pid=
trap 'tray_cleanup' EXIT
tray_cleanup() {
  demo_stop "$tray_pid" "$trayer_pid" "$xvfb_pid"
  demo_cleanup
}

# tray_wait SECONDS COMMAND…: polls COMMAND every 0.1 s until it succeeds.
tray_wait() {
  local tries=$(($1 * 10)) i
  shift
  for ((i = 0; i < tries; i++)); do "$@" && return 0; sleep 0.1; done
  return 1
}

# tray_prepare SOURCE: the private audio server, a relay, this computer paired with a
# link chosen and SOURCE chosen, as a person would have left them. Sets session, link.
tray_prepare() {
  demo_audio_server
  demo_relay
  demo_pair_and_link >/dev/null
  demo_remember_choices "$session" "$1"
}

# An X server of its own and trayer docked at its top right. Sets DISPLAY.
tray_display() {
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$demo/display" 2>"$demo/xvfb.log" &
  xvfb_pid=$!
  tray_wait 10 test -s "$demo/display" || demo_die "Xvfb did not start"
  export DISPLAY=:$(cat "$demo/display")
  trayer --edge top --align right --widthtype request --height 24 >"$demo/trayer.log" 2>&1 &
  trayer_pid=$!
  tray_wait 10 tray_panel || demo_die "trayer did not start"
}
tray_panel() { xwininfo -root -tree | grep -q '"panel": ("panel" "trayer")'; }

# Starts the tray; its output goes to $demo/tray.log.
tray_start() {
  "$bin/quorvel" >"$demo/tray.log" 2>&1 &
  tray_pid=$!
}

# The icon is the tray's window inside trayer's panel: "+X+Y" is its place on screen.
tray_icon() { xwininfo -root -tree | sed -n 's/.*"Quorvel": ("quorvel" "quorvel")  22x22+0+0  +\([0-9]*\)+\([0-9]*\).*/\1 \2/p'; }
tray_docked() { [[ -n $(tray_icon) ]]; }
tray_menu_shown() { [[ $(xdotool search --onlyvisible --class quorvel 2>/dev/null | wc -l) -ge 2 ]]; }

# Clicks the icon and waits for the menu.
tray_pop_menu() {
  local x y
  read -r x y <<<"$(tray_icon)"
  xdotool mousemove $((x + 11)) $((y + 11)) click 1
  tray_wait 5 tray_menu_shown
}

# Start Stream from the menu: the first command after the title and the meter. It is
# enabled once the tray has listed the links, which nothing outside shows: a choice
# that came too early lands elsewhere and is closed again, for 30 s however busy the
# machine.
tray_on_air() { grep -q "on air: link $session" "$demo/relay.log"; }
tray_start_stream() {
  local until=$((SECONDS + 30))
  while ((SECONDS < until)); do
    tray_pop_menu || continue
    xdotool key Down Down Down Return
    tray_wait 5 tray_on_air && return 0
    xdotool key Escape Escape
  done
  return 1
}
