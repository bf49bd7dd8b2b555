#!/usr/bin/env bash
# Builds the exFAT fixture image exfat_files.img and its manifest
# (exfat_files.manifest.tsv).
#
# The volume is formatted by mkfs.exfat and filled only through an exfat-fuse
# mount, so every entry set, name, cluster chain, contiguous ("no FAT chain")
# allocation and deletion is what a real exFAT implementation writes. File
# contents are generated from a per-file seed. mkfs.exfat and exfat-fuse run
# under libfaketime: mkfs.exfat at a fixed clock (which fixes the volume
# serial), exfat-fuse with a clock read from a file that the script advances
# by 61 seconds before every operation (so creation stamps alternate between
# even and odd seconds, the odd ones kept in the 10-ms field), and the script
# reproduces the same image and manifest on every run.
#
# Usage: tests/data/make_exfat_images.sh [OUTDIR]   (default: the script's folder)
# Needs: root (exfat-fuse mounts only block devices as root, so the image is
# attached to a loop device), /dev/fuse, mkfs.exfat (exfatprogs), exfat-fuse,
# losetup (mount), libfaketime (faketime), python3, xz. Afterwards run
# check_images.sh to confirm the manifest with The Sleuth Kit.
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/fixture_lib.sh"
fixture_out "${1:-}"
need_tools "exfatprogs exfat-fuse mount faketime python3 xz-utils" mkfs.exfat mount.exfat-fuse losetup umount faketime python3 xz
[ "$(id -u)" = 0 ] || { echo "exfat-fuse mounts the image through a loop device: run as root" >&2; exit 1; }
need_fuse exfat-fuse
fixture_fakelib libfaketimeMT.so.1
fixture_work
export LC_ALL=C.UTF-8 TZ=UTC

fixture_python "$OUT" "$WORK" "$FAKELIB" <<'PY'
import datetime, os, shutil, subprocess, sys
from fixture import FuseImage, fill_recycle_bin

OUT, WORK, FAKELIB = sys.argv[1], sys.argv[2], sys.argv[3]
NAME = "exfat_files"
MiB = 1024 * 1024
CLUSTER = 4096


