#!/usr/bin/env bash
# Times a full scan and a full recovery of FAT32 volumes with `ostrel` and,
# as the reference measured in the same run, with The Sleuth Kit's
# `tsk_recover -e` (all files, deleted ones included) on the same image.
# Prints each figure and the ratio ostrel / reference.
#
# Usage: bench/compare_fat_recovery.sh [BUILD_DIR]
# Needs: sleuthkit, dosfstools, mtools, xz-utils (apt-get install ...).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
ostrel="$build/ostrel"
[ -x "$ostrel" ] || { echo "build the ostrel command first ($ostrel)" >&2; exit 2; }
command -v tsk_recover >/dev/null || { echo "tsk_recover missing: apt-get install sleuthkit" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The fixture, and a larger volume: 1 GiB FAT32 with 3,000 files of 1 KiB to
# 1 MiB in 30 folders (about 500 MiB of data), a tenth of them deleted.
xz -dc tests/data/fat32.img.xz > "$work/fixture.img"
large="$work/large.img"
mkfs.vfat -F 32 -C "$large" $((1024 * 1024)) >/dev/null
python3 - "$work/files" <<'PY'
import os, random, sys
root = sys.argv[1]
random.seed(7)
for d in range(30):
    os.makedirs(f"{root}/dir{d:02}", exist_ok=True)
    for f in range(100):
        size = random.choice([1024, 4096, 50_000, 200_000, 1_000_000])
        with open(f"{root}/dir{d:02}/file{f:03}.bin", "wb") as out:
            out.write(random.randbytes(size))
PY
mcopy -s -i "$large" "$work/files"/* ::/
for d in $(seq -w 0 29); do
  for f in 000 010 020 030 040 050 060 070 080 090; do mdel -i "$large" "::/dir$d/file$f.bin"; done
done
rm -rf "$work/files"
sync

seconds() { # runs "$@" from a cold page cache and prints the wall time in seconds
  local start end
  sync; echo 3 > /proc/sys/vm/drop_caches 2>/dev/null || true  # needs root; else warm
  start=$(date +%s.%N)
  "$@" >/dev/null 2>&1 || true
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}

report() { printf '%-34s %8.3f s\n' "$1" "$2"; }

for image in "$work/fixture.img" "$large"; do
  name=$(basename "$image")
  scan=$(seconds "$ostrel" ls "$image" --deleted)
  rm -rf "$work/out-ostrel" "$work/out-tsk"
  recover=$(seconds "$ostrel" recover "$image" -o "$work/out-ostrel")
  tsk=$(seconds tsk_recover -e "$image" "$work/out-tsk")
  tsk_list=$(seconds fls -r -p -d "$image")
  echo "== $name ($(du -h --apparent-size "$image" | cut -f1))"
  report "ostrel ls (full scan)" "$scan"
  report "fls -r -p -d (reference scan)" "$tsk_list"
  report "ostrel recover (full recovery)" "$recover"
  report "tsk_recover -e (reference)" "$tsk"
  printf '%-34s %8.2f\n' "ratio recover ostrel/tsk" "$(echo "$recover / $tsk" | bc -l)"
  echo "files saved: ostrel $(find "$work/out-ostrel" -type f | wc -l), tsk $(find "$work/out-tsk" -type f | wc -l)"
done
