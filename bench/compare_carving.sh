#!/usr/bin/env bash
# Times carving over a 2 GiB image of random data that holds about 2,000
# real files at 512-byte-aligned pseudo-random offsets:
#   - `ostrel ls IMAGE --deep --json` (the deep listing),
#   - ostrel_bare_sweep: reading the image and testing a few bytes of every
#     512-byte block, the ceiling for any block-classifying carver,
#   - PhotoRec over the whole image, the reference measured in the same run.
# The page cache is warm: each command runs once untimed, then three times;
# the best time counts. Prints MB/s for each, the ratios ostrel/bare and
# ostrel/PhotoRec, and how many of the embedded files each one found.
#
# The image is built once (about half a minute) and kept in
# $OSTREL_BENCH_CACHE (default: /tmp/ostrel-bench-cache) with its manifest
# (offset, extension, length, source). Its files are the ones in
# tests/data/carve_raw.img.xz, cut out by that image's manifest and used in
# turn; the random data comes from Python's seeded generator, so every run
# and every machine gets the same image.
#
# Usage: bench/compare_carving.sh [BUILD_DIR]   (default: build; needs the
#        ostrel and ostrel_bare_sweep targets built)
# Needs: testdisk (photorec; installed here when missing), python3, xz-utils,
# coreutils (timeout), bc.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
ostrel="$build/ostrel"
bare="$build/bench/ostrel_bare_sweep"
[ -x "$ostrel" ] || { echo "build the ostrel command first ($ostrel)" >&2; exit 2; }
[ -x "$bare" ] || { echo "build the ostrel_bare_sweep target first ($bare)" >&2; exit 2; }
if ! command -v photorec >/dev/null; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq testdisk >/dev/null
fi
for tool in photorec python3 xz timeout bc; do
  command -v "$tool" >/dev/null || { echo "missing tool: $tool" >&2; exit 2; }
done

cache=${OSTREL_BENCH_CACHE:-/tmp/ostrel-bench-cache}
mkdir -p "$cache"
image="$cache/carve-2g-v1.img"
manifest="$cache/carve-2g-v1.manifest.tsv"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# ---- the image --------------------------------------------------------------
if [ ! -f "$image" ] || [ ! -f "$manifest" ]; then
  echo "building $image ..."
  start=$(date +%s.%N)
  python3 - "$image" "$manifest" tests/data/carve_raw.img.xz tests/data/carve_raw.manifest.tsv <<'PY'
import lzma, os, random, sys

image, manifest, fixture, fixture_manifest = sys.argv[1:5]
SIZE = 2 << 30
SECTOR = 512
CHUNK = 64 << 20
COUNT = 2000

raw = lzma.open(fixture).read()
files, seen = [], set()
with open(fixture_manifest) as f:
    next(f)
    for line in f:
        offset, ext, length, _, source, _ = line.rstrip("\n").split("\t")
        if source not in seen:
            seen.add(source)
            files.append((source, ext, raw[int(offset):int(offset) + int(length)]))

# One file in each of COUNT equal slots, at a pseudo-random sector inside it.
places = random.Random(20240301)
slot_sectors = SIZE // SECTOR // COUNT
rows = []
for i in range(COUNT):
    source, ext, data = files[i % len(files)]
    sectors = (len(data) + SECTOR - 1) // SECTOR
    sector = i * slot_sectors + places.randrange(slot_sectors - sectors)
    rows.append((sector * SECTOR, ext, data, source))

