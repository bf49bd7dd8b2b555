#!/usr/bin/env bash
# Builds the NTFS fixture image ntfs_files.img and its manifest
# (ntfs_files.manifest.tsv).
#
# The volume is formatted by mkntfs and filled only through an ntfs-3g mount
# (with -o compression), so every MFT record, index block, run list, attribute
# list, compression unit and deletion is what a real NTFS implementation
# writes. File contents are generated from a per-file seed. ntfs-3g runs under
# libfaketime whose clock is read from a file that the script advances by one
# minute before every operation, so the times ntfs-3g stamps are fixed and the
# script reproduces the same image and manifest on every run.
#
# Usage: tests/data/make_ntfs_images.sh [OUTDIR]   (default: the script's folder)
# Needs: root, /dev/fuse, mkntfs and ntfs-3g (ntfs-3g), libfaketime (faketime),
# python3, xz. Afterwards run check_images.sh to confirm the manifest with The
# Sleuth Kit.
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/fixture_lib.sh"
fixture_out "${1:-}"
need_tools "ntfs-3g faketime python3 xz-utils" mkntfs ntfs-3g umount faketime python3 xz
need_fuse ntfs-3g
fixture_fakelib libfaketime.so.1
fixture_work
export LC_ALL=C.UTF-8 TZ=UTC

fixture_python "$OUT" "$WORK" "$FAKELIB" <<'PY'
import datetime, hashlib, os, shutil, struct, subprocess, sys
from fixture import FuseImage, content, fill_recycle_bin

OUT, WORK, FAKELIB = sys.argv[1], sys.argv[2], sys.argv[3]
NAME = "ntfs_files"
MiB = 1024 * 1024
CLUSTER = 4096
UNIT = 16 * CLUSTER            # one compression unit


def noise(seed, size):
    """Deterministic bytes that do not compress (SHA-256 in counter mode)."""
    out = bytearray()
    i = 0
    while len(out) < size:
        out += hashlib.sha256(("%s:%d" % (seed, i)).encode("utf-8")).digest()
        i += 1
    return bytes(out[:size])


