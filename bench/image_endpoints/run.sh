#!/usr/bin/env bash
# The image endpoints beside their peers, on one generated set of 6000x4000 JPEGs (the codec
# benchmark's generator).
#   bench/image_endpoints/run.sh [bindir] [workdir] [count] [runs]
# bindir holds image_endpoints_bench, image_endpoints_page_bench, rastcore_bench and
# librastcore.so; build them without sanitizers:
#   cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DPELMORA_BENCH=ON
#   ninja -C build-bench image_endpoints_bench image_endpoints_page_bench rastcore_bench rastcore
# The thumbnail comparisons run `runs` times (vipsthumbnail, the handler alone, the page's passes)
# and print every time and the medians. On a shared machine pin the whole run to a few cores
# (taskset -c 6,7 bench/image_endpoints/run.sh ...).
set -euo pipefail
bin=${1:-build-bench/bin}
work=$(realpath -m "${2:-/tmp/image-endpoints-bench}")  # vipsthumbnail reads -o beside its input
count=${3:-200}
runs=${4:-3}
mkdir -p "$work/set"
last=$(printf '%s/set/img%02d.jpg' "$work" $((count - 1)))
[ -f "$last" ] || "$bin/rastcore_bench" gen "$work/set" "$count" 0 > /dev/null
mapfile -t jpgs < <(ls "$work"/set/img*.jpg | sort -V | head -n "$count")

median() { sort -g | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "300 px thumbnails of ${#jpgs[@]} JPEGs of 24 MP"
vips=()
for ((r = 0; r < runs; r++)); do
  "$bin/image_endpoints_bench" thumbs "${jpgs[@]}"
  rm -rf "$work/vips"; mkdir -p "$work/vips"
  start=$(date +%s.%N)
  vipsthumbnail -s 300x300 -o "$work/vips/%s.jpg" "${jpgs[@]}"
  end=$(date +%s.%N)
  vips+=("$(echo "($end - $start) * 1000" | bc)")
  echo "vipsthumbnail -s 300x300: ${vips[-1]} ms"
done
echo "vipsthumbnail -s 300x300, median of $runs: $(printf '%s\n' "${vips[@]}" | median) ms"

echo "getdata of one 24 MP JPEG"
"$bin/image_endpoints_bench" getdata "${jpgs[0]}" 7

echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "from a page in Chromium: thumbnails of the same set, then getdata of the first file"
"$bin/image_endpoints_page_bench" "${jpgs[@]}" --rounds 7 --passes "$runs"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