part = image + ".part"
fill = random.Random(0x05EED)
with open(part, "wb") as out:
    for _ in range(SIZE // CHUNK):
        out.write(fill.randbytes(CHUNK))
    for offset, _, data, _ in rows:
        out.seek(offset)
        out.write(data)
with open(manifest + ".part", "w") as f:
    f.write("offset\text\tlength\tsource\n")
    for offset, ext, data, source in rows:
        f.write("%d\t%s\t%d\t%s\n" % (offset, ext, len(data), source))
os.replace(manifest + ".part", manifest)
os.replace(part, image)
PY
  end=$(date +%s.%N)
  printf 'built in %.1f s\n' "$(echo "$end - $start" | bc -l)"
fi
bytes=$(stat -c %s "$image")
files=$(($(wc -l < "$manifest") - 1))
echo "image: $image ($bytes bytes, $files embedded files)"

# ---- timing -----------------------------------------------------------------
# best_of NAME SETUP -- COMMAND...: runs SETUP then COMMAND once to warm up,
# then three times; sets best_NAME (seconds) and status_NAME (exit code of
# the last run). SETUP runs before each run and is not timed.
best_of() {
  local name=$1 setup=$2 best="" start end t rc=0
  shift 3
  for run in 0 1 2 3; do
    eval "$setup"
    start=$(date +%s.%N)
    rc=0
    "$@" || rc=$?
    end=$(date +%s.%N)
    [ "$run" -eq 0 ] && continue
    t=$(echo "$end - $start" | bc -l)
    if [ -z "$best" ] || [ "$(echo "$t < $best" | bc -l)" -eq 1 ]; then best=$t; fi
  done
  printf -v "best_$name" '%s' "$best"
  printf -v "status_$name" '%s' "$rc"
}

mbps() { echo "scale=1; $bytes / $1 / 1000000" | bc -l; }

# The deep listing, one JSON object per line.
run_ostrel() { timeout 1800 "$ostrel" ls "$image" --deep --json > "$work/ostrel.jsonl" 2> "$work/ostrel.err"; }
best_of ostrel ":" -- run_ostrel

run_bare() { "$bare" "$image" > "$work/bare.txt"; }
best_of bare ":" -- run_bare

# The sweep alone: `ostrel ls --deep` first searches the whole image for a
# boot sector (a source with no file system is read twice), so the sweep's
# own throughput is measured separately.
sweep_only="$build/bench/ostrel_sweep_only"
best_sweep=""
if [ -x "$sweep_only" ]; then
  run_sweep() { "$sweep_only" "$image" > "$work/sweep.txt"; }
  best_of sweep ":" -- run_sweep
fi

# PhotoRec writes into a fresh folder each time and asks nothing in /cmd mode.
run_photorec() {
  timeout 1800 photorec /d "$work/photorec/out" /cmd "$image" \
    partition_none,fileopt,everything,enable,wholespace,search > /dev/null 2>&1
}
best_of photorec 'rm -rf "$work/photorec"; mkdir -p "$work/photorec"' -- run_photorec

# ---- what each found ----------------------------------------------------------
found=$(python3 - "$image" "$manifest" "$work/ostrel.jsonl" "$work/photorec" <<'PY'
import json, os, re, sys

image, manifest, listing, photorec = sys.argv[1:5]
offsets = {}
with open(manifest) as f:
    next(f)
    for line in f:
        offset, ext, length, source = line.rstrip("\n").split("\t")
        offsets[int(offset)] = ext

# ostrel: carved files are named <hex device offset>.<ext>.
ostrel_hits = set()
with open(listing, errors="replace") as f:
    for line in f:
        try:
            name = json.loads(line).get("name", "")
        except ValueError:
            continue
        m = re.fullmatch(r"([0-9a-f]+)\.[^.]+", name)
        if m and int(m.group(1), 16) in offsets:
            ostrel_hits.add(int(m.group(1), 16))

# PhotoRec: f<sector>[_name].<ext>; a file counts when its first 4 KiB equal
# the image's 4 KiB at that sector (embedded files are shorter than that or
# continue into random data there, as PhotoRec's copy does).
photorec_hits = set()
photorec_files = 0
with open(image, "rb") as img:
    for root, _, names in os.walk(photorec):
        for name in names:
            m = re.match(r"f(\d+)", name)
            photorec_files += bool(m)
            if not m or int(m.group(1)) * 512 not in offsets:
                continue
            offset = int(m.group(1)) * 512
            with open(os.path.join(root, name), "rb") as f:
                head = f.read(4096)
            img.seek(offset)
            if head and img.read(len(head)) == head:
                photorec_hits.add(offset)
print(len(ostrel_hits), len(photorec_hits), photorec_files)
PY
)
read -r found_ostrel found_photorec photorec_files <<< "$found"

echo
printf '%-28s %10s %10s %14s\n' "" "best s" "MB/s" "files found"
if [ "$status_ostrel" -eq 0 ]; then
  printf '%-28s %10.3f %10s %9s/%s\n' "ostrel ls --deep" "$best_ostrel" "$(mbps "$best_ostrel")" "$found_ostrel" "$files"
else
  printf '%-28s %10s %10s %9s/%s   (exit %s: %s)\n' "ostrel ls --deep" "n/a" "n/a" "$found_ostrel" "$files" \
    "$status_ostrel" "$(head -c 200 "$work/ostrel.err" | tr '\n' ' ')"
fi
[ -n "$best_sweep" ] && printf '%-28s %10.3f %10s %14s\n' "sweep alone (engine)" "$best_sweep" "$(mbps "$best_sweep")" \
  "$(awk '{print $NF}' "$work/sweep.txt") carved"
printf '%-28s %10.3f %10s %14s\n' "bare sweep (ceiling)" "$best_bare" "$(mbps "$best_bare")" "-"
printf '%-28s %10.3f %10s %9s/%s\n' "photorec (reference)" "$best_photorec" "$(mbps "$best_photorec")" \
  "$found_photorec" "$files"
echo "photorec wrote $photorec_files files in all"
[ "$status_photorec" -eq 0 ] || echo "photorec exited $status_photorec"
if [ "$status_ostrel" -eq 0 ]; then
  printf 'ratio ostrel/bare (throughput)      %.3f\n' "$(echo "$best_bare / $best_ostrel" | bc -l)"
  printf 'ratio ostrel/photorec (throughput)  %.3f\n' "$(echo "$best_photorec / $best_ostrel" | bc -l)"
  if [ -n "$best_sweep" ]; then
    printf 'ratio sweep/bare (throughput)       %.3f\n' "$(echo "$best_bare / $best_sweep" | bc -l)"
    printf 'ratio sweep/photorec (throughput)   %.3f\n' "$(echo "$best_photorec / $best_sweep" | bc -l)"
  fi
else
  echo "ratio ostrel/bare (throughput)      n/a"
  echo "ratio ostrel/photorec (throughput)  n/a"
fi