class NtfsImage(FuseImage):
    DRIVER = "ntfs-3g"

    def __init__(self, name, size):
        super().__init__(OUT, WORK, name, size, datetime.datetime(2023, 7, 3, 9, 0, 0),
                         datetime.timedelta(minutes=1), FAKELIB)
        # -T fixes the times, and with them the serial number and GUIDs that
        # mkntfs derives from the clock.
        subprocess.run(["mkntfs", "-q", "-F", "-Q", "-T", "-s", "512", "-c", str(CLUSTER),
                        "-p", "0", "-H", "0", "-S", "0", "-L", "OSTRELNTFS", self.path],
                       check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    def mount_argv(self):
        """ntfs-3g in the foreground. A fresh mount also starts ntfs-3g's
        cluster and MFT-record searches from the beginning again."""
        return ["ntfs-3g", "-o", "compression,big_writes,no_detach", self.path, self.mnt]

    def touch_parent(self, p, t):
        """Adding or removing a name updates the folder's modification time."""
        parent = self.key(p).rpartition("\\")[0]
        if parent in self.rows:
            self.rows[parent]["mtime"] = t

    # -- operations that also keep the manifest ------------------------------
    def mkdir(self, p, note="", t=None):
        t = t or self.tick()
        os.mkdir(self.fs(p))
        self.add_folder(p, t, note)
        self.touch_parent(p, t)

    def write(self, p, data, t, holes=()):
        """Writes data to a new file, skipping the (offset, length) ranges in
        holes (which must be zero in data) so that they are never written."""
        with open(self.fs(p), "wb") as f:
            pos = 0
            for off, n in sorted(holes) + [(len(data), 0)]:
                assert data[off:off + n] == bytes(n)
                if off > pos:
                    f.seek(pos)
                    f.write(data[pos:off])
                pos = off + n
            f.truncate(len(data))
        self.touch_parent(p, t)

    def put_bytes(self, p, data, note="", former="", holes=(), t=None):
        t = t or self.tick()
        self.write(p, data, t, holes)
        self.add_file(p, data, t, note, former)

    def put_reversed(self, p, size, chunk, note=""):
        """Writes a new file back to front, chunk by chunk."""
        t = self.tick()
        data = content(self.name + ":" + p, size)
        with open(self.fs(p), "wb") as f:
            for off in reversed(range(0, size, chunk)):
                f.seek(off)
                f.write(data[off:off + chunk])
        self.touch_parent(p, t)
        self.add_file(p, data, t, note)

    def link(self, src, dst, note="", t=None):
        t = t or self.tick()
        os.link(self.fs(src), self.fs(dst))
        r = dict(self.rows[self.key(src)])
        r["note"] = note
        self.rows[self.key(dst)] = r
        self.touch_parent(dst, t)

    def delete(self, p, identical=True, note=""):
        t = self.tick()
        os.unlink(self.fs(p))
        self.mark_deleted(p, identical, note)
        self.touch_parent(p, t)

    def deltree(self, p, note=""):
        t = self.tick()
        shutil.rmtree(self.fs(p))
        for r in self.mark_tree_deleted(p, note):
            if r["kind"] == "folder":
                r["mtime"] = t              # emptied before it was removed
        self.touch_parent(p, t)

    def attrib(self, p, value):
        """Sets the NTFS file attributes (FILE_ATTRIBUTE_* bits) through
        ntfs-3g's extended attribute."""
        self.tick()
        os.setxattr(self.fs(p), "system.ntfs_attrib_be", struct.pack(">I", value),
                    follow_symlinks=False)


FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_SYSTEM = 0x2, 0x4
FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_COMPRESSED = 0x10, 0x800

img = NtfsImage(NAME, 32 * MiB)
img.mount()

# ---- phase 1: everything that is created ----
img.put("empty.dat", 0, "size 0, resident")
img.put("one byte.txt", 1, "resident")
img.put("Café.txt", 300, "resident")
img.put("resident 600.txt", 600, "resident: about the most a record holds beside this name and a security descriptor")
img.put("not resident 700.txt", 700, "too big for its record: one cluster")
img.put("name with spaces.txt", 4095, "one cluster - 1")
img.put("archive.tar.gz.part1", 4096, "exactly one cluster")
img.put("summary.v1.final.txt", 4097, "one cluster + 1")
img.put("deleted in root.txt", 3 * CLUSTER + 100)
img.put("deleted resident.txt", 200)

img.mkdir("docs")
img.put("docs/notes.md", 3000)
img.put("docs/old draft.txt", 2 * CLUSTER + 5)
img.put("docs/Ελληνικά и русский.txt", 77, "Greek and Cyrillic name")
img.mkdir("docs/Reports 2023")
img.put("docs/Reports 2023/budget.2023.v2.csv", 1500)
img.mkdir("docs/Reports 2023/Q1")
img.put("docs/Reports 2023/Q1/two MiB.bin", 2 * MiB, "2 MiB, non-resident")
img.mkdir("docs/Reports 2023/Q1/deep",
          "its index root outgrew the record (254-character name): $ATTRIBUTE_LIST, "
          "$INDEX_ROOT in an extension record")
img.put("docs/Reports 2023/Q1/deep/big file.bin", 200 * 1024, "200 KiB, non-resident")
img.put("docs/Reports 2023/Q1/deep/scratch notes.txt", CLUSTER + 33)
img.put("docs/Reports 2023/Q1/deep/"
        "a very long file name that goes on and on well past the old limits of short names, "
        "with spaces, commas, several.dots.and digits 0123456789 "
        "- abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ - "
        "and then some more words until it is close to the end.txt", 2000,
        "a name of 254 characters")
img.put("docs/Reports 2023/Q1/deep/Ünïcödé façade – test.txt", 333)

img.mkdir("Café")
img.mkdir("Café/日本語")
img.mkdir("Café/日本語/Ελληνικά и кириллица")
img.put("Café/日本語/Ελληνικά и кириллица/emoji 🎉 party 😀.txt", 150,
        "name with characters outside the BMP (surrogate pairs in UTF-16)")
img.put("Café/日本語/日本語のファイル.txt", 5000)

# Sparse: data only in the first cluster and at 768 KiB; the rest never written.
img.mkdir("sparse")
body = bytearray(content(NAME + ":sparse/sparse 1 MiB.bin", MiB))
for a, b in ((CLUSTER, 768 * 1024), (768 * 1024 + CLUSTER, MiB)):
    body[a:b] = bytes(b - a)
img.put_bytes("sparse/sparse 1 MiB.bin", bytes(body),
              "sparse: data in its first cluster and at 768 KiB, holes elsewhere",
              holes=((CLUSTER, 768 * 1024 - CLUSTER), (768 * 1024 + CLUSTER, MiB - 768 * 1024 - CLUSTER)))

# Compressed: files created in a folder marked compressed are compressed.
img.mkdir("compressed", "marked compressed: new files in it are compressed")
img.attrib("compressed", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_COMPRESSED)
img.put("compressed/text 100 KiB.txt", 100 * 1024, "compressed, compresses well")
img.put_bytes("compressed/noise 40 KiB.bin", noise(NAME + ":compressed/noise 40 KiB.bin", 40 * 1024),
              "compressed attribute, but the data does not compress: stored as is")
p = "compressed/mixed units.bin"
body = (content(NAME + ":" + p, UNIT) + noise(NAME + ":" + p, UNIT) + bytes(UNIT)
        + content(NAME + ":" + p + ":3", UNIT) + content(NAME + ":" + p + ":4", 1000))
img.put_bytes(p, body, "compressed, five units: text (compressed), noise (stored as is), "
              "never written (sparse), text (compressed), 1000 bytes of text (one cluster, as is)",
              holes=((2 * UNIT, UNIT),))
img.put("compressed/deleted compressed.txt", 50 * 1024)
img.mkdir("compressed/sub", "inherits the compressed mark")
img.put("compressed/sub/inner.txt", 20 * 1024, "compressed (its folder inherited the mark)")

# Fragmented: written back to front. Each write fills the hole just before the
# data written last; ntfs-3g asks for the cluster just before that data, finds
# it taken and looks elsewhere, so every chunk becomes a run of its own. The
# runs alternate between the two large free areas of the volume and go
# backwards within each.
img.mkdir("frag")
img.put_reversed("frag/fragmented.bin", 6 * 2 * CLUSTER, 2 * CLUSTER,
                 "fragmented: six runs of two clusters, written back to front")
img.put_reversed("frag/fragmented, deleted later.bin", 5 * 2 * CLUSTER, 2 * CLUSTER)
# Hundreds of runs: the run list no longer fits in the base record; the file
# gets an attribute list and $DATA extents in extension records.
img.put_reversed("frag/400 runs.bin", 400 * CLUSTER, CLUSTER,
                 "400 runs of one cluster: $ATTRIBUTE_LIST, $DATA extents in extension records")

# Hard links: one file under three names in three folders.
img.mkdir("links")
img.put("links/original.txt", 5000, "hard link: one record, three names")
img.link("links/original.txt", "docs/second name.txt", "hard link to \\links\\original.txt")
img.link("links/original.txt", "Café/日本語/third name.txt", "hard link to \\links\\original.txt")

# Very many names: the $FILE_NAME attributes overflow into extension records
# and the attribute list itself becomes non-resident.
img.mkdir("many links")
img.put("many links/target.bin", 3000, "120 names: $ATTRIBUTE_LIST, $FILE_NAME in extension records")
t = img.tick()
for i in range(1, 120):
    img.link("many links/target.bin", "many links/another name for the target %03d.bin" % i,
             "hard link to \\many links\\target.bin", t=t)

# A folder with 3000 entries: its $I30 index is a B-tree of several levels.
img.mkdir("big folder")
t = img.tick()
for i in range(1, 3001):
    img.put("big folder/entry %04d with a long name so that the index grows quickly.txt" % i,
            20 + i % 61, t=t)
img.rows[img.key("big folder")]["note"] = "3000 entries: $I30 index of several levels"

img.mkdir("old project")
img.put("old project/Read Me.txt", 900)
img.put("old project/Data File.bin", 40 * 1024)
img.mkdir("old project/Source Code")
img.put("old project/Source Code/Main Program.c", 1234)

# A recycle bin as Windows keeps it on NTFS: one folder per user SID.
sid = "$RECYCLE.BIN/S-1-5-21-1111111111-2222222222-3333333333-1001"
img.mkdir("$RECYCLE.BIN", "hidden + system")
img.mkdir(sid, "a user's recycle bin")
fill_recycle_bin(img, sid, datetime.datetime(2023, 7, 1, 12, 30, 0), CLUSTER, folder_layout=2,
                 odd_items=False)
img.attrib(sid + "/desktop.ini", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)
img.attrib(sid, FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)
img.attrib("$RECYCLE.BIN", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)

# ---- phase 2: a deleted file whose clusters are reused ----
# After a fresh mount ntfs-3g puts a new file's first clusters at the start of
# the largest free area. 'draft v1' goes there, is deleted, and after the next
# fresh mount 'draft v2' (whose record exists already) is written into the
# same clusters. No record is created after 'draft v1' is deleted, so the
# records of deleted files stay.
img.remount()
img.mkdir("scratch")
img.put("scratch/draft v1.txt", 5 * CLUSTER)
img.put_bytes("scratch/draft v2 written afterwards.txt", b"")
img.delete("scratch/draft v1.txt", identical=False,
           note="record kept, its first four clusters reused by 'draft v2 written afterwards.txt'")
img.remount()
p = "scratch/draft v2 written afterwards.txt"
t = img.tick()
d = content(NAME + ":" + p, 3 * CLUSTER + 10)
with open(img.fs(p), "wb") as f:
    f.write(d)
img.rows[img.key(p)].update(size=len(d), sha=hashlib.sha256(d).hexdigest(), mtime=t,
                            note="written into the first four clusters 'draft v1.txt' had")

# ---- phase 3: deletions only; nothing is written afterwards ----
img.delete("deleted in root.txt", note="deleted in the root; record and clusters kept")
img.delete("deleted resident.txt", note="deleted; its data is resident in the record")
img.delete("docs/old draft.txt", note="deleted in a subfolder")
img.delete("docs/Reports 2023/Q1/deep/scratch notes.txt", note="deleted three folders deep")
img.delete("frag/fragmented, deleted later.bin",
           note="deleted, fragmented (five runs): its run list rebuilds it")
img.delete("compressed/deleted compressed.txt", note="deleted, compressed")
img.deltree("old project", note="deleted folder (rm -rf)")

img.umount()
img.write_manifest()
print("built", img.path)
PY

# The compressed copy is what the repository keeps.
compress_images ntfs_files
