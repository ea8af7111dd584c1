#!/bin/bash
# The X server killed under the running game, again and again, at random
# moments of the title menu and of a run, in a window and in full screen. The
# game should end each time within a second with status 1 and one line on
# stderr: prints how many trials did, and every hang and death by signal.
#   bench/display-loss.sh [build dir, default ./build] [trials, default 100]
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
trials=${2:-100}
game=$build/plu-vesk
[ -x "$game" ] || { echo "display-loss.sh: $game not built" >&2; exit 1; }

tmp=$(mktemp -d)
xvfb=
pid=
trap '[ -z "$pid" ] || kill -9 $pid 2>/dev/null; [ -z "$xvfb" ] || kill -9 $xvfb 2>/dev/null; rm -rf "$tmp"' EXIT
. "$root/tools/xvfb.sh"
cp "$root/assets/bubble.pcx" "$root/assets/sky.mid" "$tmp/"

now_ms() { date +%s%3N; }
clean=0 hangs=0 signals=0 other=0 slow=0 worst=0
for ((i = 1; i <= trials; i++)); do
  start_xvfb || { echo "trial $i: Xvfb did not start" >&2; exit 1; }
  printf '%s 0 0' $((i % 2)) >"$tmp/PV settings.dat"   # window and full screen in turn
  (cd "$tmp" && exec "$game") 2>"$tmp/err" >/dev/null &
  pid=$!
  sleep 0.$((RANDOM % 6 + 5))                            # up, perhaps still starting
  if ((i % 4 >= 2)); then                                # half the trials in a run
    xdotool keydown space sleep 0.08 keyup space 2>/dev/null
    sleep 0.$((RANDOM % 10))
  fi
  kill -9 "$xvfb"
  wait "$xvfb" 2>/dev/null
  rm -f "/tmp/.X${DISPLAY#:}-lock" "/tmp/.X11-unix/X${DISPLAY#:}"
  xvfb=
  killed=$(now_ms)
  while kill -0 "$pid" 2>/dev/null && (($(now_ms) - killed < 5000)); do sleep 0.01; done
  took=$(($(now_ms) - killed))
  if kill -0 "$pid" 2>/dev/null; then
    hangs=$((hangs + 1))
    echo "trial $i: HANG (still running 5 s after the display went)"
    kill -9 "$pid"
    wait "$pid" 2>/dev/null
  else
    wait "$pid"
    status=$?
    lines=$(grep -vc '^plu-vesk: no music' "$tmp/err")
    if ((status > 128)); then
      signals=$((signals + 1))
      echo "trial $i: DEATH by signal $((status - 128)); stderr: $(cat "$tmp/err")"
    elif ((status != 1 || lines != 1)); then
      other=$((other + 1))
      echo "trial $i: status $status, $lines line(s) on stderr: $(cat "$tmp/err")"
    else
      clean=$((clean + 1))
    fi
    ((took > 1000)) && slow=$((slow + 1))
    ((took > worst)) && worst=$took
  fi
  pid=
done
echo "display lost under the game $trials times: $clean ended with status 1 and one line," \
     "$hangs hangs, $signals deaths by signal, $other other endings, $slow took over 1 s (slowest $worst ms)"
