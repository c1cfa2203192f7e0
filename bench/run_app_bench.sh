#!/usr/bin/env bash
# App benchmark: Torvane itself, as a user runs it (main window, preview on, System Audio, the
# first-run defaults but the benchmark's frame rate), records a private Xvfb display of
# BENCH_SIZE with moving content for BENCH_SECONDS, started and stopped with its start/stop
# shortcut, BENCH_RUNS times. Each run's CPU is set against the encoder's own cost on the same
# frames: BENCH_RAW_SECONDS of the run's own file, decoded to raw yuv420p and encoded by the
# ffmpeg command line with exactly the libx264 settings written in that file. The floor then
# encodes the pictures Torvane encoded, its repeats included, not another capture of the screen.
#
# Usage: bench/run_app_bench.sh [build-dir]
#   BENCH_SIZE         the display and recording size (default 1920x1080)
#   BENCH_FPS          the recording's frame rate (default 60)
#   BENCH_SECONDS      length of each recording (default 20)
#   BENCH_RAW_SECONDS  how much of each recording the floor encodes (default 10)
#   BENCH_RUNS         how many recordings (default 3); the summary gives min/median/max
#   BENCH_PERF         a file: the first recording is profiled into it (perf record -g), its
#                      ffmpeg encoding into <file>.x264; the figures then include perf's own cost
#   BENCH_KEEP         a folder: each run's recording is kept there as run<n>.mp4
#   BENCH_SETTINGS     more settings to change, "Group/key=value ..." (for example
#                      "UISett/EnablePreview=false" to see what the preview costs)
# One line a run, then the spread, then the summary (medians; the worst repeated, dropped and RSS):
#   app_cpu_per_s=<n> floor_cpu_per_s=<n> overhead=<app/floor> repeated=<n> dropped=<n> peak_rss_mb=<n>
#   beyond_encoder=<all the app's threads / its encoding thread, over the same seconds>
set -euo pipefail

build_dir=$(realpath "${1:-build}")
seconds=${BENCH_SECONDS:-20}
raw_seconds=${BENCH_RAW_SECONDS:-10}
runs=${BENCH_RUNS:-3}
size=${BENCH_SIZE:-1920x1080}
fps=${BENCH_FPS:-60}
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
for value in "$seconds" "$raw_seconds" "$runs" "$fps"; do
    if ! [[ "$value" =~ ^[1-9][0-9]*$ ]]; then
        echo "run_app_bench.sh: BENCH_SECONDS, BENCH_RAW_SECONDS, BENCH_RUNS and BENCH_FPS are" \
            "whole numbers" >&2
        exit 1
    fi
done
if ! [[ "$size" =~ ^([1-9][0-9]*)x([1-9][0-9]*)$ ]] || ((BASH_REMATCH[1] % 2 || BASH_REMATCH[2] % 2)); then
    echo "run_app_bench.sh: BENCH_SIZE is <width>x<height>, both even, not $size" >&2
    exit 1
fi
width=${BASH_REMATCH[1]}
height=${BASH_REMATCH[2]}
if ((raw_seconds >= seconds)); then
    raw_seconds=$((seconds > 2 ? seconds - 2 : 1))
fi

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
# Minor page faults of a process so far (a fresh page costs a fault; on a virtual machine a dear one).
minor_faults() {
    awk '{ sub(/^.*\) /, ""); print $8 }' "/proc/$1/stat"
}
# Each thread's CPU a second between two thread_ticks listings ($1 after, $2 before).
thread_shares() {
    join -a1 -e 0 -o 0,1.2,2.2 \
        <(sort <<<"$1" | awk '{ t[$1] += $2 } END { for (n in t) print n, t[n] }' | sort) \
        <(sort <<<"$2" | awk '{ t[$1] += $2 } END { for (n in t) print n, t[n] }' | sort) |
        awk -v hz="$clock_ticks" -v s="$seconds" '{ d = ($2 - $3) / hz / s; if (d >= 0.001)
            printf "%s=%.3f\n", $1, d }' | sort -t= -k2 -rn
}

echo "App benchmark: Torvane at ${width}x${height} $fps fps on $DISPLAY, $runs runs of" \
    "$seconds s, the floor on $raw_seconds s of each, $(nproc) cores"
echo "load at start:$(uptime | sed 's/.*load average//')"

# The first start writes the first-run defaults; the runs record at the benchmark's rate.
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

