#!/usr/bin/env bash
# Codec benchmarks, side by side with the peers, on one generated set: fifty 6000x4000 JPEGs,
# five PNGs and a TIFF of the same size.
#   bench/rastcore/run.sh [bindir] [workdir]
# bindir holds rastcore_bench and librastcore.so; build them without sanitizers:
#   cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DPELMORA_TESTS=OFF
#   ninja -C build-bench rastcore_bench
# Prints wall time and peak memory (max RSS of the largest process) for each job.
set -euo pipefail
bin=${1:-build-bench/bin}
work=${2:-/tmp/rastcore-bench}
mkdir -p "$work/set"
[ -f "$work/set/img49.jpg" ] || "$bin/rastcore_bench" gen "$work/set" 50 5 > /dev/null
jpgs=("$work"/set/img*.jpg)
pngs=("$work"/set/img*.png)
conv=("${jpgs[@]:0:5}")

run() {  # label, command...
  local label=$1; shift
  rm -rf "$work/out"; mkdir -p "$work/out"
  /usr/bin/time -o "$work/time.txt" -f "%e %M" "$@" > /dev/null 2> "$work/err.txt" ||
    { echo "$label: FAILED"; cat "$work/err.txt"; return; }
  read -r secs kb < "$work/time.txt"
  printf '%-44s %8.2f s %8d MB\n' "$label" "$secs" "$((kb / 1024))"
}

echo "thumbnails to 300 px, ${#jpgs[@]} JPEGs of 24 MP"
run "ours (c_read_thumbnail, one process)" "$bin/rastcore_bench" thumb "$work/out" "${jpgs[@]}"
run "vipsthumbnail -s 300" vipsthumbnail -s 300x300 -o "$work/out/%s_vips.jpg" "${jpgs[@]}"
run "convert -thumbnail 300x300 (per file)" bash -c \
  'out=$1; shift; for f; do convert "$f" -thumbnail 300x300 "$out/$(basename "$f" .jpg)_im.jpg"; done' \
  _ "$work/out" "${jpgs[@]}"

echo "full decode to RGBA, ${#jpgs[@]} JPEGs"
run "ours (c_read_image_rgba)" "$bin/rastcore_bench" rgba "${jpgs[@]}"
run "libjpeg-turbo directly (tjDecompress2)" "$bin/rastcore_bench" turbo "${jpgs[@]}"

echo "JPEG -> PNG, ${#conv[@]} files"
run "ours (c_copy_image_to)" "$bin/rastcore_bench" convert png "$work/out" "${conv[@]}"
run "vips copy (per file)" bash -c \
  'out=$1; shift; for f; do vips copy "$f" "$out/$(basename "$f" .jpg)_vips.png"; done' \
  _ "$work/out" "${conv[@]}"
run "convert (per file)" bash -c \
  'out=$1; shift; for f; do convert "$f" "$out/$(basename "$f" .jpg)_im.png"; done' \
  _ "$work/out" "${conv[@]}"

echo "PNG -> WebP, ${#pngs[@]} files"
run "ours (c_copy_image_to)" "$bin/rastcore_bench" convert webp "$work/out" "${pngs[@]}"
run "vips copy (per file)" bash -c \
  'out=$1; shift; for f; do vips copy "$f" "$out/$(basename "$f" .png)_vips.webp"; done' \
  _ "$work/out" "${pngs[@]}"
run "convert (per file)" bash -c \
  'out=$1; shift; for f; do convert "$f" "$out/$(basename "$f" .png)_im.webp"; done' \
  _ "$work/out" "${pngs[@]}"
