#!/bin/sh
# The installed game: `cmake --install` into a scratch prefix and the Debian
# package from CPack, each in its own layout, hold the game, the launcher, both
# assets, the desktop entry, the icons, the AppStream metadata, the manual page
# and the licence, all valid to their checkers; lintian finds no error or
# warning in the package, which recommends what the music and the gamepads
# need; and both trees start from the launcher under Xvfb, in the player's own
# directory with the assets linked in, and quit from the title menu with status 0.
#   install_test.sh <build-dir>     (CMAKE and CPACK may name the tools)
set -eu

build=$(cd -P -- "$1" && pwd)
cmake=${CMAKE:-cmake}
cpack=${CPACK:-cpack}
tmp=$(mktemp -d "${TMPDIR:-/tmp}/pv-install.XXXXXX")
xvfb=
game=
cleanup() {
  [ -z "$game" ] || kill -9 "$game" 2>/dev/null || true
  [ -z "$xvfb" ] || kill "$xvfb" 2>/dev/null || true
  rm -rf -- "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
need() {
  [ -e "$1" ] || fail "missing $1"
}
now() {
  date +%s%N | cut -c1-13
}

for tool in desktop-file-validate appstreamcli man lintian; do
  command -v $tool >/dev/null || { echo "no $tool: tools/deps.sh --test installs it" >&2; exit 1; }
done

icon_sizes="16 32 48 64 128 256"
metainfo=share/metainfo/org.example.plu_vesk.metainfo.xml

# The files of an installed tree under its prefix, its launcher in bin, its
# assets in data and its licence in licence, each valid to its checker.
check_tree() {
  prefix=$1 bin=$2 data=$3 licence=$4
  [ -x "$prefix/$bin/plu-vesk" ] || fail "no launcher at $prefix/$bin/plu-vesk"
  [ -x "$prefix/libexec/plu-vesk/plu-vesk" ] || fail "no game at $prefix/libexec/plu-vesk/plu-vesk"
  # Beside the game, the list of Allegro modules it loads: none.
  need "$prefix/libexec/plu-vesk/modules.lst"
  ! grep -qv '^#' "$prefix/libexec/plu-vesk/modules.lst" 2>/dev/null ||
    fail "$prefix/libexec/plu-vesk/modules.lst names a module"
  # Allegro's X state is reached where it lies, not copied into the game at load.
  ! readelf -rW "$prefix/libexec/plu-vesk/plu-vesk" | grep -q '_COPY .* _xwin ' ||
    fail "the game carries a copy of Allegro's _xwin"
  need "$prefix/$data/bubble.pcx"
  need "$prefix/$data/sky.mid"
  for n in $icon_sizes; do
    need "$prefix/share/icons/hicolor/${n}x$n/apps/plu-vesk.png"
  done
  grep -q "the Plu Vesk developers" "$prefix/share/doc/plu-vesk/$licence" 2>/dev/null ||
    fail "no licence of the Plu Vesk developers at $prefix/share/doc/plu-vesk/$licence"
  desktop-file-validate "$prefix/share/applications/plu-vesk.desktop" || fail "desktop entry not valid"
  appstreamcli validate --no-net "$prefix/$metainfo" >"$tmp/appstream.log" 2>&1 || {
    cat "$tmp/appstream.log" >&2
    fail "AppStream metadata not valid"
  }
  page=$(ls "$prefix"/share/man/man6/plu-vesk.6* 2>/dev/null) || page=
  if [ -z "$page" ]; then
    fail "no manual page under $prefix/share/man/man6"
  else
    MANWIDTH=80 man --warnings -l "$page" >"$tmp/man.txt" 2>"$tmp/man.log" || true
    if [ -s "$tmp/man.log" ] || ! grep -q "^EXIT STATUS" "$tmp/man.txt"; then
      cat "$tmp/man.log" >&2
      fail "manual page $page does not render cleanly"
    fi
  fi
}

# ---------------------------------------------------------------- install
"$cmake" --install "$build" --prefix "$tmp/prefix" >"$tmp/install.log" 2>&1 || {
  cat "$tmp/install.log" >&2
  fail "cmake --install failed"
  exit 1
}
check_tree "$tmp/prefix" bin share/plu-vesk LICENSE

# ---------------------------------------------------------------- package
# The package's own settings and install component, but installed from the
# build as it stands: plain cpack would first build every target, which has no
# place in a test run.
cat >"$tmp/cpack.cmake" <<EOF
include("$build/CPackConfig.cmake")
list(GET CPACK_INSTALL_CMAKE_PROJECTS 2 component)
set(CPACK_INSTALL_CMAKE_PROJECTS "")
set(CPACK_INSTALL_COMMANDS "\\"$cmake\\" --install \\"$build\\" --prefix /usr --strip --component \${component}")
EOF
"$cpack" -G DEB --config "$tmp/cpack.cmake" -B "$tmp/deb" >"$tmp/cpack.log" 2>&1 || {
  cat "$tmp/cpack.log" >&2
  fail "cpack failed"
  exit 1
}
deb=$(ls "$tmp"/deb/*.deb)
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = plu-vesk ] || fail "package name: $(field Package)"
[ "$(field Section)" = games ] || fail "section: $(field Section)"
# Allegro is needed to start at all; the music's library and SoundFont, and
# the gamepads' SDL, are only recommended, as the game plays silent or
# keyboard-only without them.
depends=$(field Depends) recommends=$(field Recommends)
has() {  # has list item: the item, with or without a version, is in the list
  case ", $1," in *", $2,"* | *", $2 ("*) return 0 ;; esac
  return 1
}
for d in liballegro4.4 libxss1 libdbus-1-3 zlib1g; do  # the screensaver held off; replays' CRC-32
  has "$depends" "$d" || fail "Depends lacks $d: $depends"
done
case $depends in *fluid* | *sdl*) fail "Depends names the music's or the pads' packages: $depends" ;; esac
for d in libfluidsynth3 libpulse0 "timgm6mb-soundfont | fluid-soundfont-gm" libsdl2-2.0-0; do
  has "$recommends" "$d" || fail "Recommends lacks '$d': $recommends"
done

# Debian's own checks: any error or warning fails.
lintian_status=0
lintian --fail-on error,warning "$deb" >"$tmp/lintian.log" 2>&1 || lintian_status=$?
echo "lintian:"
cat "$tmp/lintian.log"
if [ $lintian_status -ne 0 ] || grep -q '^[EW]:' "$tmp/lintian.log"; then
  fail "lintian finds fault with the package"
fi

dpkg-deb -x "$deb" "$tmp/root"
check_tree "$tmp/root/usr" games share/games/plu-vesk copyright
# Every version in the package is the package's.
version=$(field Version)
zcat "$tmp/root/usr/share/doc/plu-vesk/changelog.gz" | head -n1 | grep -q "^plu-vesk ($version) " ||
  fail "the changelog's last entry is not version $version"
grep -q "<release version=\"$version\"" "$tmp/root/usr/$metainfo" ||
  fail "the AppStream metadata has no release $version"
zcat "$tmp/root/usr/share/man/man6/plu-vesk.6.gz" | grep -q "^\\.TH .*\"Plu Vesk $version\"" ||
  fail "the manual page is not of version $version"

# ---------------------------------------------------------------- running
# An X server of our own on a free display.
. "$(dirname "$0")/../tools/xvfb.sh"
start_xvfb || { fail "Xvfb did not start"; exit 1; }

press() {
  xdotool keydown "$1"
  sleep 0.08
  xdotool keyup "$1"
  sleep 0.15
}

shot_name="Plu Vesk screenshot.bmp"

pixel() { bmp_pixel "$dir/$shot_name" "$1" "$2"; }

# Starts a tree's launcher from elsewhere, with the player's directory dir,
# and quits from the title menu. The game's screenshots (Tab) show first that
# it reads its keys (its window comes before the music, which can take a
# while to start), then where the menu's cursor cloud is: a busy machine may
# drop or double a step, so Down is pressed until the cloud is under Quit.
run_launcher() {
  launcher=$1 dir=$2
  shift 2
  (cd / && exec env "$@" "$launcher") >"$tmp/game.log" 2>&1 &
  game=$!
  start=$(now)
  while kill -0 "$game" 2>/dev/null; do
    if [ $(($(now) - start)) -gt 20000 ]; then
      fail "$launcher: still running after 20 s"
      kill -9 "$game" 2>/dev/null || true
      wait "$game" 2>/dev/null || true
      game=
      return
    fi
    if ! xdotool search --name '^(plu-vesk|Plu Vesk)$' >/dev/null 2>&1; then
      sleep 0.1
      continue
    fi
    rm -f "$dir/$shot_name"
    press Tab
    if [ ! -s "$dir/$shot_name" ]; then
      sleep 0.1
    elif [ "$(pixel 290 284)" = "255 255 255" ]; then  # a puff beside "Quit"
      press space
      sleep 0.3
    else
      press Down
    fi
  done
  status=0
  wait "$game" || status=$?
  game=
  [ $status -eq 0 ] || { cat "$tmp/game.log" >&2; fail "$launcher: exit status $status"; }
}

# The assets in the player's directory link to those of one tree.
check_links() {
  dir=$1 assets=$2
  for f in bubble.pcx sky.mid; do
    if [ ! -L "$dir/$f" ]; then
      fail "$dir/$f is not a link"
    elif [ "$(readlink "$dir/$f")" != "$(cd -P "$assets" && pwd)/$f" ]; then
      fail "$dir/$f links to $(readlink "$dir/$f"), not into $assets"
    fi
  done
}

# First start: no XDG_DATA_HOME, so the player's directory is made under HOME.
home=$tmp/home
mkdir -p "$home"
run_launcher "$tmp/prefix/bin/plu-vesk" "$home/.local/share/plu-vesk" -u XDG_DATA_HOME HOME="$home"
check_links "$home/.local/share/plu-vesk" "$tmp/prefix/share/plu-vesk"

# The package's tree in the same directory, named through XDG_DATA_HOME: the
# links now follow the installation that runs.
run_launcher "$tmp/root/usr/games/plu-vesk" "$home/.local/share/plu-vesk" HOME="$home" XDG_DATA_HOME="$home/.local/share"
check_links "$home/.local/share/plu-vesk" "$tmp/root/usr/share/games/plu-vesk"

if [ $failures -ne 0 ]; then
  echo "$failures failure(s)" >&2
  exit 1
fi
echo "package $(basename "$deb"), $(wc -c <"$deb") bytes; Depends: $depends; Recommends: $recommends"
