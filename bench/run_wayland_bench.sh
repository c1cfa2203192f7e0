#!/usr/bin/env bash
# Wayland capture benchmark: records moving content on the virtual monitor of a private headless
# GNOME session (mutter, its ScreenCast portal, PipeWire) through the recording session, at each
# size and frame rate, and reads the same monitor's stream with GStreamer's pipewiresrc into the
# ffmpeg command line with Torvane's encoder settings right after. The X11 shared-memory case
# (bench/run_capture_bench.sh's "dxgi") records the same moving content at the same size on a
# private Xvfb for comparison.
# Every side is measured from outside: CPU seconds (user + system) of the whole process by
# /usr/bin/time; the compositor's share (mutter, or Xvfb for X11) is shown beside the figures.
#
# Usage: bench/run_wayland_bench.sh [build-dir]   (about four and a half minutes with the defaults)
#   BENCH_SECONDS  length of every recording (default 20)
#   BENCH_SIZES    virtual monitor sizes (default "1280x720 1920x1080")
#   BENCH_FPS      frame rates (default "30 60")
# Prints one summary line per case last:
#   case=<size>@<fps> written=<n> repeated=<n> cpu_per_s=<ours> stream_thread_cpu_per_s=<n>
#   ref_repeated=<n> ref_cpu_per_s=<gst + ffmpeg> x11shm_repeated=<n> x11shm_cpu_per_s=<ours, X11>
#   ratio_ref=<ours/ref> ratio_x11=<ours/x11>
set -euo pipefail

