#!/usr/bin/env bash
# Runs a command inside a private headless GNOME Wayland session: its own session bus and runtime
# folder, PipeWire + WirePlumber, mutter with one 1280x720 virtual monitor and the ScreenCast
# portal. Everything started here ends with the script. Exits 77 where mutter or the portal
# cannot run. Usage: headless_gnome.sh <command> [args...]
set -uo pipefail
if [ -z "${TORVANE_GNOME_STACK:-}" ]; then
    for tool in dbus-run-session mutter pipewire wireplumber gdbus /usr/libexec/xdg-desktop-portal; do
        command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed (make deps)"; exit 77; }
    done
    export TORVANE_GNOME_STACK=$(mktemp -d /tmp/torvane-gnome-XXXXXX)
    source "$(dirname "$0")/../private_home.sh"
    private_home "$TORVANE_GNOME_STACK"
    status=0
    dbus-run-session -- bash "$0" "$@" || status=$?
    # The document portal mounts a FUSE folder in the runtime folder.
    fusermount3 -u -z "$XDG_RUNTIME_DIR/doc" 2>/dev/null
    rm -rf "$TORVANE_GNOME_STACK"
    exit "$status"
fi

# Inside the private bus.
log=$TORVANE_GNOME_STACK pids=()
trap 'for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null; done; wait' EXIT
skip() { echo "SKIP: $1"; tail -n 20 "$log"/*.log; exit 77; }
wait_for() { # <tries of 0.1 s> <command...>
    local tries=$1; shift
    for _ in $(seq "$tries"); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
    return 1
}
export XDG_SESSION_TYPE=wayland XDG_CURRENT_DESKTOP=GNOME WAYLAND_DISPLAY=torvane-wayland-$$
unset DISPLAY
pipewire >"$log/pipewire.log" 2>&1 & pids+=($!)
wait_for 100 test -S "$XDG_RUNTIME_DIR/pipewire-0" || skip "PipeWire did not start"
wireplumber >"$log/wireplumber.log" 2>&1 & pids+=($!)
mutter --headless --wayland --no-x11 --virtual-monitor 1280x720 \
    --wayland-display="$WAYLAND_DISPLAY" >"$log/mutter.log" 2>&1 & pids+=($!)
wait_for 200 gdbus introspect --session -d org.gnome.Mutter.ScreenCast -o /org/gnome/Mutter/ScreenCast \
    || skip "mutter cannot run headless here"
dbus-update-activation-environment WAYLAND_DISPLAY XDG_CURRENT_DESKTOP XDG_RUNTIME_DIR XDG_SESSION_TYPE
# Bus activation starts the portal and its GNOME back-end at the first call.
wait_for 300 gdbus call --session -d org.freedesktop.portal.Desktop -o /org/freedesktop/portal/desktop \
    -m org.freedesktop.DBus.Properties.Get org.freedesktop.portal.ScreenCast version \
    || skip "the ScreenCast portal does not answer"
"$@"
