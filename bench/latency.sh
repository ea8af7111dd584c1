#!/bin/bash
# From key to screen: runs bench_latency (its comment says how it measures)
# against the game just built, in a window on a private Xvfb.
#   bench/latency.sh [build dir, default ./build] [presses per case, default 150] [other game...]
# Other games (an executable built from another revision, say) are measured
# in the same run, after this one.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
presses=${2:-150}
shift $(($# < 2 ? $# : 2))
. "$root/tools/xvfb.sh"
bench_on_xvfb latency.sh "$build/bench/bench_latency"
echo "Plu Vesk from key to screen, $(git -C "$root" describe --always --dirty 2>/dev/null || echo '(no git)'), load $(cut -d' ' -f1-3 /proc/loadavg)"
"$build/bench/bench_latency" "$presses" "$build/plu-vesk" "$@"
