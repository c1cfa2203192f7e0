#!/usr/bin/env bash
# What crash safety costs a long MP4 recording: the same recording (default one hour of media at
# 6000 kbit/s, 320x240 noise at 30 fps with AAC sound, fed as fast as the encoder takes it) with
# crash safety (the journal and a sync to the disk every media second) off and on; each line
# gives the stop time (encoder flush and trailer) and the throughput.
# Takes about five minutes for an hour on two busy cores; not part of `make bench`.
# Usage: bench/run_stop_bench.sh [build-dir] [media-seconds]
set -euo pipefail

build_dir=${1:-build}
seconds=${2:-3600}
bench="$build_dir/bench/stop_bench"
if [ ! -x "$bench" ]; then
    echo "run_stop_bench.sh: $bench not found; build first (make build)" >&2
    exit 1
fi

work=$(mktemp -d -t torvane-stop-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
source "$(dirname "$0")/../tests/private_home.sh"
private_home "$work"
mkdir -p "$work/out"
export QT_QPA_PLATFORM=offscreen

for journal in off on; do
    "$bench" "$seconds" "$work/out" "$journal" 2>/dev/null | grep '^crash_safety='
done
