#!/usr/bin/env bash
# `cpack -G DEB` from a build folder gives a package with the programs and
# their desktop files, with Depends found by dpkg-shlibdeps, and its programs
# run from where the package puts them.
# Usage: check-deb.sh BUILD_DIR   (exit 77: dpkg-shlibdeps or file is missing)
set -euo pipefail
build=$(cd "$1" && pwd)
for tool in dpkg-shlibdeps file; do
    command -v "$tool" >/dev/null || { echo "needs $tool (scripts/deps.sh --package)"; exit 77; }
done
work=$(mktemp -d "${TMPDIR:-/tmp}/pellara-deb-XXXXXX")
trap 'rm -rf "$work"' EXIT

# Into a folder of its own, so that a parallel cpack in the build folder is
# not disturbed.
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; exit 1; }
debs=("$work"/out/pellara_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "no single pellara_*.deb"; ls "$work/out"; exit 1; }
deb=${debs[0]}

fail() { echo "$*"; exit 1; }
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = pellara ] || fail "Package: $(field Package)"
[ "$(field Section)" = graphics ] || fail "Section: $(field Section)"
[[ "$(field Maintainer)" == *"<"*"@"*">" ]] || fail "Maintainer: $(field Maintainer)"
[[ "$(field Depends)" == *libqt6widgets6* ]] || fail "Depends lacks the Qt libraries: $(field Depends)"
[[ "$(field Depends)" == *libassimp5* ]] || fail "Depends lacks assimp: $(field Depends)"
[[ "$(field Depends)" == *libexpat1* ]] || fail "Depends lacks expat: $(field Depends)"
[[ "$(field Recommends)" == *qt6-image-formats-plugins* ]] || fail "Recommends: $(field Recommends)"
[[ "$(field Recommends)" == *libqt6svg6* ]] || fail "Recommends lacks the SVG icon engine: $(field Recommends)"

dpkg-deb -x "$deb" "$work/root"
files=$(cd "$work/root" && find . -type f -o -type l | sort)
for wanted in \
    ./usr/bin/pellara \
    ./usr/bin/pellara-fuse \
    ./usr/bin/pellara-depth \
    ./usr/share/applications/pellara.desktop \
    ./usr/share/icons/hicolor/scalable/apps/pellara.svg \
    ./usr/share/metainfo/com.ombrix.Pellara.metainfo.xml \
    ./usr/share/man/man1/pellara.1.gz \
    ./usr/share/man/man1/pellara-fuse.1.gz \
    ./usr/share/bash-completion/completions/pellara-fuse \
    ./usr/share/man/man1/pellara-depth.1.gz \
    ./usr/share/doc/pellara/copyright; do
    grep -qxF "$wanted" <<<"$files" || fail "missing $wanted; the package holds:"$'\n'"$files"
done
programs=$(grep '^\./usr/bin/' <<<"$files" | tr '\n' ' ')
[ "$programs" = "./usr/bin/pellara ./usr/bin/pellara-depth ./usr/bin/pellara-fuse " ] || fail "programs: $programs"
stray=$(grep -v '^\./usr/\(bin\|share\)/' <<<"$files" || true)
[ -z "$stray" ] || fail "outside usr/bin and usr/share: $stray"

# The packaged programs answer without a display.
out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$work/root/usr/bin/pellara" --version)
[[ "$out" == "pellara "[0-9]* ]] || fail "pellara --version: $out"
out=$("$work/root/usr/bin/pellara-fuse" --version)
[[ "$out" == "pellara-fuse "[0-9]* ]] || fail "pellara-fuse --version: $out"
out=$("$work/root/usr/bin/pellara-depth" --version)
[[ "$out" == "pellara-depth "[0-9]* ]] || fail "pellara-depth --version: $out"
# Text needs fonts, and no display: the packaged tool draws over ssh.
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$work/root/usr/bin/pellara-depth" \
    --text "Hi" "$work/text.png" --size 64x48 || fail "pellara-depth --text failed"
[ -s "$work/text.png" ] || fail "pellara-depth --text wrote nothing"
for page in pellara pellara-fuse pellara-depth; do
    gzip -t "$work/root/usr/share/man/man1/$page.1.gz" || fail "$page.1.gz is not gzip"
done
if command -v appstreamcli >/dev/null; then
    # Installed, the file's name must match the component id.
    appstreamcli validate --no-net "$work/root/usr/share/metainfo/com.ombrix.Pellara.metainfo.xml"
fi
echo "$(basename "$deb"): $(field Depends)"
