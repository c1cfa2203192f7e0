#!/usr/bin/env bash
# App benchmark: Torvane itself, as a user runs it (main window, preview on, System Audio, the
# first-run defaults but 60 fps), records a private 1920x1080 Xvfb display with moving content for
# BENCH_SECONDS, started and stopped with its start/stop shortcut. Its CPU over the recording is
# set against the encoder's own cost on the same content: BENCH_RAW_SECONDS of the screen captured
# raw (yuv420p) and encoded by the ffmpeg command line with exactly the libx264 settings written
# in Torvane's file.
#
# Usage: bench/run_app_bench.sh [build-dir]
#   BENCH_SECONDS      length of the recording through Torvane (default 20)
#   BENCH_RAW_SECONDS  length of the raw capture the ffmpeg command line encodes (default 10)
#   BENCH_PERF         a file: the recording is profiled into it (perf record -g), the ffmpeg
#                      encoding into <file>.x264; the figures then include perf's own cost
#   BENCH_SETTINGS     more settings to change, "Group/key=value ..." (for example
#                      "UISett/EnablePreview=false" to see what the preview costs)
# Last line:
#   app_cpu_per_s=<n> x264_floor_cpu_per_s=<n> overhead=<app/floor> repeated=<n>
set -euo pipefail

build_dir=$(realpath "${1:-build}")
seconds=${BENCH_SECONDS:-20}
raw_seconds=${BENCH_RAW_SECONDS:-10}
width=1920
height=1080
fps=60
torvane="$build_dir/torvane"
bench="$build_dir/bench/capture_bench"
generator="$build_dir/bench/frame_generator"
title_pattern='^QZT v'

for tool in "$torvane" "$bench" "$generator"; do
    if [ ! -x "$tool" ]; then
        echo "run_app_bench.sh: $tool not found; build first (make build)" >&2
        exit 1
    fi
done
for tool in /usr/bin/time Xvfb xdpyinfo xdotool pulseaudio pactl ffmpeg ffprobe; do
    if ! command -v "$tool" >/dev/null; then
        echo "run_app_bench.sh: $tool is missing (make deps installs it)" >&2
        exit 1
    fi
done
for value in "$seconds" "$raw_seconds"; do
    if ! [[ "$value" =~ ^[1-9][0-9]*$ ]]; then
        echo "run_app_bench.sh: BENCH_SECONDS and BENCH_RAW_SECONDS are whole seconds" >&2
        exit 1
    fi
done

work=$(mktemp -d -t torvane-app-bench.XXXXXX)
source "$(dirname "$0")/bench_common.sh"
trap bench_cleanup EXIT

# A throw-away home, so the first-run defaults apply and the user's settings stay untouched;
# a temporary folder of its own, so a Torvane the user runs does not hold the one-instance lock.
bench_private_session
settings_file="$XDG_CONFIG_HOME/torvane/settings.ini"
recordings="$HOME/Videos/QZT"

bench_start_display "$width" "$height"
bench_start_pulse
bench_start_generator "$generator"