class ExfatImage(FuseImage):
    DRIVER = "exfat-fuse"

    def __init__(self, name, size, label):
        # 61 seconds a tick, so that creation stamps alternate between even
        # and odd seconds.
        start = datetime.datetime(2023, 8, 7, 9, 0, 0)
        super().__init__(OUT, WORK, name, size, start, datetime.timedelta(seconds=61), FAKELIB)
        subprocess.run(["faketime", "-f", self.clock.strftime("%Y-%m-%d %H:%M:%S"),
                        "mkfs.exfat", "-c", str(CLUSTER), "-L", label, self.path],
                       check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        self.loop = subprocess.run(["losetup", "-f", "--show", self.path], check=True,
                                   capture_output=True, text=True).stdout.strip()
        with open(os.path.join(WORK, "loop"), "w") as f:
            f.write(self.loop)

    def mount_argv(self):
        """exfat-fuse in the foreground (-d) on the loop device."""
        return ["mount.exfat-fuse", "-d", "-o", "noatime", self.loop, self.mnt]

    def close(self):
        self.umount()
        subprocess.run(["losetup", "-d", self.loop], check=True)
        os.unlink(os.path.join(WORK, "loop"))

    # -- operations that also keep the manifest ------------------------------
    def mkdir(self, p, note=""):
        t = self.tick()
        os.mkdir(self.fs(p))
        self.add_folder(p, t, note)

    def put_bytes(self, p, data, note="", former=""):
        t = self.tick()
        with open(self.fs(p), "wb") as f:
            f.write(data)
        self.add_file(p, data, t, note, former)

    def delete(self, p, identical=True, note=""):
        """Deletes a file. exfat-fuse frees its clusters once the file's last
        reference is gone, which may be after unlink returns: the remount
        makes sure they are free before anything else is written."""
        self.tick()
        os.unlink(self.fs(p))
        self.mark_deleted(p, identical, note)
        self.remount()

    def deltree(self, p, note=""):
        """Deletes a folder and everything in it, files first, as rm -r
        does; the entries inside keep their places in the folder's clusters."""
        self.tick()
        shutil.rmtree(self.fs(p))
        self.mark_tree_deleted(p, note)
        self.remount()


img = ExfatImage(NAME, 32 * MiB, "OSTRELXF")
cs = CLUSTER
img.mount()

# ---- phase 1: live tree, recycle bin, and the files deleted at the end ----
img.put("empty.dat", 0, "size 0: no first cluster")
img.put("one byte.txt", 1)
img.put("size 511.bin", 511)
img.put("size 512.bin", 512)
img.put("size 513.bin", 513)
img.put("one cluster.bin", cs, "exactly one cluster")
img.put("one cluster and one byte.bin", cs + 1)
img.put("Café.txt", 700, "non-ASCII name")
img.put("日本語のファイル名.txt", 2000, "CJK name")
img.put("clef 𝄞 and smile 😀 outside the BMP.txt", 300,
        "characters outside the BMP: surrogate pairs in the name")
img.put("L" + "o" * 248 + "ng.txt", 1000, "a name of 255 characters: 17 File Name entries")
img.put("deleted in root.txt", 3 * cs + 100)

img.mkdir("docs")
img.put("docs/notes.md", 3000)
img.put("docs/old draft.txt", 2 * cs)
img.put("docs/Ελληνικά и русский.txt", 77, "Greek and Cyrillic name")
img.mkdir("docs/Reports 2023")
img.put("docs/Reports 2023/budget.2023.v2.csv", 1500)
img.mkdir("docs/Reports 2023/Q1")
img.put("docs/Reports 2023/Q1/summary.v1.final.txt", 4096 + 17)
img.mkdir("docs/Reports 2023/Q1/deep")
img.put("docs/Reports 2023/Q1/deep/big file.bin", 200 * 1024, "many clusters, contiguous (no FAT chain)")
img.put("docs/Reports 2023/Q1/deep/scratch notes.txt", cs)
img.put("docs/Reports 2023/Q1/deep/Ünïcödé façade – test.txt", 333)

img.mkdir("many", "a folder of many clusters, interleaved with file data: a chained folder")
for i in range(1, 201):
    img.put("many/file %03d with a longer name.txt" % i, 40 + 7 * i)

img.mkdir("old project")
img.put("old project/Read Me.txt", 900)
img.put("old project/Data File.bin", 40 * 1024)
img.mkdir("old project/Source Code")
img.put("old project/Source Code/Main Program.c", 1234)

bin_ = "$RECYCLE.BIN"
img.mkdir(bin_, "the recycle bin, its pairs directly inside")
fill_recycle_bin(img, bin_, datetime.datetime(2023, 8, 1, 12, 30, 0), cs)

# ---- phase 2: fragmented (chained) files and a file whose clusters are reused ----
# exfat-fuse allocates first fit from the start of the heap, so a file written
# after a deletion takes the freed clusters first and continues after the
# file that follows them.
img.mkdir("frag")
img.put("frag/part A.bin", 3 * cs)
img.put("frag/part B.bin", 2 * cs)
img.put("frag/part C.bin", 3 * cs)
img.delete("frag/part B.bin", identical=False,
           note="clusters reused by 'part D - fills the gap after B.bin'")
img.put("frag/part D - fills the gap after B.bin", 5 * cs + 100,
        note="fragmented (chained): 2 clusters in B's former gap, the rest after C")

img.put("frag/part E - reused by G.bin", 2 * cs)
img.put("frag/part F - after E.bin", cs)
img.delete("frag/part E - reused by G.bin", identical=False,
           note="clusters reused by 'part G - fragmented, deleted later.bin'")
img.put("frag/part G - fragmented, deleted later.bin", 4 * cs + 1)

img.mkdir("scratch")
img.put("scratch/draft v1.txt", 4 * cs)
img.put("scratch/keep.txt", 100, "written after 'draft v1.txt' so that the later file cannot take its entry slots")
img.delete("scratch/draft v1.txt", identical=False,
           note="clusters reused by 'draft v2 written afterwards.txt'")
img.put("scratch/draft v2 written afterwards.txt", 3 * cs + 10)

# ---- phase 3: deletions only; nothing is written afterwards ----
img.delete("deleted in root.txt", note="deleted in the root, contiguous")
img.delete("docs/old draft.txt", note="deleted in a subfolder, contiguous")
img.delete("docs/Reports 2023/Q1/deep/scratch notes.txt", note="deleted three folders deep")
img.delete("frag/part G - fragmented, deleted later.bin", identical=False,
           note="chained before deletion (2 clusters in E's former gap, the rest after F); deleting it "
                "zeroed its table entries, so a contiguous read from its first cluster runs into "
                "'part F - after E.bin'")
img.deltree("old project", note="deleted folder, its files and subfolder deleted first (rm -r)")
img.close()
img.write_manifest()
print("built", img.path)
PY

# The compressed copy is what the repository keeps.
compress_images exfat_files
