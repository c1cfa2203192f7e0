#!/usr/bin/env bash
# Soak benchmark: Torvane, as a user runs it (main window, System Audio), records a private display
# for MINUTES while bench/flash_beep flashes a white square and plays a beep with it about once a
# second, both on the monotonic clock, the beep placed where the sound server's measured latency
# says it will be heard. The file is then decoded: the frame where the square turns white and the
# sample where the beep starts are paired, and the sound's offset from the picture near the start
# is set against the one near the end. A recorder whose sound clock runs apart from its picture
# clock, or that loses or invents sound on the way, shows as a change between the two.
#
# Usage: bench/run_soak.sh [MINUTES] [build-dir]     (default 30 minutes, build-dir "build")
#        bench/run_soak.sh --measure FILE             (the figures of an earlier recording of it)
#   SOAK_FPS       frame rate of the recording (default 30)
#   SOAK_LATENCY   latency in ms the beep player asks the sound server for (default 100)
#   SOAK_PIECE     frames per piece of sound the beep player writes (default: 10 ms' worth).
#                  The null sink's clock gains the fraction of a microsecond each piece has
#                  beyond whole ones, so 220 at the sink's 44100 Hz makes the sound run about
#                  170 ppm fast against the system clock, as a sound card's own crystal may: a
#                  test of whether the recorder keeps its sound with its picture on such a device
#   SOAK_MOVING    1: moving boxes (bench/frame_generator) behind the square, so the encoder
#                  works all the time, not only once a second
# Last line:
#   video_s=<n> audio_s=<n> av_offset_start_ms=<n> av_offset_end_ms=<n>
# av_offset is when the beep starts in the file minus when the flash does (positive: the sound
# is late), the median over the first and the last ten pairs. The aim: the two durations within
# 100 ms of each other, and the offset at the end within one frame of the offset at the start.
set -euo pipefail

measure_only=
if [ "${1:-}" = --measure ]; then
    measure_only=$(realpath "${2:?run_soak.sh: --measure needs a file}")
    set -- 1
fi
minutes=${1:-30}
build_dir=$(realpath "${2:-build}")
fps=${SOAK_FPS:-30}
latency=${SOAK_LATENCY:-100}
width=1280
height=720
# The square: in the strip left of Torvane's window, which opens in the middle of the screen.
box_x=25
box_y=280
box_size=160
torvane="$build_dir/torvane"
source_bin="$build_dir/bench/flash_beep"
generator="$build_dir/bench/frame_generator"
title_pattern='^QZT v'

piece=${SOAK_PIECE:-}
for value in "$minutes" "$fps" "$latency" ${piece:+"$piece"}; do
    if ! [[ "$value" =~ ^[1-9][0-9]*$ ]]; then
        echo "run_soak.sh: MINUTES, SOAK_FPS, SOAK_LATENCY and SOAK_PIECE are whole numbers" >&2
        exit 1
    fi
done
for tool in "$torvane" "$source_bin"; do
    [ -n "$measure_only" ] && break
    if [ ! -x "$tool" ]; then
        echo "run_soak.sh: $tool not found; build first (make build)" >&2
        exit 1
    fi
done
for tool in Xvfb xdpyinfo xdotool pulseaudio pactl ffmpeg ffprobe; do
    if ! command -v "$tool" >/dev/null; then
        echo "run_soak.sh: $tool is missing (make deps installs it)" >&2
        exit 1
    fi
done

