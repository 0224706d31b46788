# Shell functions for running the tray on real desktops, headless on Wayland, and
# driving it over D-Bus as a tray host does: sway with waybar, GNOME Shell 43 with the
# AppIndicator extension. For the desktop test, its benchmark and the screenshots
# (sourced, not run). Processes started here are stopped by PID in desktop_cleanup.

# desktop_user SCRIPT ARGS…: SCRIPT runs again with ARGS in a clean environment; as root,
# as an ordinary user of its own (sway refuses root). Returns only in that run.
desktop_user() {
  [[ -n "${QUORVEL_DESKTOP_RUN:-}" ]] && return 0
  local script=$1 account=quorvel-desktop
  shift
  [[ $(id -u) -eq 0 ]] || exec env -i PATH="$PATH" LANG=C.UTF-8 QUORVEL_DESKTOP_RUN=1 "$script" "$@"
  id "$account" >/dev/null 2>&1 ||
    useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$account"
  exec runuser -u "$account" -- env -i PATH="$PATH" LANG=C.UTF-8 QUORVEL_DESKTOP_RUN=1 "$script" "$@"
}

# Exits 77 (skipped) unless the desktops and the tools that drive them are installed.
desktop_require() {
  local tool
  for tool in sway swaymsg waybar grim wtype gnome-shell Xwayland gsettings busctl gdbus dbus-daemon compare perl; do
    command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
  done
  [[ -d /usr/share/gnome-shell/extensions/ubuntu-appindicators@ubuntu.com ]] ||
    { echo "skipped: gnome-shell-extension-appindicator is not installed"; exit 77; }
  ls /usr/lib/*/qt6/plugins/platforms/libqwayland-generic.so >/dev/null 2>&1 ||
    { echo "skipped: qt6-wayland is not installed"; exit 77; }
}

bus_pid= keyring_pid= system_bus_pid= sway_pid= keyboard_pid= shell_pid= tray_pid= desktop=setup
desktop_cleanup() {
  demo_stop "$tray_pid" "$shell_pid" "$keyboard_pid" "$sway_pid" "$system_bus_pid" "$keyring_pid"
  demo_cleanup
  demo_stop "$bus_pid"
}

desktop_fail() {
  echo "FAILED ($desktop): $*" >&2
  echo "-- tray:" >&2; cat "$demo/tray.log" >&2 || true
  echo "-- relay:" >&2; tail -n 20 "$demo/relay.log" >&2 || true
  exit 1
}

# wait_for SECONDS COMMAND…: polls COMMAND every 0.1 s until it succeeds.
wait_for() {
  local tries=$(($1 * 10)) i
  shift
  for ((i = 0; i < tries; i++)); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
  return 1
}

# What a desktop session has (after demo_init): a private runtime directory, a session
# bus with an unlocked keyring, the private audio server and a local relay; the test
# device chosen as the source.
desktop_session() {
  demo_audio_server
  chmod 700 "$XDG_RUNTIME_DIR"
  demo_relay
  dbus-daemon --session --nofork --print-address=3 3>"$demo/bus" &
  bus_pid=$!
  wait_for 10 test -s "$demo/bus" || desktop_fail "the session bus did not start"
  export DBUS_SESSION_BUS_ADDRESS=$(head -n 1 "$demo/bus")
  eval "$(printf 'quorvel-desktop' | gnome-keyring-daemon --foreground --unlock --components=secrets &
    echo "keyring_pid=$!")"
  wait_for 10 gdbus introspect --session -d org.freedesktop.secrets -o /org/freedesktop/secrets ||
    desktop_fail "the keyring did not start"
  mkdir -p "$XDG_CONFIG_HOME/Quorvel" "$XDG_DATA_HOME"
  printf '{"source": "input|1|quorvel-test-stereo"}\n' >"$XDG_CONFIG_HOME/Quorvel/preferences.json"
}

# --- The tray's item and its menu over D-Bus ---------------------------------------------

item_service= item_path= menu_path=
watcher_ready() {
  [[ $(busctl --user get-property org.kde.StatusNotifierWatcher /StatusNotifierWatcher \
    org.kde.StatusNotifierWatcher IsStatusNotifierHostRegistered) == "b true" ]]
}
# The watcher lists the tray's item (by its bus name, whose process is the tray), and
# the item names its menu.
item_registered() {
  local entry service path
  item_service=
  for entry in $(busctl --user --json=short get-property org.kde.StatusNotifierWatcher /StatusNotifierWatcher     org.kde.StatusNotifierWatcher RegisteredStatusNotifierItems | perl -MJSON::PP -e '
    local $/; print "$_\n" for @{decode_json(<STDIN>)->{data}}'); do
    # "NAME/PATH" (waybar) or "NAME@/PATH" (GNOME's extension)
    service=${entry%%/*}
    service=${service%@}
    path=/${entry#*/}
    [[ "$path" != "/$entry" ]] || path=/StatusNotifierItem
    [[ $(busctl --user call org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus \
      GetConnectionUnixProcessID s "$service") == "u $tray_pid" ]] || continue
    item_service=$service item_path=$path
  done
  [[ -n "$item_service" ]] || return 1
  menu_path=$(busctl --user get-property "$item_service" "$item_path" org.kde.StatusNotifierItem Menu | cut -d'"' -f2)
  [[ "$menu_path" != /NO_DBUSMENU ]]
}
# The exported layout, one item a line: id, parent's label, label, enabled, visible, checked.
layout() {
  busctl --user --json=short -- call "$item_service" "$menu_path" com.canonical.dbusmenu GetLayout iias 0 -1 0 |
    perl -MJSON::PP -e '
      local $/; binmode STDOUT, ":utf8"; my ($revision, $root) = @{decode_json(<STDIN>)->{data}};
      sub on { my ($p, $key) = @_; exists $p->{$key} ? ($p->{$key}{data} ? 1 : 0) : 1 }
      sub walk {
        my ($node, $parent) = @_; my ($id, $props, $children) = @$node;
        my $label = exists $props->{label} ? $props->{label}{data} : "";
        my $checked = exists $props->{"toggle-state"} ? $props->{"toggle-state"}{data} : 0;
        print join("\t", $id, $parent, $label, on($props, "enabled"), on($props, "visible"), $checked), "\n";
        walk($_->{data}, $label) for @$children;
      }
      walk($root, "");'
}
labels() { layout | awk -F'\t' '$5 == 1 { printf "%s%s|", $3, ($4 ? "" : " (disabled)") }'; }
# shown LABEL [PARENT]: the layout has LABEL visible and enabled (under PARENT).
shown() { layout | awk -F'\t' -v l="$1" -v p="${2:-}" '$3 == l && $5 == 1 && $4 == 1 && (p == "" || $2 == p) { f = 1 } END { exit !f }'; }
disabled() { layout | awk -F'\t' -v l="$1" '$3 == l && $5 == 1 && $4 == 0 { f = 1 } END { exit !f }'; }
absent() { ! layout | awk -F'\t' -v l="$1" '$3 == l && $5 == 1 { f = 1 } END { exit !f }'; }
# click LABEL [PARENT]: the host's "clicked" event on that item.
click() {
  local id
  id=$(layout | awk -F'\t' -v l="$1" -v p="${2:-}" '$3 == l && (p == "" || $2 == p) { print $1; exit }')
  [[ -n "$id" ]] || desktop_fail "no item \"$1\" in the menu: $(labels)"
  busctl --user call "$item_service" "$menu_path" com.canonical.dbusmenu Event isvu "$id" clicked s "" 0
}
about_to_show() { busctl --user call "$item_service" "$menu_path" com.canonical.dbusmenu AboutToShow i 0 >/dev/null; }
activate() { busctl --user call "$item_service" "$item_path" org.kde.StatusNotifierItem Activate ii 0 0; }

