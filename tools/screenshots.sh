#!/bin/sh
# Remakes the README's pictures, docs/screenshot-title.png and
# docs/screenshot-play.png, with the game's own screenshot key: runs the game
# under Xvfb in a scratch directory, takes the title menu, starts a run,
# steers and jumps a little, and takes the run in progress. Needs Xvfb and
# xdotool (tools/deps.sh --test).
#   tools/screenshots.sh [build-dir]     (default: build)
set -eu

cd "$(dirname "$0")/.."
build=${1:-build}
cmake -S . -B "$build" >/dev/null
cmake --build "$build" --target plu-vesk bmp_to_png -j2 >/dev/null
build=$(cd "$build" && pwd)

tmp=$(mktemp -d "${TMPDIR:-/tmp}/pv-shots.XXXXXX")
xvfb=
game=
cleanup() {
  [ -z "$game" ] || kill "$game" 2>/dev/null || true
  [ -z "$xvfb" ] || kill "$xvfb" 2>/dev/null || true
  rm -rf -- "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# An X server of our own on a free display.
. tools/xvfb.sh
start_xvfb || { echo "screenshots: Xvfb did not start" >&2; exit 1; }

# A window, no music, no best total yet.
mkdir "$tmp/run"
cp assets/bubble.pcx assets/sky.mid "$tmp/run/"
printf '0 0 0' >"$tmp/run/PV settings.dat"
shot=$tmp/run/"Plu Vesk screenshot.bmp"

hold() {
  xdotool keydown "$1"
  sleep "$2"
  xdotool keyup "$1"
}

# Tab until the game has written a screenshot; false if it never does.
take() {
  rm -f "$shot"
  t=0
  until [ -s "$shot" ]; do
    t=$((t + 1))
    [ $t -le 50 ] || return 1
    hold Tab 0.08
    sleep 0.15
  done
}

pixel() { bmp_pixel "$shot" "$1" "$2"; }

convert_shot() {
  "$build/tools/bmp_to_png" "$shot" "$1"
}

(cd "$tmp/run" && exec "$build/plu-vesk") >"$tmp/game.log" 2>&1 &
game=$!
t=0
until xdotool search --name '^Plu Vesk$' >/dev/null 2>&1; do
  t=$((t + 1))
  [ $t -le 100 ] || { cat "$tmp/game.log" >&2; echo "screenshots: no game window" >&2; exit 1; }
  sleep 0.1
done

take || { echo "screenshots: the game took no screenshot" >&2; exit 1; }
sleep 0.5
take
convert_shot docs/screenshot-title.png

# Start game is the first entry. The start prompt goes after 90 frames of
# play; then the ball takes a long jump to the right, and the picture catches
# it in the air.
hold space 0.08
sleep 0.5
hold Left 0.15
sleep 1.3
xdotool keydown Right
hold space 0.3
sleep 0.05
xdotool keyup Right
take
if [ "$(pixel 35 28)" != "48 160 255" ]; then
  echo "screenshots: the second screenshot shows no score panel" >&2
  exit 1
fi
convert_shot docs/screenshot-play.png
