# Sourced by the scripts that run the game or a benchmark in a real window.
#
# start_xvfb starts an X server of our own on a free display, sets and exports
# DISPLAY and leaves its process id in $xvfb (the caller stops it). Xvfb picks
# the free display number itself; should another program's server take it at
# the same moment, start_xvfb tries again. Needs $tmp, a scratch directory.
# XVFB_SCREEN sets its size (default 1024x768x24).
start_xvfb() {
  tries=0
  until start_xvfb_once; do
    kill "$xvfb" 2>/dev/null || true
    tries=$((tries + 1))
    if [ $tries -ge 3 ]; then
      cat "$tmp/xvfb.log" >&2
      return 1
    fi
  done
}

start_xvfb_once() {
  rm -f "$tmp/display"
  Xvfb -displayfd 3 -screen 0 "${XVFB_SCREEN:-1024x768x24}" -nolisten tcp 3>"$tmp/display" >"$tmp/xvfb.log" 2>&1 &
  xvfb=$!
  t=0
  while [ ! -s "$tmp/display" ]; do
    t=$((t + 1))
    [ $t -le 100 ] && kill -0 "$xvfb" 2>/dev/null || return 1
    sleep 0.1
  done
  DISPLAY=:$(head -n1 "$tmp/display")
  export DISPLAY
  xdotool getdisplaygeometry >/dev/null 2>&1
}

# The colour "r g b" of pixel (x, y) of one of the game's screenshots, a
# 640x480 24-bit BMP with its rows stored bottom-up: bmp_pixel file x y.
bmp_pixel() {
  set -- "$1" "$2" "$3" $(od -An -tu1 -j10 -N4 "$1")
  at=$(($4 + $5 * 256 + $6 * 65536 + $7 * 16777216 + (479 - $3) * 1920 + $2 * 3))
  set -- $(od -An -tu1 -j"$at" -N3 "$1")
  echo "$3 $2 $1"
}

# For a benchmark script named $1 that runs the built program $2 on an X
# server of its own: checks that it is built, makes $tmp, starts the server
# and has both go when the script ends.
bench_on_xvfb() {
  if [ ! -x "$2" ]; then
    echo "$1: $2 not built (cmake --build <build dir> --target $(basename "$2"))" >&2
    exit 1
  fi
  tmp=$(mktemp -d)
  xvfb=
  trap '[ -z "$xvfb" ] || { kill $xvfb 2>/dev/null; wait $xvfb 2>/dev/null; }; rm -rf "$tmp"' EXIT
  start_xvfb || { echo "$1: Xvfb did not start" >&2; exit 1; }
}
