#!/bin/sh
# plu-vesk: starts the installed game in the player's own directory,
# $XDG_DATA_HOME/plu-vesk (by default ~/.local/share/plu-vesk). The game reads
# its assets from the directory it runs in and keeps its settings, best total
# and screenshots there, so running it in one fixed place keeps them whatever
# directory the player starts it from. The assets are linked in from the
# installation; a file of the player's own under an asset's name is left alone.
#
# CMake fills in the two paths below, relative to the directory this script is
# installed in, so the installation works under any prefix and when moved.
set -eu

# The directory this script really lies in, through any links to it.
self=$0
case $self in
  */*) ;;
  *) self=$(command -v -- "$self") ;;
esac
while [ -L "$self" ]; do
  target=$(readlink -- "$self")
  case $target in
    /*) self=$target ;;
    *) self=$(dirname -- "$self")/$target ;;
  esac
done
bin=$(cd -P -- "$(dirname -- "$self")" && pwd)

game=$bin/@PV_BIN_TO_GAME@
assets=$(cd -P -- "$bin/@PV_BIN_TO_ASSETS@" 2>/dev/null && pwd) || assets=
if [ ! -x "$game" ] || [ -z "$assets" ]; then
  echo "plu-vesk: the game is not installed beside $bin" >&2
  exit 1
fi

# The base directory must be absolute; anything else means the default.
data=${XDG_DATA_HOME:-}
case $data in
  /*) ;;
  *) data=${HOME:?}/.local/share ;;
esac
dir=$data/plu-vesk
mkdir -p -- "$dir"

for name in bubble.pcx sky.mid; do
  link=$dir/$name
  if [ -L "$link" ] || [ ! -e "$link" ]; then
    # A link into another (perhaps removed) installation is pointed at this one.
    if [ "$(readlink -- "$link" 2>/dev/null || true)" != "$assets/$name" ]; then
      rm -f -- "$link"
      ln -s -- "$assets/$name" "$link"
    fi
  fi
done

cd -- "$dir"
exec "$game" "$@"