# Decodes a recording of the square and the beeps and prints the figures (the last line above).
measure() {
    local output=$1 file_w file_h crop filter audio_rate audio_start
    # Where the square is in the file: the same share of the picture as of the screen, a margin in.
    read -r file_w file_h < <(ffprobe -v error -select_streams v:0 \
        -show_entries stream=width,height -of csv=p=0:s=x "$output" | tr x ' ')
    crop=$(awk -v W="$width" -v H="$height" -v w="$file_w" -v h="$file_h" -v x="$box_x" \
        -v y="$box_y" -v s="$box_size" 'BEGIN {
            m = s / 4
            printf "%d:%d:%d:%d", (s - 2 * m) * w / W, (s - 2 * m) * h / H,
                (x + m) * w / W, (y + m) * h / H
        }')
    # Both passes keep the file's own time stamps, so the two lists share one time line.
    filter="crop=$crop,signalstats"
    filter+=",metadata=mode=print:key=lavfi.signalstats.YAVG:file=$work/video.txt"
    ffmpeg -hide_banner -nostdin -copyts -i "$output" -map 0:v:0 -vf "$filter" -f null - \
        2>"$work/video.err" || { tail -n 5 "$work/video.err" >&2; exit 1; }
    ffmpeg -hide_banner -nostdin -copyts -i "$output" -map 0:a:0 \
        -af "silencedetect=n=-30dB:d=0.3" -ac 1 -f s16le - 2>"$work/audio.err" |
        wc -c >"$work/audio.bytes" || { tail -n 5 "$work/audio.err" >&2; exit 1; }
    audio_rate=$(ffprobe -v error -select_streams a:0 -show_entries stream=sample_rate -of csv=p=0 \
        "$output")
    audio_start=$(ffprobe -v error -select_streams a:0 -show_entries stream=start_time -of csv=p=0 \
        "$output")

    # Flash onsets: frames where the square turns bright. Beep onsets: the ends of the silences.
    awk '/pts_time:/ { split($3, p, ":"); t = p[2] }
         /YAVG=/ { split($0, v, "="); bright = (v[2] > 128)
                   if (n == 0) first = t
                   if (n > 0) { step = t - last }
                   if (bright && !was) print "v", t
                   was = bright; last = t; n++ }
         END { print "video_span", first, last, step }' "$work/video.txt" >"$work/onsets.txt"
    awk '/silence_end:/ { for (i = 1; i <= NF; i++) if ($i == "silence_end:") print "a", $(i + 1) }
        ' "$work/audio.err" >>"$work/onsets.txt"

    awk -v bytes="$(cat "$work/audio.bytes")" -v rate="$audio_rate" -v astart="$audio_start" '
        function median(arr, n,    i, j, t) {
            for (i = 2; i <= n; i++) for (j = i; j > 1 && arr[j - 1] > arr[j]; j--) {
                t = arr[j]; arr[j] = arr[j - 1]; arr[j - 1] = t }
            return n % 2 ? arr[(n + 1) / 2] : (arr[n / 2] + arr[n / 2 + 1]) / 2
        }
        $1 == "v" { v[++nv] = $2 }
        $1 == "a" { a[++na] = $2 }
        $1 == "video_span" { first = $2; last = $3; step = $4 }
        END {
            # Each flash with the beep nearest to where the last pair says it should be, if that
            # is closer than a quarter of the period: a drifting offset is followed however far
            # it goes, and a flash whose beep is missing pairs with none.
            j = 1; lag = 0
            for (i = 1; i <= nv; i++) {
                want = v[i] + lag
                while (j > 1 && (a[j - 1] - want) ^ 2 <= (a[j] - want) ^ 2) j--
                while (j < na && (a[j + 1] - want) ^ 2 <= (a[j] - want) ^ 2) j++
                if (na && (a[j] - want) ^ 2 < 0.25 ^ 2) {
                    lag = a[j] - v[i]; off[++np] = lag * 1000
                }
            }
            k = (np < 10 ? np : 10)
            for (i = 1; i <= k; i++) { s[i] = off[i]; e[i] = off[np - k + i] }
            video_s = last - first + step
            audio_s = bytes / 2 / rate
            printf "  flashes=%d beeps=%d pairs=%d video_from_s=%.3f audio_from_s=%.3f\n",
                nv, na, np, first, astart
            if (np == 0) { print "run_soak.sh: no flash and beep paired" > "/dev/stderr"; exit 1 }
            printf "video_s=%.3f audio_s=%.3f av_offset_start_ms=%.1f av_offset_end_ms=%.1f\n",
                video_s, audio_s, median(s, k), median(e, k)
        }' "$work/onsets.txt"
}

