#!/bin/bash
# What the real game costs on a desktop: runs build/plu-vesk in a window on a
# private Xvfb with a private PulseAudio (a null sink paces the music as a
# desktop's sound server does), presses real keys, and prints its processor
# share, resident memory and start-up time against their targets, how long
# the main thread works in a frame while the music is switched in the options,
# then the play-frame pacing benchmark (bench/pacing.sh).  How it measures:
# the comment at the top of bench/desktop.cpp.
#   bench/desktop.sh [build dir, default ./build] [runs per case, default 4]
# DESKTOP_STARTS sets the starts per SoundFont (default 5), DESKTOP_PACING_FRAMES
# the frames per margin of the pacing benchmark (default 300), DESKTOP_SWITCHES
# the times the music is switched off and on (default 20); DESKTOP_ONLY=switch
# measures only the music switch, DESKTOP_ONLY=pads only the gamepad cases
# (among them a pad plugged in mid-run, traced with strace), DESKTOP_ONLY=watch
# only play and watching the best run, the music off, DESKTOP_ONLY=music only
# the music's own table (on against off, the render, the first sound),
# DESKTOP_ONLY=cost only the
# whole desktop's cost: the game's share and the X server's, at 1x on 1024x768
# and at 2x on a second server of 1920x1080, with xjump beside them (installed
# with apt-get when missing). DESKTOP_TODAY=<git revision> builds the game
# at that revision (70f8bdd is the game before gamepads) and holds the memory
# with gamepads against it; DESKTOP_TODAY=main gives the pad plugged in
# mid-run on today's game beside this one's.
# SoundFonts that are not installed get "not installed" in their rows:
# fluid-soundfont-gm, fluidr3mono-gm-soundfont and musescore-general-soundfont-small
# bring the optional ones.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
runs=${2:-4}
driver=$build/bench/bench_desktop
for exe in "$driver" "$build/bench/bench_pacing" "$build/plu-vesk"; do
  if [ ! -x "$exe" ]; then
    echo "desktop.sh: $exe not built (cmake --build $build --target bench_desktop bench_pacing)" >&2
    exit 1
  fi
done

tmp=$(mktemp -d)
xvfb=
big_xvfb=
pulse=
stop() {
  for p in $pulse $xvfb $big_xvfb; do
    kill "$p" 2>/dev/null || true
    wait "$p" 2>/dev/null || true
  done
  rm -rf "$tmp"
}
trap stop EXIT
. "$root/tools/xvfb.sh"
. "$root/tools/pulse.sh"
if [ -n "${DESKTOP_TODAY:-}" ]; then
  echo "desktop.sh: building the game at $DESKTOP_TODAY ..." >&2
  mkdir "$tmp/today-src"
  git -C "$root" archive "$DESKTOP_TODAY" | tar -x -C "$tmp/today-src"
  cmake -S "$tmp/today-src" -B "$tmp/today" -DCMAKE_BUILD_TYPE=Release -DPV_TESTS=OFF -DPV_BENCH=OFF >/dev/null
  cmake --build "$tmp/today" --target plu-vesk -j"$(nproc)" >/dev/null
  export DESKTOP_TODAY_GAME=$tmp/today/plu-vesk
fi
if [ ! -x /usr/games/xjump ] && ! command -v xjump >/dev/null; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "desktop.sh: installing xjump, the game measured beside this one ..." >&2
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends xjump >/dev/null ||
    echo "desktop.sh: xjump could not be installed; its row will say so" >&2
fi
export PATH=$PATH:/usr/games
XVFB_SCREEN=1920x1080x24 start_xvfb || { echo "desktop.sh: Xvfb did not start" >&2; exit 1; }
big_xvfb=$xvfb
export DESKTOP_BIG_DISPLAY=$DISPLAY DESKTOP_BIG_XVFB_PID=$xvfb
start_xvfb || { echo "desktop.sh: Xvfb did not start" >&2; exit 1; }
export DESKTOP_XVFB_PID=$xvfb
start_pulse || exit 1

echo "Plu Vesk on a desktop, $(git -C "$root" describe --always --dirty 2>/dev/null || echo '(no git)'), $(date -u '+%Y-%m-%d %H:%M UTC'), load $(cut -d' ' -f1-3 /proc/loadavg)"
echo
"$driver" "$tmp" "$runs" "${DESKTOP_STARTS:-5}"
[ -n "${DESKTOP_ONLY:-}" ] && exit 0
echo
echo "Pacing (bench/pacing.sh):"
echo
echo '```'
"$root/bench/pacing.sh" "$build" "${DESKTOP_PACING_FRAMES:-300}"
echo '```'
