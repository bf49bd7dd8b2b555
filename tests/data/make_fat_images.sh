#!/usr/bin/env bash
# Builds the FAT fixture images fat16.img and fat32.img and their manifests
# (fat16.manifest.tsv, fat32.manifest.tsv).
#
# The volumes are formatted by mkfs.vfat and filled only through mtools, so
# every directory entry, long name, cluster chain and deletion is what a real
# FAT implementation writes. File contents are generated from a per-file seed,
# and every mtools call runs under faketime at a fixed, advancing clock, so the
# script reproduces the same images and manifests on every run.
#
# Usage: tests/data/make_fat_images.sh [OUTDIR]   (default: the script's folder)
# Needs: mkfs.vfat (dosfstools), mtools, faketime, python3, xz.
# Afterwards run check_images.sh to confirm the manifests with The Sleuth Kit.
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/fixture_lib.sh"
fixture_out "${1:-}"
need_tools "dosfstools mtools faketime python3 xz-utils" mkfs.vfat mcopy mmd mdel mdeltree mattrib faketime python3 xz
fixture_work
# Code page 850 for short names.
fixture_mtools default_codepage=850
export LC_ALL=C.UTF-8 TZ=UTC

fixture_python "$OUT" "$WORK" <<'PY'
import datetime, struct, sys
from fixture import MtoolsImage, fill_recycle_bin

OUT, WORK = sys.argv[1], sys.argv[2]


class FatImage(MtoolsImage):
    def __init__(self, name, fat_bits, size_kib, sectors_per_cluster, serial, label):
        super().__init__(OUT, WORK, name, datetime.datetime(2023, 5, 4, 9, 0, 0))
        self.fat_bits = fat_bits
        self.cs = 512 * sectors_per_cluster
        self.run(["mkfs.vfat", "-F", str(fat_bits), "-s", str(sectors_per_cluster),
                  "-S", "512", "-i", serial, "-n", label, "-C", self.path, str(size_kib)])

    def attrib(self, p, *flags):
        self.mt("mattrib", *flags, "::/" + p)

    def restart_allocation(self):
        """FAT32 keeps a next-free hint in its FSInfo sector and mtools
        allocates after it. Pointing the hint back at cluster 2 makes the next
        write take the first free clusters, as a volume whose hint is stale
        would; FAT16 has no hint and always allocates first fit."""
        if self.fat_bits != 32:
            return
        with open(self.path, "r+b") as f:
            boot = f.read(512)
            fsinfo = struct.unpack_from("<H", boot, 48)[0]
            f.seek(fsinfo * 512 + 492)
            f.write(struct.pack("<I", 2))


