#!/usr/bin/env bash
# The image endpoints beside their peers, on one generated set of 6000x4000 JPEGs (the codec
# benchmark's generator).
#   bench/image_endpoints/run.sh [bindir] [workdir] [count]
# bindir holds image_endpoints_bench, image_endpoints_page_bench, rastcore_bench and
# librastcore.so; build them without sanitizers:
#   cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DPELMORA_TESTS=OFF
#   ninja -C build-bench image_endpoints_bench image_endpoints_page_bench rastcore_bench rastcore
set -euo pipefail
bin=${1:-build-bench/bin}
work=${2:-/tmp/image-endpoints-bench}
count=${3:-200}
mkdir -p "$work/set"
last=$(printf '%s/set/img%02d.jpg' "$work" $((count - 1)))
[ -f "$last" ] || "$bin/rastcore_bench" gen "$work/set" "$count" 0 > /dev/null
mapfile -t jpgs < <(ls "$work"/set/img*.jpg | head -n "$count")

echo "300 px thumbnails of ${#jpgs[@]} JPEGs of 24 MP"
"$bin/image_endpoints_bench" thumbs "${jpgs[@]}"
rm -rf "$work/vips"; mkdir -p "$work/vips"
start=$(date +%s.%N)
vipsthumbnail -s 300x300 -o "$work/vips/%s.jpg" "${jpgs[@]}"
end=$(date +%s.%N)
echo "vipsthumbnail -s 300x300: $(echo "($end - $start) * 1000" | bc) ms"

echo "getdata of one 24 MP JPEG"
"$bin/image_endpoints_bench" getdata "${jpgs[0]}" 7

echo "from a page in Chromium: thumbnails of the same set, then getdata of the first file"
"$bin/image_endpoints_page_bench" "${jpgs[@]}" --rounds 7
