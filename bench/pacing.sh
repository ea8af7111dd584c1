#!/bin/bash
# Runs the pacing benchmark in a real window on a private Xvfb display.
#   bench/pacing.sh [build dir, default ./build] [frames per margin, default 600]
# PACING_WRAP runs the benchmark under a wrapper, e.g. PACING_WRAP="chrt -f 10"
# to keep a busy shared machine from pre-empting it.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
frames=${2:-600}
exe=$build/bench/bench_pacing
. "$root/tools/xvfb.sh"
bench_on_xvfb pacing.sh "$exe"
${PACING_WRAP:-} "$exe" "$frames"
