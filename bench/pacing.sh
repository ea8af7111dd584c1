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
if [ ! -x "$exe" ]; then
  echo "pacing.sh: $exe not built (cmake --build $build --target bench_pacing)" >&2
  exit 1
fi

tmp=$(mktemp -d)
xvfb=
trap '[ -z "$xvfb" ] || { kill $xvfb 2>/dev/null; wait $xvfb 2>/dev/null; }; rm -rf "$tmp"' EXIT
. "$root/tools/xvfb.sh"
start_xvfb || { echo "pacing.sh: Xvfb did not start" >&2; exit 1; }
${PACING_WRAP:-} "$exe" "$frames"
