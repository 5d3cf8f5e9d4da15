#!/usr/bin/env bash
# pellara-fuse against the I/O reference (bench/io_reference.cpp: libdeflate
# inflate, the engine's Fusion, ISA-L's fastest deflate on one core), both as
# whole processes on the same 6000 x 6000 depth PNG and pattern; then the
# random-dot poster (40000 x 30000 from a 4000 x 3000 depth) and the peak
# memory of a 6000 x 60000 depth against a 6000 x 6000 one. Times with
# hyperfine (both in one call, so the machine's load falls on both alike),
# peak memory with GNU time; the load average beside each figure.
#   bench/io-reference.sh [BUILD_DIR] [RUNS]   (defaults: build 5)
# Set KEEP=DIR to keep the pictures made there (and reuse them next time).
set -euo pipefail
build=${1:-build}
runs=${2:-5}
here=$(cd "$(dirname "$0")" && pwd)
tool=$build/tools/pellara-fuse
reference=$build/bench/io-reference
py=/usr/bin/python3
for need in hyperfine /usr/bin/time $py; do
    command -v "$need" >/dev/null || { echo "needs $need (scripts/deps.sh --tests)" >&2; exit 77; }
done
$py -c 'import PIL' 2>/dev/null || { echo "needs Pillow (scripts/deps.sh --tests)" >&2; exit 77; }
for program in "$tool" "$reference"; do
    [ -x "$program" ] || { echo "no $program: build it first (-DPELLARA_BUILD_BENCH=ON)" >&2; exit 1; }
done

if [ -n "${KEEP:-}" ]; then
    work=$KEEP
    mkdir -p "$work"
else
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
fi
pattern=$here/../examples/pattern.png

# Depth pictures as Pillow writes them: a smooth dome (grey, 8-bit), and the
# tall one ten copies of the square one, one above the other.
$py - "$work" <<'EOF'
import os, sys
from PIL import Image
work = sys.argv[1]
def dome(w, h):
    return Image.radial_gradient("L").point(lambda v: 255 - v).resize((w, h), Image.BILINEAR)
for name, w, h in (("depth6000.png", 6000, 6000), ("d4000.png", 4000, 3000)):
    if not os.path.exists(os.path.join(work, name)):
        dome(w, h).save(os.path.join(work, name), compress_level=1)
tall = os.path.join(work, "depth6000x60000.png")
if not os.path.exists(tall):
    square = Image.open(os.path.join(work, "depth6000.png"))
    picture = Image.new("L", (6000, 60000))
    for i in range(10):
        picture.paste(square, (0, 6000 * i))
    picture.save(tall, compress_level=1)
EOF

load() { uptime | sed 's/^ *//'; }
# Peak resident set in KiB, the largest of three runs.
peak() {
    local best=0 kib
    for _ in 1 2 3; do
        kib=$( { /usr/bin/time -f '%M' "$@" >/dev/null; } 2>&1 | tail -1)
        [ "$kib" -gt "$best" ] && best=$kib
    done
    echo "$best"
}

d=$work/depth6000.png
fuse_cmd="$tool $d $pattern $work/fuse.png --quiet"
ref_cmd="$reference $d $pattern $work/ref.png"
echo "load average before the 6000 x 6000 runs: $(load)"
hyperfine -N --style basic -w 1 -r "$runs" --export-json "$work/times.json" \
    -n pellara-fuse "$fuse_cmd" -n io-reference "$ref_cmd" >&2
echo "load average after: $(load)"
# shellcheck disable=SC2086
fuse_peak=$(peak $fuse_cmd)
# shellcheck disable=SC2086
ref_peak=$(peak $ref_cmd)
$py -c 'import sys; from PIL import Image; a, b = (Image.open(p).convert("RGB") for p in sys.argv[1:]); sys.exit(0 if a.size == b.size and a.tobytes() == b.tobytes() else "the reference made other pixels than pellara-fuse")' \
    "$work/fuse.png" "$work/ref.png"
echo "same pixels: yes (Pillow)"

$py - "$work/times.json" "$fuse_peak" "$ref_peak" <<'EOF'
import json, sys
fuse, ref = json.load(open(sys.argv[1]))["results"]
fuse_peak, ref_peak = int(sys.argv[2]) / 1024, int(sys.argv[3]) / 1024
cpu = lambda r: r["user"] + r["system"]
print(f"{'6000 x 6000':<14}{'mean s':>8}{'median s':>10}{'min s':>8}{'cpu s':>8}{'peak MiB':>10}")
for name, r, p in (("pellara-fuse", fuse, fuse_peak), ("io-reference", ref, ref_peak)):
    print(f"{name:<14}{r['mean']:>8.3f}{r['median']:>10.3f}{r['min']:>8.3f}{cpu(r):>8.3f}{p:>10.0f}")
ratio = fuse["mean"] / ref["mean"]
print(f"ratio (means): {ratio:.2f}, medians {fuse['median'] / ref['median']:.2f}, "
      f"fastest runs {fuse['min'] / ref['min']:.2f}, cpu {cpu(fuse) / cpu(ref):.2f} (target <= 0.6)")
print(f"pellara-fuse peak {fuse_peak:.0f} MiB (target <= 120 MiB)")
EOF

# The poster: one run, its wall and processor time and its peak.
echo "load average before the poster: $(load)"
stats=$( { /usr/bin/time -f '%e %U %S %M' "$tool" "$work/d4000.png" "$work/poster.png" --random-dot \
    --size 40000x30000 --quiet; } 2>&1 | tail -1)
echo "load average after: $(load)"
read -r wall user system kib <<<"$stats"
echo "poster 40000 x 30000 random dots: ${wall} s wall, ${user} s user, ${system} s system," \
    "peak $((kib / 1024)) MiB (targets <= 30 s, <= 300 MiB)"
rm -f "$work/poster.png"

echo "load average before the tall run: $(load)"
tall_peak=$(peak "$tool" "$work/depth6000x60000.png" "$pattern" "$work/tall.png" --quiet)
square_peak=$(peak "$tool" "$d" "$pattern" "$work/fuse.png" --quiet)
echo "load average after: $(load)"
rm -f "$work/tall.png"
$py -c 'import sys; t, s = int(sys.argv[1]), int(sys.argv[2]); print(f"peak 6000 x 60000 {t / 1024:.1f} MiB against 6000 x 6000 {s / 1024:.1f} MiB: {t / s:.2f} x (target <= 1.1)")' \
    "$tall_peak" "$square_peak"
