#!/usr/bin/env bash
# Times a full scan and a full recovery of a large exFAT volume with `ostrel`
# and, as the reference measured in the same run, with The Sleuth Kit
# (`fls -r -p` for the scan, `tsk_recover -e` for the recovery: all files,
# deleted ones included) on the same image. Prints each figure, the counts,
# and the ratio ostrel / reference.
#
# The volume: a 1 GiB sparse image with 4 KiB clusters, 800 folders (40 x 20,
# two levels deep) of 30 files each, 24,000 files in all: most of a few KiB,
# some up to 64 KiB, one in a hundred up to 1 MiB; then 20 folders and every
# tenth file elsewhere are deleted (2,940 files). It is made with mkfs.exfat
# and filled through an exfat-fuse mount (needs root: exfat-fuse mounts the
# image through a loop device), which takes a minute or two; the image is
# kept in $OSTREL_BENCH_CACHE (default ${TMPDIR:-/tmp}/ostrel-bench-cache)
# and reused by later runs.
#
# The page cache is warm: the image is read through before every run. Each
# command runs once untimed, then five times, in turn with its reference; the
# figure is the median of the five. The recovered files go to a tmpfs
# ($OSTREL_BENCH_OUT, default /dev/shm when it exists): on a disk file system
# the 24,000 files deleted before each run slow down the creation of the
# next 24,000 (ext4 avoids reusing recently freed inodes), and that measures
# the file system rather than the tools.
#
# Usage: bench/compare_exfat_recovery.sh [BUILD_DIR]
# Needs: sleuthkit, exfatprogs, exfat-fuse, python3, time, bc (apt-get install ...).
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/paired_runs.sh  # the scripts run from the top of the tree
build=${1:-build}
need_bench_tools fls tsk_recover mkfs.exfat mount.exfat-fuse losetup python3 bc
bench_folders
# Bump the version when the generator changes, so a stale image is not reused.
image="$cache/exfat-24k-v1.img"

generate() { # makes the volume in $1
  local target=$1
  [ "$(id -u)" = 0 ] || { echo "making the volume needs root (exfat-fuse mounts only block devices as root)" >&2; exit 2; }
  rm -f "$target"
  truncate -s 1G "$target"
  mkfs.exfat -c 4096 -L ostrelbench "$target" >/dev/null
  loop=$(losetup -f --show "$target")
  fuse_mount "$target" mount.exfat-fuse -d -o noatime "$loop" "$mnt"  # -d: in the foreground
  tree_python "$mnt" <<'PY'
import random, sys
from bench_tree import fill_tree
rng = random.Random(20240717)

def size_of():
    r = rng.random()
    if r < 0.80:
        return rng.randint(0, 8192)
    if r < 0.99:
        return rng.randint(8192, 65536)
    return rng.randint(65536, 1 << 20)

# 20 whole folders and every tenth file in the others are deleted.
fill_tree(sys.argv[1], 40, 20, 30, [".txt", ".jpg", ".dat", ".log", ".pdf"],
          lambda: rng.randbytes(size_of()))
PY
  fuse_unmount
  losetup -d "$loop"
  loop=
}

cached_volume exFAT

compare_listings
compare_recoveries
clear_outputs

echo
echo "exFAT, warm page cache, median of $runs runs taken in turn, files recovered into $out_parent (reference: fls -r -p, tsk_recover -e)"
table_head
row "scan time, s" "$ls_time" "$fls_time" .3f
row "entries listed" "$((ls_folders + ls_files))" "$fls_lines" d -
row "deleted entries listed" "$ls_deleted" "$fls_deleted" d -
row "recovery time, s" "$rec_time" "$tsk_time" .3f
row "files saved" "$rec_files" "$tsk_files" d -
echo "fls -r -p also lists the volume label, the bitmap, the up-case table and its virtual entries."
for line in "${notes[@]}"; do echo "note: $line"; done
exit 0
