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
build=${1:-build}
ostrel="$build/ostrel"
[ -x "$ostrel" ] || { echo "build the ostrel command first ($ostrel)" >&2; exit 2; }
for tool in fls tsk_recover mkfs.exfat mount.exfat-fuse losetup python3 bc; do
  command -v "$tool" >/dev/null || { echo "$tool missing (see Needs: in $0)" >&2; exit 2; }
done
[ -x /usr/bin/time ] || { echo "/usr/bin/time missing: apt-get install time" >&2; exit 2; }

cache=${OSTREL_BENCH_CACHE:-${TMPDIR:-/tmp}/ostrel-bench-cache}
mkdir -p "$cache"
# Bump the version when the generator changes, so a stale image is not reused.
image="$cache/exfat-24k-v1.img"

work=$(mktemp -d)
mnt="$work/mnt"
out_parent=${OSTREL_BENCH_OUT:-$( [ -d /dev/shm ] && [ -w /dev/shm ] && echo /dev/shm || echo "$work")}
outs=$(mktemp -d "$out_parent/ostrel-bench-out.XXXXXX")
fuse_pid=
loop=
cleanup() {
  if [ -n "$fuse_pid" ]; then
    umount "$mnt" 2>/dev/null || true
    wait "$fuse_pid" 2>/dev/null || true
  fi
  [ -n "$loop" ] && losetup -d "$loop" 2>/dev/null || true
  rm -rf "$work" "$outs"
}
trap cleanup EXIT

generate() { # makes the volume in $1
  local target=$1
  [ "$(id -u)" = 0 ] || { echo "making the volume needs root (exfat-fuse mounts only block devices as root)" >&2; exit 2; }
  rm -f "$target"
  truncate -s 1G "$target"
  mkfs.exfat -c 4096 -L ostrelbench "$target" >/dev/null
  loop=$(losetup -f --show "$target")
  mkdir -p "$mnt"
  # In the foreground (-d), so that waiting for it after umount means every
  # write has reached the image.
  mount.exfat-fuse -d -o noatime "$loop" "$mnt" >"$work/fuse.log" 2>&1 &
  fuse_pid=$!
  for _ in $(seq 100); do mountpoint -q "$mnt" && break; sleep 0.1; done
  mountpoint -q "$mnt" || { echo "exfat-fuse did not mount $target:" >&2; tail "$work/fuse.log" >&2; exit 2; }
  python3 - "$mnt" <<'PY'
import os, random, shutil, sys
root = sys.argv[1]
rng = random.Random(20240717)

def size_of():
    r = rng.random()
    if r < 0.80:
        return rng.randint(0, 8192)
    if r < 0.99:
        return rng.randint(8192, 65536)
    return rng.randint(65536, 1 << 20)

kinds = [".txt", ".jpg", ".dat", ".log", ".pdf"]
for a in range(40):
    for b in range(20):
        folder = f"{root}/top{a:02}/folder {a:02}-{b:02}"
        os.makedirs(folder)
        for f in range(30):
            name = f"file{f:02}" + ("_with_a_longer_name" if f % 7 == 0 else "") + kinds[f % 5]
            with open(f"{folder}/{name}", "wb") as out:
                out.write(rng.randbytes(size_of()))

# Deleted: 20 whole folders, and every tenth file in the others.
gone = {(a, 7) for a in range(0, 40, 2)}
for a in range(40):
    for b in range(20):
        folder = f"{root}/top{a:02}/folder {a:02}-{b:02}"
        if (a, b) in gone:
            shutil.rmtree(folder)
            continue
        for name in sorted(os.listdir(folder))[::10]:
            os.unlink(f"{folder}/{name}")
PY
  umount "$mnt"
  wait "$fuse_pid"
  fuse_pid=
  losetup -d "$loop"
  loop=
}

if [ -s "$image" ]; then
  echo "using the cached volume $image"
else
  echo "making the exFAT volume (cached in $cache) ..."
  start=$(date +%s.%N)
  generate "$image.part"
  mv "$image.part" "$image"
  printf 'generated in %.1f s\n' "$(echo "$(date +%s.%N) - $start" | bc -l)"
fi
echo "image: $(du -h --apparent-size "$image" | cut -f1) ($(du -h "$image" | cut -f1) on disk)"

source bench/paired_runs.sh  # the scripts run from the top of the tree
row() { # label, ostrel figure, reference figure, printf format[, - for no ratio]
  printf "%-34s %12$4 %12$4 %8s\n" "$1" "$2" "$3" "$([ "${5:-}" = - ] && echo - || ratio "$2" "$3")"
}

compare_listings
outputs=$outs
compare_recoveries
clear_outputs

echo
echo "exFAT, warm page cache, median of $runs runs taken in turn, files recovered into $out_parent (reference: fls -r -p, tsk_recover -e)"
printf "%-34s %12s %12s %8s\n" "" "ostrel" "reference" "ratio"
row "scan time, s" "$ls_time" "$fls_time" .3f
row "entries listed" "$((ls_folders + ls_files))" "$fls_lines" d -
row "deleted entries listed" "$ls_deleted" "$fls_deleted" d -
row "recovery time, s" "$rec_time" "$tsk_time" .3f
row "files saved" "$rec_files" "$tsk_files" d -
echo "fls -r -p also lists the volume label, the bitmap, the up-case table and its virtual entries."
for line in "${notes[@]}"; do echo "note: $line"; done
exit 0
