#!/usr/bin/env bash
# Capture benchmark: records moving content on a private 1920x1080 Xvfb display through the
# recording session with each grabber at 30 and 60 fps, and the same content with the ffmpeg
# command line (x11grab to libx264 with Torvane's default encoder settings) right after each.
# Both sides are measured the same way, from outside: CPU seconds (user + system) and peak
# resident memory of the whole process, by /usr/bin/time.
#
# Usage: bench/run_capture_bench.sh [build-dir]
#   BENCH_SECONDS  length of every recording (default 20)
#   BENCH_CASES    the cases to run (default "wgc@30 wgc@60 dxgi@30 dxgi@60 gdi@30 gdi@60")
# Prints one summary line per case last:
#   case=<grabber>@<fps> written=<n> repeated=<n> cpu_per_s=<ours> ffmpeg_cpu_per_s=<theirs>
#   ratio=<ours/theirs> peak_rss_mb=<n>
set -euo pipefail

build_dir=$(realpath "${1:-build}")
seconds=${BENCH_SECONDS:-20}
cases=${BENCH_CASES:-"wgc@30 wgc@60 dxgi@30 dxgi@60 gdi@30 gdi@60"}
width=1920
height=1080
bench="$build_dir/bench/capture_bench"
generator="$build_dir/bench/frame_generator"

for tool in "$bench" "$generator"; do
    if [ ! -x "$tool" ]; then
        echo "run_capture_bench.sh: $tool not found; build first (make build)" >&2
        exit 1
    fi
done
for tool in /usr/bin/time Xvfb xdpyinfo ffmpeg ffprobe; do
    if ! command -v "$tool" >/dev/null; then
        echo "run_capture_bench.sh: $tool is missing (make deps installs it)" >&2
        exit 1
    fi
done
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
    echo "run_capture_bench.sh: BENCH_SECONDS must be a whole number of seconds" >&2
    exit 1
fi

work=$(mktemp -d -t torvane-capture-bench.XXXXXX)
source "$(dirname "$0")/bench_common.sh"
trap bench_cleanup EXIT

# A throw-away home, so the first-run defaults apply and the user's settings stay untouched.
source "$(dirname "$0")/../tests/private_home.sh"
private_home "$work"
mkdir -p "$work/out"
export QT_QPA_PLATFORM=offscreen

bench_start_display "$width" "$height"
bench_start_generator "$generator"

echo "Capture benchmark: ${width}x${height} on $DISPLAY, $seconds s per recording," \
    "$(nproc) cores"
echo "load at start:$(uptime | sed 's/.*load average//')"
summaries=()
failed=0
for case in $cases; do
    grabber=${case%@*}
    fps=${case#*@}
    ours="$work/out/ours-$grabber-$fps.mp4"
    theirs="$work/out/ffmpeg-$grabber-$fps.mp4"
    echo "== $case"

    generator_stretch >/dev/null
    xvfb_before=$(xvfb_cpu)
    if ! /usr/bin/time -f "%U %S %M" -o "$work/ours.time" \
        "$bench" record "$grabber" "$fps" "$seconds" "$ours" >"$work/ours.out" 2>"$work/ours.err"; then
        echo "  Torvane: the recording failed" >&2
        sed 's/^/  /' "$work/ours.err" >&2
        failed=1
        continue
    fi
    generator_ours=$(generator_stretch)
    xvfb_ours=$(awk -v a="$xvfb_before" -v b="$(xvfb_cpu)" -v s="$seconds" \
        'BEGIN { printf "%.3f", (b - a) / s }')
    read -r ours_cpu ours_rss < <(process_cost "$work/ours.time")
    ours_line=$(grep '^ours ' "$work/ours.out")
    repeated=$(sed -n 's/.* repeated=\([0-9]*\).*/\1/p' <<<"$ours_line")
    lead_in=$(sed -n 's/.* lead_in=\([0-9]*\).*/\1/p' <<<"$ours_line")
    read -r ours_size ours_rate ours_frames < <(probe "$ours")
    echo "  Torvane: $ours_size $ours_rate fps, $ours_frames frames in the file," \
        "pacer: ${ours_line#ours }, cpu $ours_cpu s, peak RSS $ours_rss MB," \
        "Xvfb cpu_per_s $xvfb_ours"
    echo "  content during it: $generator_ours"

    mapfile -t ffmpeg_args < <("$bench" ffmpeg-args "$fps" "$seconds" "${width}x${height}" "$theirs")
    [ "$case" = "${cases%% *}" ] && echo "  ffmpeg command: ffmpeg ${ffmpeg_args[*]}"
    generator_stretch >/dev/null
    xvfb_before=$(xvfb_cpu)
    if ! /usr/bin/time -f "%U %S %M" -o "$work/ffmpeg.time" \
        ffmpeg "${ffmpeg_args[@]}" </dev/null >/dev/null 2>"$work/ffmpeg.err"; then
        echo "  ffmpeg failed:" >&2
        tail -n 5 "$work/ffmpeg.err" >&2
        failed=1
        continue
    fi
    generator_theirs=$(generator_stretch)
    xvfb_theirs=$(awk -v a="$xvfb_before" -v b="$(xvfb_cpu)" -v s="$seconds" \
        'BEGIN { printf "%.3f", (b - a) / s }')
    read -r theirs_cpu theirs_rss < <(process_cost "$work/ffmpeg.time")
    read -r theirs_size theirs_rate theirs_frames < <(probe "$theirs")
    # ffmpeg's own count of frames it duplicated or dropped to hold the rate; its progress line
    # names them only when there were any.
    ffmpeg_stats=$(tr '\r' '\n' <"$work/ffmpeg.err" | grep 'frame=' | tail -n1 |
        awk '{ d = 0; p = 0
               for (i = 1; i <= NF; i++) {
                   if ($i ~ /^dup=/) d = substr($i, 5)
                   if ($i ~ /^drop=/) p = substr($i, 6)
               }
               printf "dup=%d drop=%d", d, p }' || true)
    echo "  ffmpeg:  $theirs_size $theirs_rate fps, $theirs_frames frames in the file," \
        "${ffmpeg_stats:-dup=? drop=?}, cpu $theirs_cpu s, peak RSS $theirs_rss MB," \
        "Xvfb cpu_per_s $xvfb_theirs"
    echo "  content during it: $generator_theirs"
    if [ "$theirs_size" != "${width}x${height}" ] || [ "$theirs_rate" != "$fps.00" ]; then
        echo "  WARNING: ffmpeg did not record ${width}x${height} at $fps fps" >&2
    fi
    "$bench" compare "$ours" "$theirs" | sed 's/^/  /' || true

    summaries+=("$(awk -v c="$case" -v w="$ours_frames" -v r="$repeated" -v l="$lead_in" \
        -v o="$ours_cpu" -v t="$theirs_cpu" -v s="$seconds" -v m="$ours_rss" 'BEGIN {
            ours = o / s; theirs = t / s
            printf "case=%s written=%d repeated=%d cpu_per_s=%.3f ffmpeg_cpu_per_s=%.3f ratio=%.2f peak_rss_mb=%d",
                c, w, r - l, ours, theirs, (theirs > 0 ? ours / theirs : 0), m
        }')")
    rm -f "$ours" "$theirs"
done

bench_stop_generator
echo "load at end:$(uptime | sed 's/.*load average//')"
echo "repeated = slots filled with a repeated image after the first one (capture or encoding"
echo "behind); cpu_per_s = CPU seconds of the whole process per second recorded"
for line in "${summaries[@]}"; do
    echo "$line"
done
exit "$failed"