torvane_pid=
# "<thread name> <CPU ticks>" for every thread of a process, one a line.
thread_ticks() {
    local task
    for task in /proc/"$1"/task/*; do
        printf '%s %s\n' "$(tr ' ' '_' <"$task/comm")" \
            "$(awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "$task/stat")"
    done 2>/dev/null
}

echo "App benchmark: Torvane at ${width}x${height} $fps fps on $DISPLAY, $seconds s recording," \
    "$raw_seconds s raw for the encoder alone, $(nproc) cores"
echo "load at start:$(uptime | sed 's/.*load average//')"

# The first start writes the first-run defaults; the second records at the benchmark's rate.
bench_start_torvane
for _ in $(seq 50); do [ -s "$settings_file" ] && break; sleep 0.1; done
bench_stop_torvane
bench_set_setting VideoSett fps "$fps"
for setting in ${BENCH_SETTINGS:-}; do
    if ! [[ "$setting" =~ ^([^/]+)/([^=]+)=(.*)$ ]]; then
        echo "run_app_bench.sh: BENCH_SETTINGS entries are Group/key=value, not $setting" >&2
        exit 1
    fi
    bench_set_setting "${BASH_REMATCH[1]}" "${BASH_REMATCH[2]}" "${BASH_REMATCH[3]}"
    echo "setting: $setting"
done
rm -rf "$XDG_CONFIG_HOME/torvane/Log"
bench_start_torvane
run_log=$(ls "$XDG_CONFIG_HOME"/torvane/Log/qzt_*.log)
# The idle window settles (first previews, audio device list) before anything is measured.
sleep 2
idle_before=$(bench_cpu_seconds "$torvane_pid")
sleep 3
idle_cpu=$(awk -v a="$idle_before" -v b="$(bench_cpu_seconds "$torvane_pid")" \
    'BEGIN { printf "%.3f", (b - a) / 3 }')

generator_stretch >/dev/null
cpu_before=$(bench_cpu_seconds "$torvane_pid")
xvfb_before=$(xvfb_cpu)
bench_press_shortcut
bench_wait_for_log '^.* Saving\.\.\.' 10
threads_before=$(thread_ticks "$torvane_pid")
perf_pid=
if [ -n "${BENCH_PERF:-}" ]; then
    perf record -q -e cpu-clock -g -p "$torvane_pid" -o "$BENCH_PERF" -- sleep "$seconds" \
        >"$work/perf.log" 2>&1 &
    perf_pid=$!
fi
sleep "$seconds"
threads_after=$(thread_ticks "$torvane_pid")
bench_press_shortcut
# A machine too busy for the encoder to keep up makes the stop wait for the queued frames.
bench_wait_for_log 'Capture pacing:' 300
[ -n "$perf_pid" ] && wait "$perf_pid"
# The file is complete once the session has ended its threads.
sleep 1
cpu_after=$(bench_cpu_seconds "$torvane_pid")
xvfb_after=$(xvfb_cpu)
content=$(generator_stretch)

output=$(ls -t "$recordings"/*.mp4 2>/dev/null | head -n1)
if [ -z "$output" ]; then
    echo "run_app_bench.sh: Torvane wrote no file" >&2
    tail -n 20 "$run_log" >&2
    exit 1
fi
read -r app_size app_rate app_frames < <(probe "$output")
pacing=$(grep 'Capture pacing:' "$run_log" | tail -n1)
written=$(sed -n 's/.*pacing: \([0-9]*\) frames written.*/\1/p' <<<"$pacing")
repeated_all=$(sed -n 's/.* \([0-9]*\) repeated.*/\1/p' <<<"$pacing")
lead_in=$(sed -n 's/.*(\([0-9]*\) before the first image.*/\1/p' <<<"$pacing")
repeated=$((repeated_all - lead_in))
recorded=$(awk -v f="$app_frames" -v r="$fps" 'BEGIN { printf "%.2f", f / r }')
app_cpu=$(awk -v a="$cpu_before" -v b="$cpu_after" 'BEGIN { printf "%.2f", b - a }')
echo "Torvane: $app_size $app_rate fps, $app_frames frames ($recorded s) in the file," \
    "pacer: $written written, $repeated repeated, $lead_in lead-in;" \
    "cpu $app_cpu s from the start shortcut to the end of the file;" \
    "idle before: $idle_cpu cpu_per_s;" \
    "Xvfb cpu_per_s $(awk -v a="$xvfb_before" -v b="$xvfb_after" -v s="$recorded" \
        'BEGIN { printf "%.3f", (b - a) / s }')"
echo "  content during it: $content"
# The capture thread logs every wait for a full queue, by the hundred when encoding falls behind.
echo "  waits for the encoder: $(grep -c 'Sleep Count' "$run_log" || true)"
# Each thread's share while recording, from the start to just before the stop.
echo "  threads (cpu_per_s over the $seconds s):" $(join -a1 -e 0 -o 0,1.2,2.2 \
    <(sort <<<"$threads_after" | awk '{ t[$1] += $2 } END { for (n in t) print n, t[n] }' | sort) \
    <(sort <<<"$threads_before" | awk '{ t[$1] += $2 } END { for (n in t) print n, t[n] }' | sort) |
    awk -v hz="$clock_ticks" -v s="$seconds" '{ d = ($2 - $3) / hz / s; if (d >= 0.001)
        printf "%s=%.3f\n", $1, d }' | sort -t= -k2 -rn)
grep -E '\[(WARNING|CRITICAL)\]' "$run_log" | grep -v 'Sleep Count' | head -n 10 |
    sed 's/^/  log: /' || true

# The same content raw, while the idle window still shows; then the encoder alone on it.
raw="$work/raw.yuv"
if ! ffmpeg -hide_banner -nostdin -y -loglevel error -f x11grab -framerate "$fps" \
    -video_size "${width}x${height}" -draw_mouse 0 -i "$DISPLAY+0,0" -t "$raw_seconds" \
    -pix_fmt yuv420p -f rawvideo "$raw" </dev/null 2>"$work/raw.err"; then
    echo "run_app_bench.sh: the raw capture failed" >&2
    cat "$work/raw.err" >&2
    exit 1
fi
bench_stop_torvane
raw_frames=$(($(stat -c %s "$raw") / (width * height * 3 / 2)))
floor_file="$work/x264.mp4"
mapfile -t encode_args < <("$bench" encode-args "$output" "$fps" "${width}x${height}" "$raw" \
    "$floor_file")
echo "ffmpeg command: ffmpeg $(printf '%q ' "${encode_args[@]}")"
profile=()
[ -n "${BENCH_PERF:-}" ] && profile=(perf record -q -e cpu-clock -g -o "$BENCH_PERF.x264" --)
if ! /usr/bin/time -f "%U %S %M" -o "$work/x264.time" \
    "${profile[@]}" ffmpeg "${encode_args[@]}" </dev/null >/dev/null 2>"$work/x264.err"; then
    echo "run_app_bench.sh: the ffmpeg encoding failed" >&2
    tail -n 5 "$work/x264.err" >&2
    exit 1
fi
read -r floor_cpu floor_rss < <(process_cost "$work/x264.time")
read -r floor_size floor_rate floor_frames < <(probe "$floor_file")
echo "x264 alone: $raw_frames raw frames, $floor_size $floor_rate fps, $floor_frames frames" \
    "encoded, cpu $floor_cpu s, peak RSS $floor_rss MB"
"$bench" compare "$output" "$floor_file" | sed 's/^/  /' || true
echo "load at end:$(uptime | sed 's/.*load average//')"

awk -v a="$app_cpu" -v s="$recorded" -v f="$floor_cpu" -v n="$floor_frames" -v r="$fps" \
    -v rep="$repeated" 'BEGIN {
        app = a / s; floor = f / (n / r)
        printf "app_cpu_per_s=%.3f x264_floor_cpu_per_s=%.3f overhead=%.2f repeated=%d\n",
            app, floor, (floor > 0 ? app / floor : 0), rep
    }'
