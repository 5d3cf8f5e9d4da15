#!/usr/bin/env bash
# The kinds of stereogram against the default run, as whole processes of
# pellara-fuse on a 6000 x 6000 depth picture (reading, synthesis, encoding
# and writing, the process's start and end): times with hyperfine, peak
# memory with GNU time. Ratios come from one run, so a busy machine slows
# every kind alike.
#   bench/kinds.sh [BUILD_DIR] [SIDE] [RUNS]   (defaults: build 6000 5)
set -euo pipefail
build=${1:-build}
side=${2:-6000}
runs=${3:-5}
tool=$build/tools/pellara-fuse
for need in hyperfine convert /usr/bin/time; do
    command -v "$need" >/dev/null || { echo "needs $need (scripts/deps.sh --tests)" >&2; exit 77; }
done
[ -x "$tool" ] || { echo "no $tool: build it first" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A smooth dome, as depth pictures are, and a noise tile.
convert -size "${side}x${side}" radial-gradient:white-black -depth 8 "$work/depth.png"
convert -size 128x128 xc: +noise Random -depth 8 "$work/pattern.png"

d=$work/depth.png p=$work/pattern.png o=$work/out.png
names=(default random-dot symmetric oversample-4)
commands=(
    "$tool $d $p $o --quiet"
    "$tool $d $o --random-dot --quiet"
    "$tool $d $p $o --method symmetric --quiet"
    "$tool $d $p $o --oversample 4 --quiet"
)
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
hyperfine --style basic --warmup 1 --runs "$runs" --export-json "$work/times.json" \
    "${commands[@]}" >&2

declare -A peak
for i in "${!names[@]}"; do
    # The largest of three runs' peaks: the resident set varies little.
    best=0
    for _ in 1 2 3; do
        kib=$( { /usr/bin/time -f '%M' ${commands[$i]} >/dev/null; } 2>&1 | tail -1)
        [ "$kib" -gt "$best" ] && best=$kib
    done
    peak[${names[$i]}]=$best
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"

/usr/bin/python3 - "$work/times.json" "${names[*]}" \
    "${peak[default]} ${peak[random-dot]} ${peak[symmetric]} ${peak[oversample-4]}" <<'EOF'
import json, sys
results = json.load(open(sys.argv[1]))["results"]
names = sys.argv[2].split()
peaks = [int(k) for k in sys.argv[3].split()]
base, base_min, base_peak = results[0]["median"], results[0]["min"], peaks[0]
cpu = lambda r: r["user"] + r["system"]
base_cpu = cpu(results[0])
limits = {"random-dot": 1.2, "symmetric": 2.0, "oversample-4": 4.0}
# The fastest run is the one the other work on the machine disturbed least;
# processor time (user + system) does not count time spent waiting for a core.
print(f"{'kind':<14}{'median s':>9}{'x':>6}{'min s':>7}{'x':>6}{'cpu s':>7}{'x':>6}"
      f"{'target':>8}{'peak MiB':>9}{'x':>6}")
for name, r, kib in zip(names, results, peaks):
    target = f"<= {limits[name]}" if name in limits else ""
    print(f"{name:<14}{r['median']:>9.3f}{r['median'] / base:>6.2f}{r['min']:>7.3f}"
          f"{r['min'] / base_min:>6.2f}{cpu(r):>7.3f}{cpu(r) / base_cpu:>6.2f}{target:>8}"
          f"{kib / 1024:>9.0f}{kib / base_peak:>6.2f}")
print("peak memory target: oversample-4 <= 1.5 x default")
EOF