work=$(mktemp -d -t torvane-soak.XXXXXX)
source "$(dirname "$0")/bench_common.sh"
trap bench_cleanup EXIT
if [ -n "$measure_only" ]; then
    measure "$measure_only"
    exit
fi
bench_private_session
settings_file="$XDG_CONFIG_HOME/torvane/settings.ini"
recordings="$HOME/Videos/QZT"

bench_start_display "$width" "$height"
bench_start_pulse
pulse_pid=${bench_pids[-1]}
if [ "${SOAK_MOVING:-0}" = 1 ]; then
    [ -x "$generator" ] || { echo "run_soak.sh: $generator not found" >&2; exit 1; }
    bench_start_generator "$generator"
fi
# The beep at the sink's own rate: a resampler on the way would add a delay of its own.
rate=$(pactl list short sinks | awk '$2 == "rec" { for (i = 3; i <= NF; i++) if ($i ~ /^[0-9]+Hz$/)
    print $i + 0 }')
rate=${rate:-44100}
piece=${piece:-$((rate / 100))}
# The rig ahead of everything else where that is allowed (the display, the sound server and the
# source; not Torvane): on a busy machine a late wake-up would starve the beep's stream or show a
# flash late, and the figures would show the rig.
priority=()
if chrt -f 10 true 2>/dev/null; then
    priority=(chrt -f 10)
    chrt -a -f -p 10 "$xvfb_pid" >/dev/null
    chrt -a -f -p 10 "$pulse_pid" >/dev/null
fi
"${priority[@]}" "$source_bin" "$box_x" "$box_y" "$box_size" "$rate" "$latency" "$piece" \
    >"$work/source.log" 2>&1 &
source_pid=$!
bench_pids+=("$source_pid")
for _ in $(seq 100); do
    grep -q '^ready' "$work/source.log" && break
    sleep 0.1
done
if ! grep -q '^ready' "$work/source.log"; then
    echo "run_soak.sh: flash_beep did not start" >&2
    cat "$work/source.log" >&2
    exit 1
fi

# The first start writes the first-run defaults; the second records at the benchmark's rate.
bench_start_torvane
for _ in $(seq 50); do [ -s "$settings_file" ] && break; sleep 0.1; done
bench_stop_torvane
bench_set_setting VideoSett fps "$fps"
# A port of its own for the tab capture server: one taken by another Torvane (a test run on the
# same machine) shows a message box, and the shortcut would not reach the main window.
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
bench_set_setting TabCaptureSett WebSocketPort "$port"
rm -rf "$XDG_CONFIG_HOME/torvane/Log"
bench_start_torvane
run_log=$(ls "$XDG_CONFIG_HOME"/torvane/Log/qzt_*.log)
sleep 2

echo "Soak: $minutes min of ${width}x${height} at $fps fps with System Audio ($rate Hz sink," \
    "player latency $latency ms, pieces of $piece frames${priority:+, real-time}) on $DISPLAY," \
    "$(nproc) cores," \
    "load$(uptime | sed 's/.*load average//')"
bench_press_shortcut
bench_wait_for_log 'Saving\.\.\.' 10
sleep $((minutes * 60))
bench_press_shortcut
bench_wait_for_log 'Capture pacing:' 600
sleep 1
kill "$source_pid" 2>/dev/null || true
wait "$source_pid" 2>/dev/null || true
output=$(ls -t "$recordings"/*.mp4 2>/dev/null | head -n1)
if [ -z "$output" ]; then
    echo "run_soak.sh: Torvane wrote no file" >&2
    tail -n 20 "$run_log" >&2
    exit 1
fi
echo "  source: $(grep '^flash_beep' "$work/source.log" || echo 'no summary')"
echo "  load at end$(uptime | sed 's/.*load average//')"
grep -E 'Capture pacing:|dropped recorded sound|Sound capture|\[CRITICAL\]' "$run_log" |
    head -n 10 | sed 's/^/  log: /' || true
measure "$output"