def fill(img):
    cs = img.cs
    # ---- phase 1: live tree, recycle bin, and the files deleted at the end ----
    img.put("empty.dat", 0, "size 0: no first cluster")
    img.put("README.TXT", 1, "8.3 upper case: short entry only")
    img.put("lower.txt", 511, "8.3 lower case: short entry only, case byte 0x18")
    img.put("MixedCase.Txt", 512)
    img.put("Café.txt", 513)
    img.put("日本語.txt", cs, "exactly one cluster")
    img.put("name with spaces.txt", cs + 1, "one cluster + 1")
    img.put("archive.tar.gz.part1", 2 * cs - 1)
    img.put("deleted in root.txt", 3 * cs + 100)
    img.put("GONE.TXT", 700)

    img.mkdir("docs")
    img.put("docs/notes.md", 3000)
    img.put("docs/old draft.txt", 2 * cs)
    img.put("docs/Ελληνικά и русский.txt", 77, "Greek and Cyrillic long name")
    img.mkdir("docs/Reports 2023")
    img.put("docs/Reports 2023/budget.2023.v2.csv", 1500)
    img.mkdir("docs/Reports 2023/Q1")
    img.put("docs/Reports 2023/Q1/summary.v1.final.txt", 4096 + 17)
    img.mkdir("docs/Reports 2023/Q1/deep")
    img.put("docs/Reports 2023/Q1/deep/big file.bin", 200 * 1024, "many clusters")
    img.put("docs/Reports 2023/Q1/deep/scratch notes.txt", cs)
    img.put("docs/Reports 2023/Q1/deep/"
            "a very long file name that needs several long name entries 0123456789 abcdefghij.txt",
            2000, "seven long-name entries")
    img.put("docs/Reports 2023/Q1/deep/Ünïcödé façade – test.txt", 333)

    img.mkdir("many", "directory of several clusters, interleaved with file data")
    for i in range(1, 71):
        img.put("many/file %03d.txt" % i, 40 + 7 * i)

    img.mkdir("old project")
    img.put("old project/Read Me.txt", 900)
    img.put("old project/Data File.bin", 40 * 1024)
    img.mkdir("old project/Source Code")
    img.put("old project/Source Code/Main Program.c", 1234)

    bin_ = "$RECYCLE.BIN"
    img.mkdir(bin_, "hidden + system")
    fill_recycle_bin(img, bin_, datetime.datetime(2023, 5, 1, 12, 30, 0), cs)
    img.attrib(bin_ + "/desktop.ini", "+h", "+s")
    img.attrib(bin_, "+h", "+s")

    # ---- phase 2: a fragmented file and a deleted file whose clusters are reused ----
    img.mkdir("frag")
    img.put("frag/part A.bin", 3 * cs)
    img.put("frag/part B.bin", 2 * cs)
    img.put("frag/part C.bin", 3 * cs)
    img.delete("frag/part B.bin", identical=False,
               note="clusters reused by 'part D - fills the gap after B.bin'")
    img.restart_allocation()
    img.put("frag/part D - fills the gap after B.bin", 5 * cs + 100,
            note="fragmented: 2 clusters in B's former gap, the rest after C")

    img.put("frag/part E - reused by G.bin", 2 * cs)
    img.put("frag/part F - after E.bin", cs)
    img.delete("frag/part E - reused by G.bin", identical=False,
               note="clusters reused by 'part G - fragmented, deleted later.bin'")
    img.restart_allocation()
    img.put("frag/part G - fragmented, deleted later.bin", 4 * cs + 1)

    img.mkdir("scratch")
    img.put("scratch/draft v1.txt", 4 * cs)
    img.put("scratch/keep.txt", 100, "written after 'draft v1.txt' so that the later file cannot take its entry slots")
    img.delete("scratch/draft v1.txt", identical=False,
               note="clusters reused by 'draft v2 written afterwards.txt'; its last cluster keeps old bytes after v2's end")
    img.restart_allocation()
    img.put("scratch/draft v2 written afterwards.txt", 3 * cs + 10)

    # ---- phase 3: deletions only; nothing is written afterwards ----
    img.delete("deleted in root.txt", note="deleted in the root, contiguous")
    img.delete("GONE.TXT", note="deleted, short entry only: on disk its name is 0xE5 then 'ONE' and four spaces, extension 'TXT'")
    img.delete("docs/old draft.txt", note="deleted in a subfolder, contiguous")
    img.delete("docs/Reports 2023/Q1/deep/scratch notes.txt", note="deleted three folders deep")
    img.delete("frag/part G - fragmented, deleted later.bin", identical=False,
               note="fragmented before deletion (2 clusters in E's former gap, the rest after F): "
                    "a contiguous read from its first cluster runs into 'part F - after E.bin'")
    img.deltree("old project", note="deleted folder (mdeltree)")


for spec in (("fat16", 16, 16 * 1024, 4, "0F160016", "OSTREL16"),
             ("fat32", 32, 72 * 1024, 2, "0F320032", "OSTREL32")):
    img = FatImage(*spec)
    fill(img)
    img.write_manifest()
    print("built", img.path)
PY

# Compressed copies are what the repository keeps.
compress_images fat16 fat32
