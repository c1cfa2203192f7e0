#!/usr/bin/env bash
# Tab recording benchmark: a prepared VP8 stream (1920x1080 at 30 fps unless told) with a float
# stereo tone is played into Torvane's tab capture server at real-time pace by
# bench/tab_bench_client.py, as the browser extension would send it. Torvane's CPU from the client's start to the finished file,
# per recorded second, is set against ffmpeg decoding the same VP8 stream and encoding it with
# exactly the libx264 settings written in Torvane's file, in the same run.
#
# Usage: bench/run_tab_bench.sh [build-dir]
#   BENCH_SECONDS  length of the stream (default 20)
#   BENCH_SIZE     picture size (default 1920x1080); BENCH_FPS its frame rate (default 30)
#   BENCH_FLOOR=0  skips the ffmpeg floor (slow at the largest sizes)
#   BENCH_STREAM   an IVF file of that size and rate to play instead of preparing one (VP8 at
#                  7680x4320 takes minutes to prepare)
# Last line:
#   tab_cpu_per_s=<n> queue_peak=<n> overloads=<n> floor_cpu_per_s=<n> ratio=<tab/floor>
# The line before it: rss_idle_mb=<n> rss_peak_above_idle_mb=<n> (VmHWM at the end of the file
# against VmRSS of the settled idle window).
set -euo pipefail

build_dir=$(realpath "${1:-build}")
seconds=${BENCH_SECONDS:-20}
size=${BENCH_SIZE:-1920x1080}
width=${size%x*}
height=${size#*x}
fps=${BENCH_FPS:-30}
torvane="$build_dir/torvane"
bench="$build_dir/bench/capture_bench"
client="$(dirname "$0")/tab_bench_client.py"
python=/usr/bin/python3
title_pattern='^QZT v'

for tool in "$torvane" "$bench"; do
    if [ ! -x "$tool" ]; then
        echo "run_tab_bench.sh: $tool not found; build first (make build)" >&2
        exit 1
    fi
done
for tool in /usr/bin/time Xvfb xdpyinfo xdotool pulseaudio pactl ffmpeg ffprobe; do
    if ! command -v "$tool" >/dev/null; then
        echo "run_tab_bench.sh: $tool is missing (make deps installs it)" >&2
        exit 1
    fi
done
if ! "$python" -c 'import websockets' 2>/dev/null; then
    echo "run_tab_bench.sh: $python lacks websockets (apt-get install python3-websockets)" >&2
    exit 1
fi
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ && "$fps" =~ ^[1-9][0-9]*$ && "$size" =~ ^[1-9][0-9]*x[1-9][0-9]*$ ]]; then
    echo "run_tab_bench.sh: BENCH_SECONDS and BENCH_FPS are whole numbers, BENCH_SIZE <w>x<h>" >&2
    exit 1
fi

work=$(mktemp -d -t torvane-tab-bench.XXXXXX)
source "$(dirname "$0")/bench_common.sh"
trap bench_cleanup EXIT

# A throw-away home and temporary folder, as in the app benchmark.
bench_private_session
recordings="$work/videos"
mkdir -p "$recordings" "$XDG_CONFIG_HOME/torvane"

# The stream as a browser's real-time VP8 encoder makes it: no look-ahead, a key frame every 2 s.
stream=${BENCH_STREAM:-$work/stream.ivf}
if [ -z "${BENCH_STREAM:-}" ] && ! ffmpeg -hide_banner -nostdin -y -loglevel error -f lavfi \
    -i "testsrc2=size=${width}x${height}:rate=$fps" -t "$seconds" -c:v libvpx -deadline realtime \
    -cpu-used 8 -b:v 6M -g 60 -auto-alt-ref 0 -lag-in-frames 0 -f ivf "$stream" 2>"$work/vp8.err"; then
    echo "run_tab_bench.sh: preparing the VP8 stream failed" >&2
    cat "$work/vp8.err" >&2
    exit 1
fi

# The screen stays at 1080p: what is measured is the tab, not the idle window's screen preview.
bench_start_display 1920 1080
bench_start_pulse

