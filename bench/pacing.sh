#!/bin/bash
# Runs the pacing benchmark in a real window on a private Xvfb display, then
# its music part with every write of a screenshot's temporary file slowed by
# 50 ms (the tests' pv_slow_io preload), as on a slow or network disk.
#   bench/pacing.sh [build dir, default ./build] [frames per margin, default 600]
# PACING_PARTS: "frames music" (the default), or either alone.
# PACING_WRAP runs the benchmark under a wrapper, e.g. PACING_WRAP="chrt -f 10"
# to keep a busy shared machine from pre-empting it.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
frames=${2:-600}
exe=$build/bench/bench_pacing
. "$root/tools/xvfb.sh"
bench_on_xvfb pacing.sh "$exe"
parts=${PACING_PARTS:-frames music}
case " $parts " in *" frames "*) ${PACING_WRAP:-} "$exe" "$frames" ;; esac
case " $parts " in *" music "*)
  lib=$("$exe" --slow-io-library || true)
  if [ ! -f "$lib" ]; then
    echo "pacing.sh: the pv_slow_io preload is not built (a build with the tests makes it)" >&2
    exit 1
  fi
  echo
  # "screenshot.bmp." is in every temporary name of the screenshot, not in the file itself.
  LD_PRELOAD=$lib PV_SLOW_PATH=screenshot.bmp. PV_SLOW_OPS=write PV_SLOW_MS=50 \
    ${PACING_WRAP:-} "$exe" --music "$frames"
  ;;
esac
