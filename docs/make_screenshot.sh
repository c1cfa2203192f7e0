#!/usr/bin/env bash
# Makes docs/main-window.png: Torvane's main window on a private Xvfb display, with moving
# content on the desktop behind it so the preview shows something.
# Usage: bash docs/make_screenshot.sh [build-dir]   (make screenshot)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build_dir=$(realpath "${1:-build}")
out="$here/main-window.png"
for tool in "$build_dir/torvane" "$build_dir/bench/frame_generator"; do
    [ -x "$tool" ] || { echo "make_screenshot.sh: $tool not found; build first" >&2; exit 1; }
done

work=$(mktemp -d -t torvane-screenshot.XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

source "$here/../tests/private_home.sh"
private_home "$work"

Xvfb -displayfd 3 -screen 0 1600x1000x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$work/display")"
unset WAYLAND_DISPLAY
export QT_QPA_PLATFORM=xcb

"$build_dir/bench/frame_generator" >"$work/generator.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -q '^ready' "$work/generator.log" && break; sleep 0.1; done

(cd "$work" && "$build_dir/torvane" >"$work/torvane.log" 2>&1) &
pids+=($!)
title="QZT v2026.7.25.22"
for _ in $(seq 100); do xwininfo -name "$title" >/dev/null 2>&1 && break; sleep 0.1; done
# The idle preview refreshes every half second; give it a few rounds.
sleep 3
geometry=$(xwininfo -name "$title")
x=$(awk '/Absolute upper-left X/ { print $NF }' <<<"$geometry")
y=$(awk '/Absolute upper-left Y/ { print $NF }' <<<"$geometry")
w=$(awk '/Width:/ { print $NF }' <<<"$geometry")
h=$(awk '/Height:/ { print $NF }' <<<"$geometry")
ffmpeg -loglevel error -y -f x11grab -video_size "${w}x${h}" -i "$DISPLAY+$x,$y" \
    -frames:v 1 "$out"
echo "$out (${w}x${h})"
