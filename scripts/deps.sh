#!/usr/bin/env bash
# Installs the Debian packages that are missing, as root or through sudo.
#   scripts/deps.sh            what the program needs to build and run
#   scripts/deps.sh --tests    that, and what the tests and benchmarks add
#   scripts/deps.sh --package  that, and what `cpack -G DEB` needs
# "a|b" installs the first of a and b that the archive has (names differ
# between Debian releases) and counts as present when either is installed.
set -euo pipefail

# To build and run the program. One package a line.
program=(
    cmake
    make
    g++
    pkg-config
    qt6-base-dev
    libgl-dev
    qt6-image-formats-plugins
    "qt6-svg-plugins|libqt6svg6"
    # The window on a Wayland desktop without X.
    qt6-wayland
    # Translators: PNG (libspng, with zlib/ISA-L deflate), GIF, and the long
    # tail of formats through ImageMagick's core.
    libspng-dev
    zlib1g-dev
    libisal-dev
    libgif-dev
    libmagickcore-6.q16-dev
    # JPEG, TIFF, WebP, HEIF/HEIC and AVIF, JPEG XL, JPEG 2000, OpenEXR.
    # libwebp-dev also brings libwebpdemux and libwebpmux, which read and
    # write pellara-fuse's animated WebP clips (giflib its animated GIFs).
    libjpeg62-turbo-dev
    libtiff-dev
    libwebp-dev
    libheif-dev
    libjxl-dev
    libopenjp2-7-dev
    libopenexr-dev
    # 12-bit and lossless JPEG, which libjpeg-turbo 2.1 does not decode:
    # FFmpeg's JPEG decoder and its sample converter.
    libavcodec-dev
    libswscale-dev
    # pellara-fuse's video clips (MP4, MOV, MKV, WebM, AVI in; MP4 and WebM
    # out): FFmpeg's demuxers and muxers, loaded at run time as the codecs
    # are.
    libavformat-dev
    # pellara-fuse's option parser (header-only: nothing at run time).
    libcli11-dev
    # QOI: the format's reference decoder, one header (nothing at run time).
    libqoi-dev
    # pellara-depth: phones' depth maps sit in XMP packets, read with expat;
    # 3D models (STL, OBJ, PLY, glTF) load through assimp; its options are
    # parsed by CLI11, as pellara-fuse's are.
    libexpat1-dev
    libassimp-dev
    # The model library runs in a child process that a seccomp filter keeps
    # from opening files, starting programs or using the network.
    libseccomp-dev
    # A glTF model's JSON is read with nlohmann's JSON parser (header-only)
    # before assimp sees it: its buffers, and what it declares.
    nlohmann-json3-dev
    # pellara-fuse's PDF (a page at the printed size, posters on sheets)
    # through cairo's PDF surface.
    libcairo2-dev
    # pellara-depth's stereo pairs: OpenCV's semi-global matcher (calib3d),
    # its features for --rectify (features2d) and its disparity and
    # edge-aware filters (ximgproc, in the contrib package).
    libopencv-calib3d-dev
    libopencv-features2d-dev
    libopencv-contrib-dev
    # pellara-depth --text draws with the installed fonts: DejaVu, Debian's
    # usual default sans (the tests name DejaVu Serif too).
    fonts-dejavu-core
)