if [ "${1:-}" = --inside ]; then
    # Inside the private session bus: one monitor size, every frame rate.
    shift
    build_dir=$1 size=$2 seconds=$3 fps_list=$4 work=$5
    helper="$build_dir/bench/wayland_bench"
    bench="$build_dir/bench/capture_bench"
    source "$(dirname "$0")/bench_common.sh"
    pids=()
    trap 'for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null; done; wait' EXIT
    fail() { echo "run_wayland_bench.sh: $1" >&2; tail -n 15 "$work"/*.log >&2; exit 1; }
    wait_for() { # <tries of 0.1 s> <command...>
        local tries=$1
        shift
        for _ in $(seq "$tries"); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
        return 1
    }
    export XDG_SESSION_TYPE=wayland XDG_CURRENT_DESKTOP=GNOME WAYLAND_DISPLAY=torvane-bench-$$
    unset DISPLAY
    pipewire >"$work/pipewire.log" 2>&1 &
    pids+=($!)
    wait_for 100 test -S "$XDG_RUNTIME_DIR/pipewire-0" || fail "PipeWire did not start"
    wireplumber >"$work/wireplumber.log" 2>&1 &
    pids+=($!)
    mutter --headless --wayland --no-x11 --virtual-monitor "$size" \
        --wayland-display="$WAYLAND_DISPLAY" >"$work/mutter.log" 2>&1 &
    mutter_pid=$!
    pids+=($mutter_pid)
    wait_for 200 gdbus introspect --session -d org.gnome.Mutter.ScreenCast \
        -o /org/gnome/Mutter/ScreenCast || fail "mutter did not start"
    dbus-update-activation-environment WAYLAND_DISPLAY XDG_CURRENT_DESKTOP XDG_RUNTIME_DIR \
        XDG_SESSION_TYPE
    wait_for 300 gdbus call --session -d org.freedesktop.portal.Desktop \
        -o /org/freedesktop/portal/desktop -m org.freedesktop.DBus.Properties.Get \
        org.freedesktop.portal.ScreenCast version || fail "the ScreenCast portal does not answer"
    "$helper" content >"$work/content.log" 2>&1 &
    pids+=($!)
    wait_for 100 grep -q '^ready' "$work/content.log" || fail "the moving content did not start"

    for fps in $fps_list; do
        ours="$work/out/ours-$size-$fps.mp4"
        theirs="$work/out/ref-$size-$fps.mp4"
        mutter_before=$(bench_cpu_seconds "$mutter_pid")
        if ! /usr/bin/time -f "%U %S %M" -o "$work/ours.time" \
            "$helper" record "$fps" "$seconds" "$ours" >"$work/ours.out" 2>"$work/ours.err"; then
            sed 's/^/  /' "$work/ours.err" >&2
            fail "the Torvane recording failed"
        fi
        mutter_ours=$(awk -v a="$mutter_before" -v b="$(bench_cpu_seconds "$mutter_pid")" \
            -v s="$seconds" 'BEGIN { printf "%.3f", (b - a) / s }')
        read -r ours_cpu ours_rss < <(process_cost "$work/ours.time")
        read -r ours_size ours_rate ours_frames < <(probe "$ours")
        echo "wayland $fps $(sed -n 's/^ours //p' "$work/ours.out") cpu=$ours_cpu" \
            "rss=$ours_rss mutter=$mutter_ours file=$ours_size@$ours_rate/$ours_frames"

        # The reference: mutter's stream of the same monitor, made constant-rate by videorate
        # (which repeats the last image in slots without a new one, as Torvane's pacing does),
        # raw into ffmpeg.
        "$helper" screencast >"$work/cast.log" 2>&1 &
        cast_pid=$!
        wait_for 100 grep -q '^node ' "$work/cast.log" || fail "mutter's screen cast did not start"
        node=$(sed -n 's/^node //p' "$work/cast.log" | head -n1)
        mapfile -t args < <("$bench" encode-args "$ours" "$fps" "$size" - "$theirs")
        # The input is the stream's own BGRx, not yuv420p: only the first -pix_fmt is the input's.
        for i in "${!args[@]}"; do
            if [ "${args[i]}" = yuv420p ]; then
                args[i]=bgr0
                break
            fi
        done
        mutter_before=$(bench_cpu_seconds "$mutter_pid")
        set +o pipefail
        # The frames go out on fd 3; stdout logs the count of repeated slots as it changes.
        /usr/bin/time -f "%U %S %M" -o "$work/gst.time" gst-launch-1.0 -v pipewiresrc \
            path="$node" ! video/x-raw,format=BGRx ! videorate silent=false \
            ! "video/x-raw,framerate=$fps/1" ! fdsink fd=3 3>&1 >"$work/gst.log" 2>&1 |
            /usr/bin/time -f "%U %S %M" -o "$work/ffmpeg.time" ffmpeg "${args[@]:0:$((${#args[@]} - 1))}" \
                -t "$seconds" "$theirs" >/dev/null 2>"$work/ffmpeg.err"
        set -o pipefail
        mutter_theirs=$(awk -v a="$mutter_before" -v b="$(bench_cpu_seconds "$mutter_pid")" \
            -v s="$seconds" 'BEGIN { printf "%.3f", (b - a) / s }')
        kill "$cast_pid" 2>/dev/null || true
        wait "$cast_pid" 2>/dev/null || true
        [ -s "$theirs" ] || { tail -n 5 "$work/gst.log" "$work/ffmpeg.err" >&2; fail "the reference failed"; }
        # gst-launch ends by the broken pipe when ffmpeg has its length: time's last line counts.
        read -r gst_cpu gst_rss < <(process_cost <(tail -n1 "$work/gst.time"))
        read -r ffmpeg_cpu ffmpeg_rss < <(process_cost "$work/ffmpeg.time")
        read -r ref_size ref_rate ref_frames < <(probe "$theirs")
        repeated=$(grep -o 'duplicate = [0-9]*' "$work/gst.log" | tail -n1 | grep -o '[0-9]*$' || true)
        echo "reference $fps repeated=${repeated:-0} gst_cpu=$gst_cpu ffmpeg_cpu=$ffmpeg_cpu" \
            "mutter=$mutter_theirs" \
            "file=$ref_size@$ref_rate/$ref_frames"
        "$bench" compare "$ours" "$theirs" | sed 's/^/  /' >&2 || true
        rm -f "$ours" "$theirs"
    done
    exit 0
fi

build_dir=$(realpath "${1:-build}")
seconds=${BENCH_SECONDS:-20}
sizes=${BENCH_SIZES:-"1280x720 1920x1080"}
fps_list=${BENCH_FPS:-"30 60"}
for tool in "$build_dir/bench/wayland_bench" "$build_dir/bench/capture_bench"; do
    if [ ! -x "$tool" ]; then
        echo "run_wayland_bench.sh: $tool not found; build first (make build)" >&2
        exit 1
    fi
done
for tool in /usr/bin/time dbus-run-session pipewire wireplumber mutter gdbus gst-launch-1.0 \
    /usr/libexec/xdg-desktop-portal Xvfb xdpyinfo ffmpeg ffprobe; do
    if ! command -v "$tool" >/dev/null; then
        echo "run_wayland_bench.sh: $tool is missing (make deps installs it)" >&2
        exit 1
    fi
done
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
    echo "run_wayland_bench.sh: BENCH_SECONDS must be a whole number of seconds" >&2
    exit 1
fi

work=$(mktemp -d -t torvane-wayland-bench.XXXXXX)
source "$(dirname "$0")/bench_common.sh"
source "$(dirname "$0")/../tests/private_home.sh"
private_home "$work"
# The document portal mounts a FUSE folder in the runtime folder, which outlives the session.
trap 'fusermount3 -u -z "$XDG_RUNTIME_DIR/doc" 2>/dev/null || true; bench_cleanup' EXIT
mkdir -p "$work/out"

echo "Wayland capture benchmark: $sizes at $fps_list fps, $seconds s per recording, $(nproc) cores"
echo "load at start:$(uptime | sed 's/.*load average//')"
summaries=()
for size in $sizes; do
    echo "== $size, Wayland"
    dbus-run-session -- bash "$0" --inside "$build_dir" "$size" "$seconds" "$fps_list" "$work" \
        >"$work/wayland.out"
    sed 's/^/  /' "$work/wayland.out"
    fusermount3 -u -z "$XDG_RUNTIME_DIR/doc" 2>/dev/null || true

    echo "== $size, X11 shared memory"
    (
        bench_pids=()
        unset WAYLAND_DISPLAY
        export QT_QPA_PLATFORM=offscreen
        rm -f "$work/display"
        bench_start_display "${size%x*}" "${size#*x}"
        # The same moving picture as on Wayland, drawn by the same program: the encoder's share
        # depends on the content, so only the same content makes the two figures comparable.
        QT_QPA_PLATFORM=xcb "$build_dir/bench/wayland_bench" content >"$work/content.log" 2>&1 &
        content_pid=$!
        for _ in $(seq 100); do
            grep -q '^ready' "$work/content.log" && break
            sleep 0.1
        done
        grep -q '^ready' "$work/content.log" || { echo "the X11 content did not start" >&2; exit 1; }
        for fps in $fps_list; do
            out="$work/out/x11-$size-$fps.mp4"
            xvfb_before=$(xvfb_cpu)
            /usr/bin/time -f "%U %S %M" -o "$work/x11.time" "$build_dir/bench/capture_bench" \
                record dxgi "$fps" "$seconds" "$out" >"$work/x11.out" 2>"$work/x11.err" ||
                { sed 's/^/  /' "$work/x11.err" >&2; exit 1; }
            xvfb_used=$(awk -v a="$xvfb_before" -v b="$(xvfb_cpu)" -v s="$seconds" \
                'BEGIN { printf "%.3f", (b - a) / s }')
            read -r cpu rss < <(process_cost "$work/x11.time")
            echo "x11 $fps $(sed -n 's/^ours //p' "$work/x11.out") cpu=$cpu rss=$rss" \
                "xvfb=$xvfb_used file=$(probe "$out" | tr ' ' '/')"
            rm -f "$out"
        done
        kill "$content_pid" "$xvfb_pid"
        wait
    ) >"$work/x11.out.all"
    sed 's/^/  /' "$work/x11.out.all"

    for fps in $fps_list; do
        field() { sed -n "s/^$1 $fps\\(.*\\) $2=\\([^ ]*\\).*/\\2/p" "$3" | head -n1; }
        summaries+=("$(awk -v c="$size@$fps" -v s="$seconds" \
            -v w="$(field wayland written "$work/wayland.out")" \
            -v r="$(field wayland repeated "$work/wayland.out")" \
            -v l="$(field wayland lead_in "$work/wayland.out")" \
            -v o="$(field wayland cpu "$work/wayland.out")" \
            -v t="$(field wayland stream_thread_cpu "$work/wayland.out")" \
            -v rr="$(field reference repeated "$work/wayland.out")" \
            -v g="$(field reference gst_cpu "$work/wayland.out")" \
            -v f="$(field reference ffmpeg_cpu "$work/wayland.out")" \
            -v x="$(field x11 cpu "$work/x11.out.all")" \
            -v xr="$(field x11 repeated "$work/x11.out.all")" \
            -v xl="$(field x11 lead_in "$work/x11.out.all")" 'BEGIN {
                ours = o / s; ref = (g + f) / s; x11 = x / s
                printf "case=%s written=%d repeated=%d cpu_per_s=%.3f stream_thread_cpu_per_s=%.3f", c, w, r - l, ours, t / s
                printf " ref_repeated=%d ref_cpu_per_s=%.3f x11shm_repeated=%d x11shm_cpu_per_s=%.3f", rr, ref, xr - xl, x11
                printf " ratio_ref=%.2f ratio_x11=%.2f", (ref > 0 ? ours / ref : 0), (x11 > 0 ? ours / x11 : 0)
            }')")
    done
done

echo "load at end:$(uptime | sed 's/.*load average//')"
echo "repeated = slots filled with a repeated image after the first one (the reference: videorate's"
echo "duplicates); cpu_per_s = CPU seconds of the whole process per second recorded (the reference:"
echo "gst-launch and ffmpeg together); stream_thread = the grabber's PipeWire thread, which takes"
echo "and returns the buffers (the copies are the capture thread's, within cpu_per_s)"
for line in "${summaries[@]}"; do
    echo "$line"
done
