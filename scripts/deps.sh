#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those missing.
set -euo pipefail
packages=(cmake make g++ pkg-config qt6-base-dev qt6-image-formats-plugins libgl-dev
          libgtest-dev libgmock-dev googletest libbenchmark-dev xvfb xauth xdotool
          libspng-dev
          libisal-dev
          zlib1g-dev
          libpng-dev
          libdeflate-dev
          libjpeg62-turbo-dev
          libtiff-dev
          libwebp-dev
          libheif-dev
          libjxl-dev
          libopenjp2-7-dev
          libopenexr-dev
          python3-pil
          imagemagick
          libjpeg-turbo-progs
          webp
          libheif-examples
          libavif-bin
          libjxl-tools
          libopenjp2-tools
          clang
          libclang-rt-14-dev
)
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
