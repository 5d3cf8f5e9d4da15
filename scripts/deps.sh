#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those missing.
set -euo pipefail
# qt6-wayland: the window on a Wayland desktop without X. adwaita-qt6 (tests
# only): the menu bar is checked under the style GNOME users get.
packages=(cmake make g++ pkg-config qt6-base-dev qt6-image-formats-plugins libgl-dev qt6-wayland
          libgtest-dev libgmock-dev googletest libbenchmark-dev xvfb xauth xdotool adwaita-qt6)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
