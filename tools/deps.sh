#!/usr/bin/env bash
# Installs the Debian packages that building the game needs; with --test, also
# those that its tests and benchmarks need. Only missing packages are installed.
set -euo pipefail

packages=(cmake g++ make pkg-config liballegro4-dev libx11-dev libxrandr-dev libfluidsynth-dev libpulse-dev libasound2-dev
          libxss-dev libdbus-1-dev libsdl2-dev zlib1g-dev timgm6mb-soundfont)
if [ "${1:-}" = "--test" ]; then
  packages+=(googletest libgtest-dev libbenchmark-dev xvfb xdotool x11-utils
             clang libclang-rt-14-dev imagemagick dpkg-dev desktop-file-utils
             openbox wmctrl x11-apps pulseaudio pulseaudio-utils
             lintian appstream man-db groff-base xtrace dbus-daemon strace libxtst-dev)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
install() {
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
}
echo "Installing: ${missing[*]}"
# A fresh machine has no package lists yet; stale ones are refreshed on failure.
if ! ls /var/lib/apt/lists/*_Packages >/dev/null 2>&1; then
  $sudo apt-get update
fi
install || { $sudo apt-get update && install; }