# start_tray [PLATFORM]: the tray on the desktop at hand, on Qt's PLATFORM (wayland; xcb
# for X11 through Xwayland); its output goes to $demo/tray.log.
start_tray() {
  : >"$demo/tray.log"
  QT_QPA_PLATFORM=${1:-wayland} "$bin/quorvel" >>"$demo/tray.log" 2>&1 &
  tray_pid=$!
  wait_for 15 item_registered || desktop_fail "the tray's item did not register with a menu"
}

# The panel (its title may carry the application's name after it): open (narrower than
# the 1280-pixel screen, with the keyboard), or closed.
panel_open() { windows | awk -F'\t' 'index($1, "Velmora Remote Studio") == 1 && $2 < 1280 && $4 == 1 { f = 1 } END { exit !f }'; }
panel_closed() { ! windows | grep -q '^Velmora Remote Studio'; }
another_window_focused() { windows | awk -F'\t' 'index($1, "Velmora Remote Studio") != 1 && $4 == 1 { f = 1 } END { exit !f }'; }

# --- sway with waybar ---------------------------------------------------------------------

desktop_sway() {
  desktop=sway
  printf '{"position": "top", "height": 26, "modules-right": ["tray"]}\n' >"$demo/bar.json"
  printf 'xwayland disable\noutput HEADLESS-1 resolution 1280x800\nexec waybar -c %s\n' "$demo/bar.json" \
    >"$demo/sway.conf"
  WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman WLR_HEADLESS_OUTPUTS=1 \
    sway -c "$demo/sway.conf" >"$demo/sway.log" 2>&1 &
  sway_pid=$!
  # Its sockets, in the runtime directory that is this run's alone.
  wait_for 10 eval 'ls "$XDG_RUNTIME_DIR"/sway-ipc.*.sock' || desktop_fail "sway did not start: $(cat "$demo/sway.log")"
  export SWAYSOCK=$(ls "$XDG_RUNTIME_DIR"/sway-ipc.*.sock)
  export WAYLAND_DISPLAY=$(cd "$XDG_RUNTIME_DIR" && ls wayland-* | grep -v '[.]lock$' | head -n 1)
  wait_for 10 watcher_ready || desktop_fail "waybar's tray did not start"
  # A headless seat has no keyboard, and one that comes and goes with each wtype would
  # reach a window only once it has bound it: a virtual keyboard (a wtype that only
  # sleeps) stays on the seat from before any window to the end.
  wtype -s 2000000000 &
  keyboard_pid=$!
  wait_for 10 eval 'swaymsg -t get_inputs | grep -q "\"type\": \"keyboard\""' ||
    desktop_fail "the virtual keyboard did not join the seat"
}

