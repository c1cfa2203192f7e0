#!/usr/bin/env bash
# Tab recording benchmark with the real extension in Debian's Chromium: bench/tab_browser_bench.py
# records tests/e2e/tab_test_page.html into Torvane and measures the files. This script gives it a
# private home, X display (with a window manager) and PulseAudio server with a null sink.
#
# Usage: bench/run_tab_browser_bench.sh [build-dir]
#   BENCH_SECONDS       recording length, stopped from Torvane (default 20)
#   BENCH_TAIL_SECONDS  the recording after it, stopped from the extension (default 5)
#   BENCH_SIZES         page sizes (default "1280x720 1920x1080"); BENCH_RUNS per size (default 3)
#   TAB_EXTENSION_DIR   the unpacked extension to load (default extension/ of this tree)
set -euo pipefail

build_dir=$(realpath "${1:-build}")
bench_dir=$(cd "$(dirname "$0")" && pwd)
for tool in Xvfb xdpyinfo openbox pulseaudio pactl ffmpeg ffprobe; do
    if ! command -v "$tool" >/dev/null; then
        echo "run_tab_browser_bench.sh: $tool is missing (make deps installs it)" >&2
        exit 1
    fi
done
if ! command -v chromium >/dev/null && ! command -v chromium-browser >/dev/null; then
    echo "run_tab_browser_bench.sh: chromium is missing (apt-get install chromium)" >&2
    exit 1
fi
export TAB_EXTENSION_DIR=$(realpath "${TAB_EXTENSION_DIR:-$bench_dir/../extension}")

work=$(mktemp -d -t torvane-tab-browser-bench.XXXXXX)
source "$bench_dir/bench_common.sh"
trap bench_cleanup EXIT
bench_private_session
bench_start_display 1920 1080
openbox >"$work/openbox.log" 2>&1 &
bench_pids+=($!)
bench_start_pulse
export QTEST_DISABLE_STACK_DUMP=1

/usr/bin/python3 "$bench_dir/tab_browser_bench.py" "$build_dir"
