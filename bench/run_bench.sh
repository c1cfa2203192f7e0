#!/usr/bin/env bash
# Runs the encoding benchmark: Torvane's mux thread against the ffmpeg command line on the same
# frames. Usage: bench/run_bench.sh [build-dir] [frames]
set -euo pipefail

build_dir=${1:-build}
frames=${2:-${BENCH_FRAMES:-1200}}
bench="$build_dir/bench/mux_bench"
if [ ! -x "$bench" ]; then
    echo "run_bench.sh: $bench not found; build first (make build)" >&2
    exit 1
fi

# A throw-away home, so the first-run defaults apply and the user's settings stay untouched.
work=$(mktemp -d -t torvane-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
source "$(dirname "$0")/../tests/private_home.sh"
private_home "$work"
mkdir -p "$work/out"
export QT_QPA_PLATFORM=offscreen

"$bench" "$frames" "$work/out"
