# Sourced by the capture and app benchmarks: a private X display with moving content, a private
# sound server, and the ways both measure a process. Everything started here is stopped by
# bench_cleanup (the sourcing script traps EXIT to it). Needs $work, a throw-away folder.

bench_pids=()
xvfb_pid=
generator_pid=
clock_ticks=$(getconf CLK_TCK)

bench_cleanup() {
    local i
    # Last started first: the X server and sound server outlive their clients.
    for ((i = ${#bench_pids[@]} - 1; i >= 0; i--)); do
        kill "${bench_pids[i]}" 2>/dev/null || true
    done
    wait 2>/dev/null || true
    rm -rf "$work"
}

# Starts a <width>x<height>x24 Xvfb on a free display number of its own and exports DISPLAY.
bench_start_display() {
    # The server picks a free display number itself and writes it to fd 3.
    Xvfb -displayfd 3 -screen 0 "$1x$2x24" -nolisten tcp \
        3>"$work/display" >"$work/xvfb.log" 2>&1 &
    xvfb_pid=$!
    bench_pids+=("$xvfb_pid")
    for _ in $(seq 100); do
        [ -s "$work/display" ] && break
        sleep 0.1
    done
    if [ ! -s "$work/display" ]; then
        echo "$(basename "$0"): Xvfb did not start" >&2
        cat "$work/xvfb.log" >&2
        exit 1
    fi
    export DISPLAY=":$(head -n1 "$work/display")"
    xdpyinfo >/dev/null
}

# Starts bench/frame_generator (path given) on DISPLAY and waits for its first picture.
bench_start_generator() {
    "$1" >"$work/generator.log" 2>&1 &
    generator_pid=$!
    bench_pids+=("$generator_pid")
    for _ in $(seq 100); do
        grep -q '^ready' "$work/generator.log" && break
        sleep 0.1
    done
    if ! grep -q '^ready' "$work/generator.log"; then
        echo "$(basename "$0"): the frame generator did not start" >&2
        cat "$work/generator.log" >&2
        exit 1
    fi
}

# Ends the generator and prints its whole-run timing line.
bench_stop_generator() {
    kill "$generator_pid" 2>/dev/null || true
    wait "$generator_pid" 2>/dev/null || true
    grep '^generator whole-run' "$work/generator.log" || true
}

# A private PulseAudio daemon with a null sink "rec" as the default output, whose monitor is
# what "System Audio" records. Needs XDG_RUNTIME_DIR set (private_home).
bench_start_pulse() {
    pulseaudio -n --daemonize=no --exit-idle-time=-1 --log-target=file:"$work/pulse.log" \
        --load=module-native-protocol-unix \
        --load="module-null-sink sink_name=rec" \
        --load=module-always-sink >/dev/null 2>&1 &
    bench_pids+=($!)
    for _ in $(seq 100); do
        pactl info >/dev/null 2>&1 && break
        sleep 0.1
    done
    if ! pactl info >/dev/null 2>&1; then
        echo "$(basename "$0"): PulseAudio did not start" >&2
        cat "$work/pulse.log" >&2
        exit 1
    fi
    pactl set-default-sink rec
}

# CPU seconds (user + system, every thread, ended ones included) a process has used so far.
bench_cpu_seconds() {
    awk -v hz="$clock_ticks" '{ sub(/^.*\) /, ""); printf "%.2f", ($12 + $13) / hz }' \
        "/proc/$1/stat"
}

# CPU seconds the X server has used so far: it does the pixel copies for every grabber, ours
# and ffmpeg's alike, so its share is shown beside the figures, not in them.
xvfb_cpu() {
    bench_cpu_seconds "$xvfb_pid"
}

# Has the generator start a new stretch of tick statistics and prints those of the one that ended:
# "ticks=... longest_gap_ms=... gaps_over_16.7ms=...". A gap longer than a frame slot would leave
# a recorder nothing new to capture, so a case shows whether its content really kept moving.
generator_stretch() {
    local before
    before=$(grep -c '^generator since-last' "$work/generator.log" || true)
    kill -USR1 "$generator_pid"
    for _ in $(seq 100); do
        [ "$(grep -c '^generator since-last' "$work/generator.log" || true)" -gt "$before" ] && break
        sleep 0.02
    done
    grep '^generator since-last' "$work/generator.log" | tail -n1 |
        sed 's/^generator since-last //; s/ seconds=[^ ]*//; s/ ticks_per_s=[^ ]*//'
}

# "<user+system seconds> <peak RSS in MB>" from a /usr/bin/time -f "%U %S %M" file.
process_cost() {
    awk '{ printf "%.2f %.0f\n", $1 + $2, $3 / 1024 }' "$1"
}

# "<width>x<height> <average frame rate> <frames>" of the video stream of a file.
probe() {
    ffprobe -v error -select_streams v:0 -count_packets \
        -show_entries stream=width,height,avg_frame_rate,nb_read_packets -of csv=p=0 "$1" |
        awk -F, '{ split($3, r, "/"); printf "%sx%s %.2f %s\n", $1, $2, r[1] / (r[2] ? r[2] : 1), $4 }'
}

# Starts Torvane ($torvane, from $work) and waits for its window ($title_pattern): sets
# torvane_pid and window.
bench_start_torvane() {
    (cd "$work" && exec "$torvane") >>"$work/torvane.out" 2>&1 &
    torvane_pid=$!
    bench_pids+=("$torvane_pid")
    if ! window=$(timeout 30 xdotool search --sync --onlyvisible --name "$title_pattern" |
        head -n1) || [ -z "$window" ]; then
        echo "$(basename "$0"): Torvane's window did not appear" >&2
        cat "$work/torvane.out" >&2
        exit 1
    fi
}
bench_stop_torvane() {
    kill "$torvane_pid" 2>/dev/null || true
    wait "$torvane_pid" 2>/dev/null || true
}
# Waits up to $2 seconds for a line matching $1 in the run log.
bench_wait_for_log() {
    local i
    for ((i = 0; i < $2 * 10; i++)); do
        grep -q "$1" "$run_log" 2>/dev/null && return 0
        sleep 0.1
    done
    echo "$(basename "$0"): no \"$1\" in the run log" >&2
    tail -n 20 "$run_log" >&2
    return 1
}
# No window manager: a managed window would be stacked beneath the generator's override-redirect
# one, while Torvane's own, mapped after it, shows on top, its preview in the recording as a
# user sees it. The keyboard focus is given directly.
bench_press_shortcut() {
    xdotool windowfocus --sync "$window"
    xdotool key --clearmodifiers ctrl+shift+r
}

# A throw-away home, runtime and temporary folder (so the first-run defaults apply, the user's
# settings stay untouched and a Torvane the user runs does not hold the one-instance lock), on
# X11. Needs $work.
bench_private_session() {
    source "$(dirname "${BASH_SOURCE[0]}")/../tests/private_home.sh"
    private_home "$work"
    export TMPDIR="$work/tmp"
    mkdir -p "$TMPDIR"
    unset WAYLAND_DISPLAY
    export QT_QPA_PLATFORM=xcb
}

# Sets key=value in [group] of $settings_file, adding either when missing.
bench_set_setting() {
    local group=$1 key=$2 value=$3
    grep -q "^\[$group\]\$" "$settings_file" || printf '\n[%s]\n' "$group" >>"$settings_file"
    if sed -n "/^\[$group\]\$/,/^\[/p" "$settings_file" | grep -q "^$key="; then
        sed -i "/^\[$group\]\$/,/^\[/ s|^$key=.*|$key=$value|" "$settings_file"
    else
        sed -i "/^\[$group\]\$/a $key=$value" "$settings_file"
    fi
}
