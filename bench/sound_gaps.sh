#!/usr/bin/env bash
# Sound benchmark: Torvane, as a user runs it (first-run defaults, System Audio), records a private
# display for SOUND_SECONDS while a 1 kHz tone, started before the recording, plays into a private
# PulseAudio null sink. No stream of silence keeps the sink prompt: only the player and the
# recording's own stream ask it for a latency. ffmpeg's silencedetect (-50 dB, 20 ms) then finds
# where the tone starts in the file and every silence inside it.
#
# Usage: bench/sound_gaps.sh [build-dir]
#   SOUND_SECONDS  length of the recording (default 30)
#   SOUND_LATENCY  latency in ms the tone's player asks for (default 100); 0 asks for none, and
#                  the null sink then renders two seconds ahead, which a stream that joins later
#                  never hears
#   SOUND_MIX=1    records "System Audio + " a microphone instead: a second null sink whose
#                  monitor is remapped into an input device hears a 660 Hz tone, and a schedule
#                  starts and stops the recording (the Audio list is not driven by keys here);
#                  then mix_bench prints what mixing the two costs the sound thread
# Last line:
#   tone_from_s=<start of the first sound> gaps=<silences inside> longest_gap_s=<n> audio_s=<n>
set -euo pipefail

build_dir=$(realpath "${1:-build}")
seconds=${SOUND_SECONDS:-30}
torvane="$build_dir/torvane"
title_pattern='^QZT v'

if [ ! -x "$torvane" ]; then
    echo "sound_gaps.sh: $torvane not found; build first (make build)" >&2
    exit 1
fi
for tool in Xvfb xdpyinfo xdotool pulseaudio pactl paplay ffmpeg; do
    if ! command -v "$tool" >/dev/null; then
        echo "sound_gaps.sh: $tool is missing (make deps installs it)" >&2
        exit 1
    fi
done

work=$(mktemp -d -t torvane-sound-gaps.XXXXXX)
source "$(dirname "$0")/bench_common.sh"
trap bench_cleanup EXIT
bench_private_session
recordings="$HOME/Videos/QZT"

bench_start_display 1280 720
bench_start_pulse

tone="$work/tone.wav"
ffmpeg -hide_banner -nostdin -loglevel error -f lavfi \
    -i "sine=frequency=1000:sample_rate=48000:duration=$((seconds + 60))" \
    -ac 2 -af volume=0.5 "$tone"
# Left alone the null sink renders two seconds of silence ahead; the player is heard after those.
latency=()
[ "${SOUND_LATENCY:-100}" != 0 ] && latency=(--latency-msec="${SOUND_LATENCY:-100}")
paplay "${latency[@]}" -d rec "$tone" >/dev/null 2>&1 &
bench_pids+=($!)
mix=${SOUND_MIX:-0}
if [ "$mix" = 1 ]; then
    pactl load-module module-null-sink sink_name=benchmic >/dev/null
    pactl load-module module-remap-source master=benchmic.monitor \
        source_name=torvane_bench_mic >/dev/null
    ffmpeg -hide_banner -nostdin -loglevel error -f lavfi \
        -i "sine=frequency=660:sample_rate=48000:duration=$((seconds + 60))" \
        -ac 2 -af volume=0.5 "$work/mic.wav"
    paplay "${latency[@]}" -d benchmic "$work/mic.wav" >/dev/null 2>&1 &
    bench_pids+=($!)
    mkdir -p "$XDG_CONFIG_HOME/torvane"
    start=$(date -d '+12 seconds' +%Y-%m-%dT%H:%M:%S)
    end=$(date -d "+$((seconds + 12)) seconds" +%Y-%m-%dT%H:%M:%S)
    cat >"$XDG_CONFIG_HOME/torvane/schedule.json" <<JSON
{"schedules":[{"id":1,"name":"Mix","enabled":true,"repeatType":"one_time",
 "createdAt":"$(date +%Y-%m-%dT%H:%M:%S)","macroExecution":false,
 "recording":{"screen":{"enabled":true,"type":"fullscreen","screenIndex":0},
 "audio":{"enabled":true,"deviceId":"System Audio + torvane_bench_mic"}},
 "oneTime":{"start":"$start","end":"$end"}}]}
JSON
fi
sleep 3

bench_start_torvane
sleep 2
run_log=$(ls "$XDG_CONFIG_HOME"/torvane/Log/qzt_*.log)

what="System Audio"
[ "$mix" = 1 ] && what="System Audio + a microphone hearing 660 Hz"
echo "Sound gaps: $seconds s of $what with a 1 kHz tone playing from before the" \
    "start (player latency ${SOUND_LATENCY:-100} ms), $(nproc) cores," \
    "load$(uptime | sed 's/.*load average//')"
if [ "$mix" = 1 ]; then
    bench_wait_for_log 'Saving\.\.\.' 30
else
    bench_press_shortcut
    bench_wait_for_log 'Saving\.\.\.' 10
    sleep "$seconds"
    bench_press_shortcut
fi
bench_wait_for_log 'Capture pacing:' $((seconds + 300))
sleep 1
output=$(ls -t "$recordings"/*.mp4 | head -n1)
ffmpeg -hide_banner -nostdin -i "$output" -map 0:a -af silencedetect=n=-50dB:d=0.02 \
    -f null - 2>"$work/detect.log" || { tail -n 5 "$work/detect.log" >&2; exit 1; }
duration=$(ffprobe -v error -select_streams a:0 -show_entries stream=duration -of csv=p=0 \
    "$output")
grep -E 'Sound stream|dropped recorded sound|Sound capture' "$run_log" | sed 's/^/  log: /' || true
# A silence from 0 is the tone's late start; one running to the end is the last frame's
# padding; everything else is a gap.
awk -v total="$duration" '
    /silence_start:/ { start = $NF + 0 }
    /silence_end:/ {
        split($0, f, /silence_end: | \| silence_duration: /)
        end = f[2] + 0; length_s = f[3] + 0
        if (start <= 0.001) { from = end; next }
        if (end >= total - 0.05) next
        gaps++; if (length_s > longest) longest = length_s
    }
    END { printf "tone_from_s=%.3f gaps=%d longest_gap_s=%.3f audio_s=%.2f\n",
          from, gaps, longest, total }' "$work/detect.log"
if [ "$mix" = 1 ]; then
    streams=$(ffprobe -v error -select_streams a -show_entries stream=index -of csv=p=0 "$output" |
        wc -l)
    echo "sound tracks in the file: $streams (the mix of system sound and microphone)"
    "$build_dir/bench/mix_bench" 2>/dev/null | tail -n 2
fi
