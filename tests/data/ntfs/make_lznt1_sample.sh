#!/bin/sh
# Builds lznt1_units.bin: the stored clusters of a file that ntfs-3g wrote
# into a compressed folder, as they lie on the volume.
#
# The file (136072 bytes, SHA-256 1f17d9bc…a695a2) is three 64 KiB
# compression units on a volume of 4096-byte clusters:
#   unit 0: 4096 bytes of varied text lines, 4096 pseudo-random bytes (ntfs-3g
#           keeps that chunk uncompressed), then 14 chunks of repeated lines;
#           compressed into clusters 2560-2561;
#   unit 1: a hole (never written), sparse;
#   unit 2: 5000 more text lines, the file's end; compressed into cluster 2562.
# Its run list is (2560, 2) (sparse, 30) (2562, 1) (sparse, 15). The output
# is clusters 2560-2562, 12 KiB.
#
# Needs root, FUSE, ntfs-3g, attr (setfattr), sleuthkit (istat) and python3.
# Usage: make_lznt1_sample.sh [OUTPUT_DIR]   (default: this folder)
set -eu
out_dir=$(cd "${1:-$(dirname "$0")}" && pwd)
work=$(mktemp -d)
trap 'umount "$work/mnt" 2>/dev/null || true; rm -rf "$work"' EXIT

python3 - "$work" <<'PY'
import sys
work = sys.argv[1]
words = [b"alpha", b"bravo", b"charlie", b"delta", b"echo", b"foxtrot", b"golf", b"hotel"]
x = 12345
def nxt():
    global x
    x = (x * 1103515245 + 12345) & 0x7fffffff
    return x >> 16
def records(n, first):
    c = bytearray(); i = first
    while len(c) < n:
        v = nxt()
        c += b"record %05d: %s %s\n" % (i, words[v & 7], words[(v >> 3) & 7]); i += 1
    return c[:n]
head = records(4096, 0) + bytes(nxt() & 0xFF for _ in range(4096))
for k in range(2, 16):
    line = (b"chunk %02d:" % k + (b" " + words[k % 8]) * (k % 5 + 1) + b"\n") if k < 8 else b"chunk %02d\n" % k
    head += (line * 4096)[:4096]
open(work + "/head", "wb").write(head)
open(work + "/tail", "wb").write(records(5000, 1000))
PY

truncate -s 16M "$work/volume.img"
mkntfs -F -q -c 4096 -L LZ "$work/volume.img" 2>/dev/null
mkdir "$work/mnt"
ntfs-3g "$work/volume.img" "$work/mnt" -o compression
mkdir "$work/mnt/packed"
setfattr -h -v 0x00000800 -n system.ntfs_attrib_be "$work/mnt/packed"
cp "$work/head" "$work/mnt/packed/sample.txt"
dd if="$work/tail" of="$work/mnt/packed/sample.txt" bs=4096 seek=32 conv=notrunc status=none
umount "$work/mnt"

stat=$(istat "$work/volume.img" 65)
echo "$stat" | grep -q 'Non-Resident, Compressed   size: 136072' || { echo "sample.txt is not compressed" >&2; exit 1; }
[ "$(echo "$stat" | grep -A5 '^Type: \$DATA' | tail -n +2 | tr -s ' \n' ' ')" = \
  "2560 2561 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 2562 0 " ] ||
  { echo "unexpected cluster layout" >&2; exit 1; }
dd if="$work/volume.img" of="$out_dir/lznt1_units.bin" bs=4096 skip=2560 count=3 status=none
