#!/usr/bin/env bash
# Times a full scan and a full recovery of a large NTFS volume with `ostrel`
# and, as the reference measured in the same run, with The Sleuth Kit
# (`fls -r -p` for the scan, `tsk_recover -e` for the recovery: all files,
# deleted ones included) on the same image. Also the peak memory of the scan.
# Prints each figure, the counts, and the ratio ostrel / reference.
#
# The volume: a 2 GiB sparse image, 2,500 folders (50 x 50, two levels deep)
# of 40 files each, 100,000 files in all: most of them small enough to live
# inside their MFT record, some of a few KiB to 256 KiB; then 25 folders and
# every tenth file elsewhere are deleted (10,900 files). It is made with
# mkntfs and filled through an ntfs-3g mount (needs root for the mount) by one
# Python process from a fixed seed, so every run makes the same tree at the
# same MFT entries; that takes under a minute on two cores and leaves about
# 540 MB allocated in the image. The image is kept in $OSTREL_BENCH_CACHE
# (default ${TMPDIR:-/tmp}/ostrel-bench-cache) and reused by later runs.
#
# The page cache is warm: the image is read through before every run. Each
# command runs once untimed, then five times, in turn with its reference; the
# figure is the median of the five.
#
# The last line, when the build has bench/ostrel_bench_file_floor, is what
# making tsk_recover's saved tree costs this machine with no source read:
# plainly, and given their times as `ostrel recover` gives them when it
# saves into a new volume folder. The second figure bounds how fast the saving
# part of `ostrel recover` can be here.
#
# Usage: bench/compare_ntfs_recovery.sh [BUILD_DIR]
# Needs: sleuthkit, ntfs-3g, python3, time, bc (apt-get install ...).
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/paired_runs.sh  # the scripts run from the top of the tree
build=${1:-build}
need_bench_tools fls tsk_recover mkntfs ntfs-3g python3 bc
# The recovered files go to memory when /dev/shm allows: deleting 100,000
# files can take minutes on a disk mounted with discard.
bench_folders
row_width=14
# Bump the version when the generator changes, so a stale image is not reused.
image="$cache/ntfs-100k-v1.img"

generate() { # makes the volume in $1
  local target=$1
  rm -f "$target"
  truncate -s 2G "$target"
  # Zero times and a quick format: the same file set and layout on every run.
  mkntfs -q -F -f -T -L ostrel-bench "$target" >"$work/mkntfs.log" 2>&1 ||
    { cat "$work/mkntfs.log" >&2; exit 2; }
  fuse_mount "$target" ntfs-3g -o no_detach,noatime,big_writes "$target" "$mnt"  # no_detach: in the foreground
  tree_python "$mnt" <<'PY'
import random, sys
from bench_tree import fill_tree
rng = random.Random(20240611)
text = b"the quick brown fox jumps over the lazy dog 0123456789\n"

def size_of():
    r = rng.random()
    if r < 0.86:
        return rng.randint(0, 700)          # resident: kept inside the MFT record
    if r < 0.99:
        return rng.randint(2048, 32768)     # a few KiB
    return rng.randint(32768, 262144)       # up to 256 KiB

def payload(size):
    if size <= 700 and rng.random() < 0.5:
        return (text * (size // len(text) + 1))[:size]
    return rng.randbytes(size)

# 25 whole folders and every tenth file in the others are deleted.
fill_tree(sys.argv[1], 50, 50, 40, [".txt", ".bin", ".dat", ".log", ".cfg"],
          lambda: payload(size_of()))
PY
  fuse_unmount
}

cached_volume NTFS

compare_listings
compare_recoveries
# What making the same tree costs the system alone (bench/file_creation_floor.cpp),
# on the tree tsk_recover saved last.
floor="$build/bench/ostrel_bench_file_floor"
floor_line=
if [ -x "$floor" ] && [ -d "$outputs/b" ]; then
  floor_line=$("$floor" "$outputs/b" "$outputs/floor" 2>&1 || true)
fi
clear_outputs

echo
echo "NTFS, warm page cache, median of $runs runs, taken in turn (reference: fls -r -p, tsk_recover -e)"
table_head
row "scan time, s" "$ls_time" "$fls_time" .3f
row "scan peak memory, KiB" "$ls_rss" "$fls_rss" d
row "entries listed" "$((ls_folders + ls_files))" "$fls_lines" d -
row "deleted entries listed" "$ls_deleted" "$fls_deleted" d
row "recovery time, s" "$rec_time" "$tsk_time" .3f
row "files saved" "$rec_files" "$tsk_files" d
echo "ostrel ls lists $ls_folders folders and $ls_files files, $ls_deleted of them deleted;" \
  "fls -r -p also lists the metadata files and each hard link's extra names."
[ -z "$floor_line" ] || echo "making the saved tree alone, no source read: $floor_line"
for line in "${notes[@]}"; do echo "note: $line"; done
exit 0
