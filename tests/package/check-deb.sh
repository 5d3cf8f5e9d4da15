#!/usr/bin/env bash
# `cpack -G DEB` from a build folder gives a package with its programs and
# their desktop files, with Depends found by dpkg-shlibdeps, and its programs
# run from where the package puts them, hardened; lintian finds nothing
# wrong in it. Every program in usr/bin is checked, whatever their number.
# Usage: check-deb.sh BUILD_DIR   (exit 77: dpkg-shlibdeps, file, readelf or
# lintian is missing)
set -euo pipefail
build=$(cd "$1" && pwd)
for tool in dpkg-shlibdeps file readelf lintian; do
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
[[ "$(field Depends)" == *libseccomp2* ]] || fail "Depends lacks libseccomp: $(field Depends)"
[[ "$(field Depends)" == *libcairo2* ]] || fail "Depends lacks cairo: $(field Depends)"
[[ "$(field Depends)" == *libopencv-calib3d406* && "$(field Depends)" == *libopencv-contrib406* ]] || fail "Depends lacks OpenCV: $(field Depends)"
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
    ./usr/share/bash-completion/completions/pellara-fuse \
    ./usr/share/bash-completion/completions/pellara-depth \
    ./usr/share/doc/pellara/copyright \
    ./usr/share/doc/pellara/changelog.gz; do
    grep -qxF "$wanted" <<<"$files" || fail "missing $wanted; the package holds:"$'\n'"$files"
done
stray=$(grep -v '^\./usr/\(bin\|share\)/' <<<"$files" || true)
[ -z "$stray" ] || fail "outside usr/bin and usr/share: $stray"

# Every packaged program has its manual page, answers without a display,
# and carries the hardening of a Release build: relocations read-only and
# bound at start, and the stack protector (lintian below checks the
# fortified functions and RELRO too, but not the stack protector).
programs=$(sed -n 's|^\./usr/bin/||p' <<<"$files")
for program in pellara pellara-fuse pellara-depth; do
    grep -qxF "$program" <<<"$programs" || fail "missing usr/bin/$program; usr/bin holds: $programs"
done
for program in $programs; do
    binary=$work/root/usr/bin/$program
    page=$work/root/usr/share/man/man1/$program.1.gz
    [ -f "$page" ] || fail "usr/bin/$program has no manual page"
    gzip -t "$page" || fail "$program.1.gz is not gzip"
    out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$binary" --version)
    [[ "$out" == "$program "[0-9]* ]] || fail "$program --version: $out"
    dynamic=$(readelf -d -W "$binary")
    grep -qE '\(FLAGS_1\).*\bNOW\b|\(BIND_NOW\)|\(FLAGS\).*\bBIND_NOW\b' <<<"$dynamic" ||
        fail "$program is not bound at start (-z now)"
    # Read whole first: grep -q stopping early would fail the pipe.
    segments=$(readelf -l -W "$binary")
    grep -q GNU_RELRO <<<"$segments" || fail "$program has no RELRO segment (-z relro)"
    symbols=$(readelf --dyn-syms -W "$binary")
    grep -qw '__stack_chk_fail' <<<"$symbols" || fail "$program has no stack protector"
    if [ "$program" = pellara-depth ]; then
        # Text needs fonts, and no display: the packaged tool draws over ssh.
        env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$binary" \
            --text "Hi" "$work/text.png" --size 64x48 || fail "pellara-depth --text failed"
        [ -s "$work/text.png" ] || fail "pellara-depth --text wrote nothing"
    fi
done
if command -v appstreamcli >/dev/null; then
    # Installed, the file's name must match the component id.
    appstreamcli validate --no-net "$work/root/usr/share/metainfo/com.ombrix.Pellara.metainfo.xml"
fi
# Debian's own checker, over every program and file the package holds: no
# error, no warning, and none of its hardening remarks (informational) on
# any program. Running as root it says so first; that line is not a finding.
report=$(lintian --display-info --tag-display-limit 0 "$deb" 2>&1 | grep -v 'running with root privileges' || true)
problems=$(grep -E '^(E|W): |hardening-' <<<"$report" || true)
[ -z "$problems" ] || fail "lintian:"$'\n'"$problems"
gzip -t "$work/root/usr/share/doc/pellara/changelog.gz" || fail "changelog.gz is not gzip"
newest=$(gzip -dc "$work/root/usr/share/doc/pellara/changelog.gz" | dpkg-parsechangelog -l- -SVersion)
[ "$newest" = "$(field Version)" ] || fail "changelog's newest entry is $newest, the package $(field Version)"

echo "$(basename "$deb"): $(field Depends)"