# The first start writes the first-run defaults (6000 kbit/s among them), which the recording
# keeps; only the folder and the server's port are changed.
settings_file="$XDG_CONFIG_HOME/torvane/settings.ini"
torvane_pid=
bench_start_torvane
for _ in $(seq 50); do [ -s "$settings_file" ] && break; sleep 0.1; done
bench_stop_torvane
port=$("$python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
bench_set_setting OutPutFileSett RecordingPath "$recordings"
bench_set_setting TabCaptureSett WebSocketPort "$port"
rm -rf "$XDG_CONFIG_HOME/torvane/Log"

echo "Tab benchmark: Torvane fed ${width}x${height} $fps fps VP8 and 48 kHz float stereo for" \
    "$seconds s on port $port, $(nproc) cores"
echo "load at start:$(uptime | sed 's/.*load average//')"

bench_start_torvane
run_log=$(ls "$XDG_CONFIG_HOME"/torvane/Log/qzt_*.log)
for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    sleep 0.1
done
# The idle window settles (first previews, audio device list) before anything is measured.
sleep 2
rss_idle=$(awk '/^VmRSS:/ { print int($2 / 1024) }' "/proc/$torvane_pid/status")

cpu_before=$(bench_cpu_seconds "$torvane_pid")
if ! "$python" "$client" "$port" "$stream" "$fps" >"$work/client.out" 2>&1; then
    echo "run_tab_bench.sh: the client failed" >&2
    cat "$work/client.out" >&2
    exit 1
fi
# The file is complete once the mux thread has ended.
bench_wait_for_log 'Quiting muxingThread' 300
cpu_after=$(bench_cpu_seconds "$torvane_pid")
rss_peak=$(awk '/^VmHWM:/ { print int($2 / 1024) }' "/proc/$torvane_pid/status")
bench_stop_torvane

output=$(ls -t "$recordings"/tabcapture_* 2>/dev/null | head -n1)
if [ -z "$output" ]; then
    echo "run_tab_bench.sh: Torvane wrote no file" >&2
    tail -n 20 "$run_log" >&2
    exit 1
fi
read -r tab_size tab_rate tab_frames < <(probe "$output")
recorded=$(awk -v f="$tab_frames" -v r="$fps" 'BEGIN { printf "%.2f", f / r }')
tab_cpu=$(awk -v a="$cpu_before" -v b="$cpu_after" 'BEGIN { printf "%.2f", b - a }')
client_line=$(tail -n1 "$work/client.out")
overloads=$(sed -n 's/.*overloads=\([0-9]*\).*/\1/p' <<<"$client_line")
queue_peak=$(sed -n 's/.*TabCapture queue peak: \([0-9]*\) items.*/\1/p' "$run_log" | tail -n1)
echo "Torvane: $tab_size $tab_rate fps, $tab_frames frames ($recorded s) in the file," \
    "cpu $tab_cpu s from the client's start to the end of the file"
echo "  client: $client_line"
echo "  $(grep -o 'TabCapture queue peak:.*' "$run_log" | tail -n1)"
grep -E '\[(WARNING|CRITICAL)\]' "$run_log" | head -n 10 | sed 's/^/  log: /' || true
rss_line="rss_idle_mb=$rss_idle rss_peak_above_idle_mb=$((rss_peak - rss_idle))"
if [ "${BENCH_FLOOR:-1}" = 0 ]; then
    echo "$rss_line"
    exit 0
fi

# The floor: the same VP8 stream decoded and encoded by the ffmpeg command line with the libx264
# settings of Torvane's file. encode-args describes a raw input; its input part is replaced.
floor_file="$work/x264.mp4"
mapfile -t raw_args < <("$bench" encode-args "$output" "$fps" "${width}x${height}" \
    "$work/unused.yuv" "$floor_file")
encode_args=(-hide_banner -nostdin -y -loglevel error -i "$stream")
for ((i = 0; i < ${#raw_args[@]}; i++)); do
    if [ "${raw_args[i]}" = -i ]; then
        encode_args+=("${raw_args[@]:i+2}")
        break
    fi
done
echo "ffmpeg command: ffmpeg $(printf '%q ' "${encode_args[@]}")"
if ! /usr/bin/time -f "%U %S %M" -o "$work/x264.time" \
    ffmpeg "${encode_args[@]}" </dev/null >/dev/null 2>"$work/x264.err"; then
    echo "run_tab_bench.sh: the ffmpeg encoding failed" >&2
    tail -n 5 "$work/x264.err" >&2
    exit 1
fi
read -r floor_cpu floor_rss < <(process_cost "$work/x264.time")
read -r floor_size floor_rate floor_frames < <(probe "$floor_file")
echo "ffmpeg VP8 to x264: $floor_size $floor_rate fps, $floor_frames frames, cpu $floor_cpu s," \
    "peak RSS $floor_rss MB"
echo "load at end:$(uptime | sed 's/.*load average//')"
echo "$rss_line"

awk -v a="$tab_cpu" -v s="$recorded" -v f="$floor_cpu" -v n="$floor_frames" -v r="$fps" \
    -v q="${queue_peak:-0}" -v o="${overloads:-0}" 'BEGIN {
        tab = (s > 0 ? a / s : 0); floor = (n > 0 ? f / (n / r) : 0)
        printf "tab_cpu_per_s=%.3f queue_peak=%d overloads=%d floor_cpu_per_s=%.3f ratio=%.2f\n",
            tab, q, o, floor, (floor > 0 ? tab / floor : 0)
    }'