# One recording and its floor; appends "app floor overhead repeated dropped rss" to results.
one_run() {
    local run=$1 perf_file=
    [ "$run" = 1 ] && perf_file=${BENCH_PERF:-}
    rm -rf "$XDG_CONFIG_HOME/torvane/Log" "$recordings"
    bench_start_torvane
    run_log=$(ls "$XDG_CONFIG_HOME"/torvane/Log/qzt_*.log)
    # The idle window settles (first previews, audio device list) before anything is measured.
    sleep 2
    local idle_before idle_cpu
    idle_before=$(bench_cpu_seconds "$torvane_pid")
    sleep 3
    idle_cpu=$(awk -v a="$idle_before" -v b="$(bench_cpu_seconds "$torvane_pid")" \
        'BEGIN { printf "%.3f", (b - a) / 3 }')

    generator_stretch >/dev/null
    local cpu_before xvfb_before threads_before threads_after perf_pid= faults_before
    cpu_before=$(bench_cpu_seconds "$torvane_pid")
    faults_before=$(minor_faults "$torvane_pid")
    xvfb_before=$(xvfb_cpu)
    bench_press_shortcut
    bench_wait_for_log '^.* Saving\.\.\.' 10
    threads_before=$(thread_ticks "$torvane_pid")
    if [ -n "$perf_file" ]; then
        perf record -q -e cpu-clock -g -p "$torvane_pid" -o "$perf_file" -- sleep "$seconds" \
            >"$work/perf.log" 2>&1 &
        perf_pid=$!
    fi
    sleep "$seconds"
    threads_after=$(thread_ticks "$torvane_pid")
    bench_press_shortcut
    # The encoder-lag question, when it came, holds the keyboard; its default answer stops.
    if ! bench_wait_for_log 'Capture pacing:' 5 2>/dev/null; then
        local question
        question=$(xdotool search --name '^Encoder Lag Detected$' 2>/dev/null | head -n1 || true)
        if [ -n "$question" ]; then
            echo "  the encoder-lag question was asked; answered with its default, No (stop)"
            xdotool windowfocus --sync "$question" key Return
        fi
    fi
    # The queue is bounded, so the stop waits at most for the frames in it.
    if ! bench_wait_for_log 'Capture pacing:' 60; then
        command -v gdb >/dev/null &&
            gdb -p "$torvane_pid" -batch -ex 'thread apply all bt 8' 2>/dev/null | grep '^#\|^Thread' >&2
        exit 1
    fi
    [ -n "$perf_pid" ] && wait "$perf_pid"
    # The file is complete once the session has ended its threads.
    sleep 1
    local cpu_after xvfb_after content rss output faults
    cpu_after=$(bench_cpu_seconds "$torvane_pid")
    faults=$(($(minor_faults "$torvane_pid") - faults_before))
    xvfb_after=$(xvfb_cpu)
    content=$(generator_stretch)
    rss=$(awk '/^VmHWM:/ { printf "%.0f", $2 / 1024 }' "/proc/$torvane_pid/status")
    bench_stop_torvane

    output=$(ls -t "$recordings"/*.mp4 2>/dev/null | head -n1)
    if [ -z "$output" ]; then
        echo "run_app_bench.sh: Torvane wrote no file" >&2
        tail -n 20 "$run_log" >&2
        exit 1
    fi
    local app_size app_rate app_frames pacing written repeated_all lead_in dropped recorded ready
    read -r app_size app_rate app_frames < <(probe "$output")
    pacing=$(grep 'Capture pacing:' "$run_log" | tail -n1)
    written=$(sed -n 's/.*pacing: \([0-9]*\) frames written.*/\1/p' <<<"$pacing")
    repeated_all=$(sed -n 's/.* \([0-9]*\) repeated.*/\1/p' <<<"$pacing")
    lead_in=$(sed -n 's/.*(\([0-9]*\) before the first image.*/\1/p' <<<"$pacing")
    dropped=$(sed -n 's/.* \([0-9]*\) dropped.*/\1/p' <<<"$pacing")
    recorded=$(awk -v f="$app_frames" -v r="$fps" 'BEGIN { printf "%.2f", f / r }')
    ready=$(sed -n 's/.*Capture ready in \([0-9]*\) ms.*/\1/p' "$run_log" | tail -n1)
    echo "run $run: $app_size $app_rate fps, $app_frames frames ($recorded s) in the file," \
        "pacer: $written written, $((repeated_all - lead_in)) repeated, $lead_in lead-in," \
        "${dropped:-0} dropped; ready before the clock in ${ready:-?} ms;" \
        "idle before: $idle_cpu cpu_per_s;" \
        "page faults a second: $(awk -v f="$faults" -v s="$recorded" 'BEGIN { printf "%.0f", f / s }');" \
        "Xvfb cpu_per_s $(awk -v a="$xvfb_before" -v b="$xvfb_after" -v s="$recorded" \
            'BEGIN { printf "%.3f", (b - a) / s }')"
    echo "  content during it: $content"
    echo "  threads (cpu_per_s while recording):" $(thread_shares "$threads_after" "$threads_before")
    grep -E '\[(WARNING|CRITICAL)\]' "$run_log" | grep -v 'Sleep Count' | head -n 10 |
        sed 's/^/  log: /' || true

    # The floor: the same pictures, from one second in, decoded and encoded again alone.
    local raw="$work/raw.yuv" floor_file="$work/x264.mp4" floor_cpu floor_rss floor_frames
    local encode_args profile=()
    if ! ffmpeg -hide_banner -nostdin -y -loglevel error -ss 1 -i "$output" -t "$raw_seconds" \
        -map 0:v:0 -pix_fmt yuv420p -f rawvideo "$raw" </dev/null 2>"$work/raw.err"; then
        echo "run_app_bench.sh: decoding the recording failed" >&2
        cat "$work/raw.err" >&2
        exit 1
    fi
    mapfile -t encode_args < <("$bench" encode-args "$output" "$fps" "${width}x${height}" \
        "$raw" "$floor_file")
    [ "$run" = 1 ] && echo "  ffmpeg command: ffmpeg $(printf '%q ' "${encode_args[@]}")"
    [ -n "$perf_file" ] && profile=(perf record -q -e cpu-clock -g -o "$perf_file.x264" --)
    # ffmpeg reads each raw picture into a freshly allocated buffer; glibc's adaptive thresholds
    # hand some runs fresh pages for every one, and their faults (600 000 in 300 4K pictures)
    # cost more than the encoding itself on a virtual machine. Fixed thresholds keep the
    # buffers in the heap, so the floor is the encoder's own cost, the same in every run.
    if ! GLIBC_TUNABLES=glibc.malloc.mmap_threshold=268435456:glibc.malloc.trim_threshold=1073741824 \
        /usr/bin/time -f "%U %S %M" -o "$work/x264.time" \
        "${profile[@]}" ffmpeg "${encode_args[@]}" </dev/null >/dev/null 2>"$work/x264.err"; then
        echo "run_app_bench.sh: the ffmpeg encoding failed" >&2
        tail -n 5 "$work/x264.err" >&2
        exit 1
    fi
    read -r floor_cpu floor_rss < <(process_cost "$work/x264.time")
    read -r _ _ floor_frames < <(probe "$floor_file")
    rm -f "$raw"
    [ -n "${BENCH_KEEP:-}" ] && mkdir -p "$BENCH_KEEP" && cp "$output" "$BENCH_KEEP/run$run.mp4"
    echo "  x264 alone: $floor_frames frames, cpu $floor_cpu s, peak RSS $floor_rss MB"
    [ "$run" = 1 ] && { "$bench" compare "$output" "$floor_file" | sed 's/^/  /' || true; }
    # The app beside its own encoder in the same seconds: the encoding thread (x264's threads
    # take its name) against all of them. Unlike the floor, this does not move with the machine's
    # speed between the recording and the floor's run.
    local beyond
    beyond=$(thread_shares "$threads_after" "$threads_before" |
        awk -F= '{ all += $2 } /^mux_thread_win=/ { mux = $2 }
            END { printf "%.2f", (mux > 0 ? all / mux : 0) }')
    awk -v a="$cpu_before" -v b="$cpu_after" -v s="$recorded" -v f="$floor_cpu" \
        -v n="$floor_frames" -v r="$fps" -v rep="$((repeated_all - lead_in))" \
        -v drop="${dropped:-0}" -v rss="$rss" -v beyond="$beyond" 'BEGIN {
            app = (b - a) / s; floor = f / (n / r)
            printf "%.3f %.3f %.2f %d %d %d %s\n", app, floor, (floor > 0 ? app / floor : 0), rep,
                drop, rss, beyond
        }' | tee -a "$work/results" | sed 's/^/  figures: /'
}

for run in $(seq "$runs"); do
    one_run "$run"
done
echo "load at end:$(uptime | sed 's/.*load average//')"

# Each figure's min/median/max over the runs, then the summary line.
names=(app_cpu_per_s floor_cpu_per_s overhead repeated dropped peak_rss_mb beyond_encoder)
summary=()
for column in 1 2 3 4 5 6 7; do
    read -r low mid high < <(cut -d' ' -f"$column" "$work/results" | sort -g |
        awk '{ v[NR] = $1 } END { print v[1], v[int((NR + 1) / 2)], v[NR] }')
    echo "spread ${names[column - 1]}: min $low median $mid max $high"
    if ((column <= 3 || column == 7)); then summary+=("${names[column - 1]}=$mid"); else summary+=("${names[column - 1]}=$high"); fi
done
echo "${summary[*]}"