desktop_sway_stop() {
  demo_stop "$keyboard_pid" "$sway_pid"
  keyboard_pid= sway_pid=
  unset WAYLAND_DISPLAY SWAYSOCK
}

# sway_windows [rect]: the tray's windows in sway's tree: title, width, height, focused;
# with "rect", the panel's place as grim takes it.
sway_windows() {
  swaymsg -t get_tree | perl -MJSON::PP -e '
    local $/; binmode STDOUT, ":utf8"; my ($pid, $what) = @ARGV;
    sub walk { my $n = shift;
      if (($n->{pid} // 0) == $pid && $n->{visible}) {
        my $r = $n->{rect};
        if (!$what) { print join("\t", $n->{name} // "", $r->{width}, $r->{height}, $n->{focused} ? 1 : 0), "\n" }
        elsif ($n->{name} =~ /^Velmora Remote Studio/) { print "$r->{x},$r->{y} $r->{width}x$r->{height}" }
      }
      walk($_) for @{$n->{nodes}}, @{$n->{floating_nodes}}; }
    walk(decode_json(<STDIN>));' "$tray_pid" "${1:-}"
}

# --- GNOME Shell with the AppIndicator extension -------------------------------------------

desktop_gnome() {
  desktop=gnome
  # The shell's Eval and Screenshot answer only in unsafe mode, which this extension sets.
  local extension=$XDG_DATA_HOME/gnome-shell/extensions/quorvel-test@quorvel.invalid
  mkdir -p "$extension"
  printf '{"uuid": "quorvel-test@quorvel.invalid", "name": "Quorvel test", "description": "Lets a test drive the shell", "shell-version": ["43"]}\n' \
    >"$extension/metadata.json"
  printf 'function init() {\n  return {enable() { global.context.unsafe_mode = true; }, disable() {}};\n}\n' \
    >"$extension/extension.js"
  dbus-update-activation-environment HOME XDG_CONFIG_HOME XDG_DATA_HOME XDG_RUNTIME_DIR
  gsettings set org.gnome.shell enabled-extensions "['ubuntu-appindicators@ubuntu.com', 'quorvel-test@quorvel.invalid']"
  gsettings set org.gnome.shell disable-user-extensions false
  dbus-daemon --session --nofork --print-address=3 3>"$demo/system-bus" &
  system_bus_pid=$!
  wait_for 10 test -s "$demo/system-bus" || desktop_fail "the shell's system bus did not start"
  DBUS_SYSTEM_BUS_ADDRESS=$(head -n 1 "$demo/system-bus") XDG_SESSION_TYPE=wayland \
    gnome-shell --headless --wayland --virtual-monitor 1280x800 --wayland-display quorvel-gnome \
    >"$demo/gnome.log" 2>&1 &
  shell_pid=$!
  export WAYLAND_DISPLAY=quorvel-gnome
  wait_for 30 eval '[[ $(shell_eval 1) == 1 ]]' || desktop_fail "GNOME Shell did not start: $(tail -n 5 "$demo/gnome.log")"
  wait_for 10 watcher_ready || desktop_fail "the AppIndicator extension did not start"
  # The session starts in the overview, which keeps the keyboard from new windows.
  wait_for 30 eval '[[ $(shell_eval "imports.ui.main.layoutManager._startingUp") == false ]]' ||
    desktop_fail "GNOME Shell did not finish starting"
  shell_eval "imports.ui.main.overview.hide(); 1" >/dev/null
  wait_for 10 eval '[[ $(shell_eval "imports.ui.main.overview.visible") == false ]]' ||
    desktop_fail "the overview did not close"
  # A headless seat has no keyboard: the virtual one is made before any window, which
  # would not see keys sent the moment a keyboard appears.
  gnome_keys
}

shell_eval() {
  gdbus call --session -d org.gnome.Shell -o /org/gnome/Shell -m org.gnome.Shell.Eval "$1" |
    sed -n "s/^(true, '\(.*\)')\$/\1/p"
}

# gnome_windows [rect]: as sway_windows. (gdbus would take backslashes in the script
# as its own, so the fields come separated by "|" and the windows by ";".)
gnome_windows() {
  local format="[w.get_title(), r.width, r.height, w.has_focus() ? 1 : 0].join('|')"
  [[ "${1:-}" != rect ]] || format="w.get_title().startsWith('Velmora Remote Studio') ? [r.x, r.y, r.width, r.height].join(' ') : ''"
  shell_eval "global.get_window_actors().map(a => a.meta_window).filter(w => w.get_pid() == $tray_pid)
    .map(w => { const r = w.get_frame_rect(); return $format; }).filter(t => t).join(';')" |
    sed 's/^"//; s/"$//' | tr '|;' '\t\n'
}

# gnome_press SCRIPT: runs SCRIPT in the shell with press(KEYVAL), a key pressed and
# released on a virtual keyboard of the shell's seat, made once and kept (one made anew
# would be gone before its keys are delivered).
gnome_press() {
  shell_eval "const Clutter = imports.gi.Clutter;
    global.quorvelKeyboard = global.quorvelKeyboard || Clutter.get_default_backend().get_default_seat()
      .create_virtual_device(Clutter.InputDeviceType.KEYBOARD_DEVICE);
    const keyboard = global.quorvelKeyboard;
    let t = imports.gi.GLib.get_monotonic_time();
    const press = key => { keyboard.notify_keyval(t, key, Clutter.KeyState.PRESSED);
      keyboard.notify_keyval(t += 1000, key, Clutter.KeyState.RELEASED); t += 1000; };
    $1; 1" >/dev/null
}
# gnome_keys KEYVAL…: those keys pressed (Clutter's names: Return, Escape, Tab…).
gnome_keys() {
  local key presses=""
  for key in "$@"; do presses+="press(Clutter.KEY_$key);"; done
  gnome_press "$presses"
}

# X11 through the shell's Xwayland: DISPLAY and XAUTHORITY as the shell gives them.
gnome_xwayland() {
  export DISPLAY=$(shell_eval "imports.gi.GLib.getenv('DISPLAY')" | tr -d '"')
  export XAUTHORITY=$(shell_eval "imports.gi.GLib.getenv('XAUTHORITY')" | tr -d '"')
  [[ -n "$DISPLAY" && -n "$XAUTHORITY" ]] || desktop_fail "GNOME Shell started no Xwayland"
}

# --- Either desktop -----------------------------------------------------------------------

windows() { "${desktop}_windows"; }
# panel_shot FILE: a picture of the panel.
panel_shot() {
  local rect x y w h
  rect=$("${desktop}_windows" rect)
  [[ -n "$rect" ]] || return 1
  if [[ $desktop == sway ]]; then
    grim -g "$rect" "$1"
  else
    read -r x y w h <<<"$rect"
    gdbus call --session -d org.gnome.Shell.Screenshot -o /org/gnome/Shell/Screenshot \
      -m org.gnome.Shell.Screenshot.ScreenshotArea "$x" "$y" "$w" "$h" false "$1" | grep -q true
  fi
}
# Two pictures of the panel, a moment apart, differ: the meter moves.
meter_moves() {
  panel_shot "$demo/meter-1.png" && sleep 0.3 && panel_shot "$demo/meter-2.png" || return 1
  local differing
  differing=$(compare -metric AE "$demo/meter-1.png" "$demo/meter-2.png" null: 2>&1 || true)
  [[ ${differing%% *} -gt 0 ]]
}
# type_text TEXT: typed into the focused window (on GNOME, letters, digits and spaces).
type_text() {
  if [[ $desktop == sway ]]; then
    wtype "$1"
  else
    gnome_press "for (const c of '$1') press(Clutter.unicode_to_keysym(c.codePointAt(0)))"
  fi
}
# keys KEY…: key presses to the focused window (xkb key names: Return, Escape…).
keys() {
  local key args=()
  if [[ $desktop == sway ]]; then
    for key in "$@"; do args+=(-k "$key"); done
    wtype "${args[@]}"
  else
    gnome_keys "$@"
  fi
}
