#!/usr/bin/env bash
# Runs every test suite. End-to-end suites record for real on a private Xvfb display with a window
# manager and a private PulseAudio daemon with a null sink, stopped again at the end.
set -euo pipefail

build_dir=$(realpath "${1:-build}")
work=$(mktemp -d /tmp/torvane-tests-XXXXXX)
pids=()

cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

source "$(dirname "$0")/private_home.sh"
private_home "$work"

# A free display number: the first without a lock file.
display=90
while [ -e "/tmp/.X${display}-lock" ] || [ -e "/tmp/.X11-unix/X${display}" ]; do
    display=$((display + 1))
done
Xvfb ":$display" -screen 0 1920x1080x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
export DISPLAY=":$display"
# An X11 session whatever the desktop the tests are started from: on a Wayland one the session
# would ask the desktop's portal instead of reading this display.
unset WAYLAND_DISPLAY
export XDG_SESSION_TYPE=x11
for _ in $(seq 100); do
    xdpyinfo >/dev/null 2>&1 && break
    sleep 0.1
done
xdpyinfo >/dev/null 2>&1 || { echo "Xvfb did not start"; cat "$work/xvfb.log"; exit 1; }

openbox >"$work/openbox.log" 2>&1 &
pids+=($!)

pulseaudio -n --daemonize=no --exit-idle-time=-1 --log-target=file:"$work/pulse.log" \
    --load=module-native-protocol-unix \
    --load="module-null-sink sink_name=rec" \
    --load=module-always-sink >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do
    pactl info >/dev/null 2>&1 && break
    sleep 0.1
done
pactl info >/dev/null 2>&1 || { echo "PulseAudio did not start"; cat "$work/pulse.log"; exit 1; }
pactl set-default-sink rec

# A crashing suite fails at once; the stack dump of QtTest can hang under the debugger it calls.
export QTEST_DISABLE_STACK_DUMP=1
# No test program asks the real release site for updates (suites that test it set their own).
export TORVANE_UPDATE_URL=http://127.0.0.1:9/version.txt
cd "$build_dir"
ctest --output-on-failure --timeout 600 "${@:2}"