# The tests, the benchmarks and the checks on the installed files.
tests=(
    libgtest-dev
    libgmock-dev
    googletest
    libbenchmark-dev
    xvfb
    xauth
    xdotool
    appstream
    desktop-file-utils
    groff-base
    # The menu bar is checked under the style GNOME users get.
    adwaita-qt6
    # Our PNG files are checked against libpng's decoder; libdeflate is the
    # benchmarks' reference deflate, and io-reference's inflate.
    libpng-dev
    libdeflate-dev
    # Our WebP files are decoded by FFmpeg's own WebP decoder too, which
    # shares no code with libwebp.
    ffmpeg
    # Test pictures made, and decoded for comparison, by other programs;
    # the reading corpus's writers (tests/data/corpus/make.py) and its
    # reference decoders (scripts/corpus-references.py, and the corpus test
    # where a reading is new): Pillow, ImageMagick, djpeg, dwebp,
    # heif-convert, avifdec, djxl, opj_decompress, with ffmpeg above.
    python3-pil
    imagemagick
    # tifffile: a reference decoder for the TIFF sample widths the others
    # lack (10-bit RGB, float RGB, ...); libtiff's tiffcp writes corpus
    # files in layouts ImageMagick does not (bits least significant first)
    # and TIFF depth pictures in strips and tiles of other sizes than our
    # own writer's, read by rows in the row pipeline's tests.
    python3-tifffile
    libtiff-tools
    # pellara-fuse's PDF pages, read back by poppler's pdfinfo and pdfimages.
    poppler-utils
    libjpeg-turbo-progs
    webp
    libheif-examples
    libavif-bin
    libjxl-tools
    libopenjp2-tools
    # OpenEXR's own tools write the corpus's tiled, multi-part, multi-view
    # and preview EXR files.
    openexr
    # The resolution pellara-fuse records, read back from JPEG XL files;
    # bench/kinds.sh and bench/io-reference.sh time whole runs with
    # hyperfine and their peak memory with GNU time.
    libimage-exiftool-perl
    hyperfine
    time
    # The package test checks the Debian package with Debian's own checker.
    lintian
    # The fuzz targets: clang's libFuzzer.
    clang
    libclang-rt-14-dev
)

# Building the Debian package: dpkg-shlibdeps finds its Depends, and CPack
# picks the programs to hand it with file.
package=(
    dpkg-dev
    file
)

wanted=("${program[@]}")
for arg in "$@"; do
    case "$arg" in
    --tests) wanted+=("${tests[@]}" "${package[@]}") ;;
    --package) wanted+=("${package[@]}") ;;
    *)
        echo "usage: $0 [--tests] [--package]" >&2
        exit 2
        ;;
    esac
done

# Output is read whole before matching: with pipefail, grep -q closing the
# pipe early would fail the writer and so the test.
installed() {
    local status
    status=$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null) || return 1
    [ "$status" = "install ok installed" ]
}

available() {
    local policy
    policy=$(apt-cache policy "$1" 2>/dev/null) || return 1
    grep -q 'Candidate: [^(]' <<<"$policy"
}

missing=()
for entry in "${wanted[@]}"; do
    IFS='|' read -r -a choices <<<"$entry"
    found=0
    for p in "${choices[@]}"; do
        installed "$p" && found=1 && break
    done
    [ "$found" -eq 1 ] || missing+=("$entry")
done
[ ${#missing[@]} -eq 0 ] && exit 0

# Root rights, or an explanation on one line of how to get them.
again="bash $0${*:+ $*}"
names=${missing[*]}
names=${names//|/ or }
as_root=()
if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null 2>&1; then
        echo "$0: installing ${names} needs root rights and sudo is not installed: run su -c '$again' with the root password, then your command again (or install sudo and join group sudo)" >&2
        exit 1
    fi
    if ! sudo -n true 2>/dev/null; then
        if [ -t 0 ] && [ -t 2 ]; then
            echo "Installing ${names} needs root rights: sudo asks for your password." >&2
        fi
        if ! { [ -t 0 ] && sudo -v; }; then
            echo "$0: installing ${names} needs root rights that sudo does not give you here: run su -c '$again' with the root password, then your command again (or have root run 'adduser $(id -un) sudo' and log in again)" >&2
            exit 1
        fi
    fi
    # sudo drops the environment: apt must stay quiet and non-interactive.
    as_root=(sudo env DEBIAN_FRONTEND=noninteractive)
fi
export DEBIAN_FRONTEND=noninteractive

"${as_root[@]}" apt-get update -qq

# For "a|b", the first that the archive offers.
chosen=()
for entry in "${missing[@]}"; do
    IFS='|' read -r -a choices <<<"$entry"
    pick=${choices[0]}
    for p in "${choices[@]}"; do
        if available "$p"; then
            pick=$p
            break
        fi
    done
    chosen+=("$pick")
done
echo "Installing: ${chosen[*]}"
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${chosen[@]}"
