#!/usr/bin/env bash
# Builds the carving fixtures: images that hold real files at known
# 512-byte-aligned offsets where no directory points at them, so only a sweep
# that names blocks by their first bytes finds them.
#
#   carve_raw.img   8 MiB, no file system: files back to back, separated by
#                   zero runs, by random filler and by a 0x5A byte pattern;
#                   the last file ends at the last byte of the image.
#   carve_disk.img  16 MiB MBR disk with one FAT16 partition; files in the
#                   unpartitioned space after the MBR and after the partition,
#                   and one deleted file (entry kept) in the volume's free space.
#   carve_fat.img   16 MiB FAT16 volume (2 KiB clusters) whose files were deleted with mdel and
#                   whose directory entries were then overwritten with zeros;
#                   their clusters are contiguous and intact.
#
# Each image gets carve_NAME.manifest.tsv: offset (device byte offset of the
# file's first byte), ext (what type identification names the block), length
# and sha256 of the original file, source (its name in filetype/samples, or
# the name of a file this script makes), note.
#
# The files come from tests/data/filetype/samples, which are whole files when
# smaller than the sample cut; the WAV and the SQLite database there are cut
# to 4 KiB, so whole ones are made here (Python's wave and sqlite3 modules).
# Random filler comes from seeded generators and mtools runs under faketime
# at a fixed, advancing clock, so two runs give identical images.
#
# Usage: tests/data/make_carve_images.sh [OUTDIR]   (default: the script's folder)
# Needs: sfdisk (fdisk), mkfs.vfat (dosfstools), mtools, faketime, python3, xz.
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/fixture_lib.sh"
fixture_out "${1:-}"
need_tools "fdisk dosfstools mtools faketime python3 xz-utils" sfdisk mkfs.vfat mcopy mdel mmd faketime python3 xz
fixture_work
fixture_mtools
export LC_ALL=C.UTF-8 TZ=UTC

fixture_python "$OUT" "$WORK" "$HERE/filetype/samples" <<'PY'
import datetime, hashlib, io, math, os, random, sqlite3, struct, subprocess, sys, wave
from fixture import FixedClock

OUT, WORK, SAMPLES = sys.argv[1:4]
KiB, MiB, SECTOR = 1024, 1024 * 1024, 512

# mtools and mkfs.vfat run at a fixed clock that advances by a minute a call.
run = FixedClock(datetime.datetime(2024, 3, 1, 10, 0, 0)).run


def align(n):
    return (n + SECTOR - 1) // SECTOR * SECTOR


# ---- the files ------------------------------------------------------------------
def sample(name):
    with open(os.path.join(SAMPLES, name), "rb") as f:
        return f.read()


def make_wav():
    """One second of a 440 Hz tone, 8 kHz mono 16-bit: 16,044 bytes."""
    buf = io.BytesIO()
    with wave.open(buf, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(8000)
        w.writeframes(b"".join(struct.pack("<h", int(12000 * math.sin(2 * math.pi * 440 * i / 8000)))
                               for i in range(8000)))
    return buf.getvalue()


def make_db():
    """An SQLite database of 1 KiB pages holding 60 rows: several pages."""
    path = os.path.join(WORK, "table.db")
    con = sqlite3.connect(path)
    con.execute("pragma page_size = 1024")
    con.execute("pragma journal_mode = delete")
    con.execute("create table photos (id integer primary key, name text, taken text)")
    con.executemany("insert into photos values (?, ?, ?)",
                    [(i, "holiday picture number %03d" % i, "2024-03-%02d 10:%02d" % (1 + i % 28, i % 60))
                     for i in range(60)])
    con.commit()
    con.close()
    with open(path, "rb") as f:
        return f.read()


# source name -> (bytes, extension that identification gives with the bytes
# that follow in view). Where the first sector alone names it differently the
# note says so.
FILES = {name: sample(name) for name in (
    "image.jpg", "image.png", "image.gif", "doc.pdf", "archive.zip", "document.docx", "text.odt",
    "compound.xls", "compound.doc", "audio.mp3", "page.html")}
FILES["tone.wav"] = make_wav()
FILES["table.db"] = make_db()
EXT = {"image.jpg": "jpg", "image.png": "png", "image.gif": "gif", "doc.pdf": "pdf",
       "archive.zip": "zip", "document.docx": "docx", "text.odt": "zip", "compound.xls": "xls",
       "compound.doc": "doc", "audio.mp3": "mp3", "page.html": "html", "tone.wav": "wav",
       "table.db": "db"}
FIRST_SECTOR_NOTE = {
    "document.docx": "the first sector alone names it zip; the entries after it make it docx",
    "text.odt": "an OpenDocument text is named zip",
    "compound.xls": "the first sector alone names it $ms-compound-file; its directory makes it xls",
    "compound.doc": "the first sector alone names it $ms-compound-file; its directory makes it doc",
}


def random_filler(seed, size):
    return random.Random(seed).randbytes(size)


def pattern_filler(size):
    return b"\x5a" * size


class Image:
    def __init__(self, name, size):
        self.name, self.size = name, size
        self.path = os.path.join(OUT, name + ".img")
        if os.path.exists(self.path):
            os.unlink(self.path)
        with open(self.path, "wb") as f:
            f.truncate(size)
        self.rows = []

    def write(self, offset, data):
        assert offset + len(data) <= self.size, (self.name, offset)
        with open(self.path, "r+b") as f:
            f.seek(offset)
            f.write(data)
        return offset + len(data)

    def put(self, offset, source, note):
        """Writes a file at a sector-aligned offset; returns the next sector boundary."""
        assert offset % SECTOR == 0
        data = FILES[source]
        self.row(offset, source, note)
        return align(self.write(offset, data))

    def row(self, offset, source, note):
        data = FILES[source]
        extra = FIRST_SECTOR_NOTE.get(source)
        self.rows.append((offset, EXT[source], len(data), hashlib.sha256(data).hexdigest(), source,
                          "; ".join(x for x in (note, extra) if x)))

    def manifest(self):
        with open(os.path.join(OUT, self.name + ".manifest.tsv"), "w") as f:
            f.write("offset\text\tlength\tsha256\tsource\tnote\n")
            for r in sorted(self.rows):
                f.write("%d\t%s\t%d\t%s\t%s\t%s\n" % r)


# ---- carve_raw.img: no file system --------------------------------------------
raw = Image("carve_raw", 8 * MiB)
# The first 64 KiB stay zero: no boot sector, no partition table.
p = raw.put(64 * KiB, "image.jpg", "followed directly by the next file")
p = raw.put(p, "image.png", "back to back after a file, followed directly by the next file")
p = raw.put(p, "image.gif", "back to back after a file; zeros follow")
p = raw.put(256 * KiB, "doc.pdf", "random filler follows")
p = raw.write(p, random_filler("raw:1", 16 * KiB))
p = raw.put(p, "archive.zip", "after random filler, followed directly by the next file")
p = raw.put(p, "document.docx", "back to back after a file; 0x5A filler follows")
p = raw.write(p, pattern_filler(8 * KiB))
p = raw.put(p, "text.odt", "after 0x5A filler; zeros follow")
p = raw.put(1 * MiB, "compound.xls", "followed directly by the next file")
p = raw.put(p, "compound.doc", "back to back after a file; random filler follows")
p = raw.write(p, random_filler("raw:2", 4 * KiB))
p = raw.put(p, "tone.wav", "after random filler; zeros follow")
p = raw.put(2 * MiB + 3 * SECTOR, "audio.mp3", "starts on an odd sector; one sector of random filler follows")
p = raw.write(p, random_filler("raw:3", SECTOR))
p = raw.put(p, "table.db", "after one sector of random filler; 0x5A filler follows")
p = raw.write(p, pattern_filler(3 * KiB))
p = raw.put(5 * MiB, "image.jpg", "a second copy of a file, between zero runs")
p = raw.put(raw.size - SECTOR, "page.html", "in the last sector: the file ends at the end of the image")
raw.manifest()

# ---- carve_disk.img: MBR, one FAT16 partition, unpartitioned space -----------
PART_START, PART_SECTORS = 2048, 8192  # 1 MiB in, 4 MiB long
disk = Image("carve_disk", 16 * MiB)
script = ("label: dos\nlabel-id: 0x43415256\nunit: sectors\nsector-size: 512\n\n"
          "start=%d, size=%d, type=6\n" % (PART_START, PART_SECTORS))
subprocess.run(["sfdisk", "--no-reread", "--no-tell-kernel", "-q", disk.path], input=script.encode(),
               check=True, stdout=subprocess.DEVNULL)

vol = os.path.join(WORK, "disk_vol.img")
run(["mkfs.vfat", "-F", "16", "-s", "1", "-S", str(SECTOR), "-h", str(PART_START), "-i", "CA4D0016",
     "-n", "CARVEDISK", "-C", vol, str(PART_SECTORS * SECTOR // KiB)])


def src(name):
    path = os.path.join(WORK, name)
    with open(path, "wb") as f:
        f.write(FILES[name])
    return path


# Live files (allocated: a sweep of free blocks does not reach them, so they
# are not in the manifest), then a file that is deleted with its entry kept.
run(["mcopy", "-i", vol, src("image.png"), "::/LIVE.PNG"])
run(["mcopy", "-i", vol, src("page.html"), "::/live.html"])
run(["mcopy", "-i", vol, src("image.gif"), "::/deleted.gif"])
run(["mdel", "-i", vol, "::/deleted.gif"])


def fat16_geometry(image, base=0):
    with open(image, "rb") as f:
        f.seek(base)
        b = f.read(SECTOR)
    bps, spc, reserved, fats, root_entries = struct.unpack_from("<HBHBH", b, 11)
    fat_sectors = struct.unpack_from("<H", b, 22)[0]
    root = base + (reserved + fats * fat_sectors) * bps
    data = root + root_entries * 32
    return dict(root=root, root_entries=root_entries, data=data, cluster=spc * bps)


def root_entries(image, g):
    """(byte offset of the entry, raw 32 bytes) for each root-directory slot."""
    with open(image, "rb") as f:
        f.seek(g["root"])
        raw_dir = f.read(g["root_entries"] * 32)
    return [(g["root"] + i * 32, raw_dir[i * 32:i * 32 + 32]) for i in range(g["root_entries"])]


g = fat16_geometry(vol)
deleted = [e for _, e in root_entries(vol, g) if e[0] == 0xE5 and e[11] != 0x0F]
assert len(deleted) == 1, deleted
first_cluster = struct.unpack_from("<H", deleted[0], 26)[0]
gif_offset = PART_START * SECTOR + g["data"] + (first_cluster - 2) * g["cluster"]

with open(vol, "rb") as f:
    disk.write(PART_START * SECTOR, f.read())
disk.row(gif_offset, "image.gif", "deleted in the FAT16 volume (its entry kept, starting 0xE5); in free space")
with open(disk.path, "rb") as f:
    f.seek(gif_offset)
    assert f.read(len(FILES["image.gif"])) == FILES["image.gif"]

# After the MBR, before the partition.
p = disk.put(8 * SECTOR, "image.jpg", "between the MBR and the partition; random filler follows")
p = disk.write(p, random_filler("disk:1", 2 * KiB))
p = disk.put(p, "doc.pdf", "between the MBR and the partition, after random filler; zeros follow")
p = disk.put(512 * KiB, "compound.xls", "between the MBR and the partition; zeros up to the partition follow")
assert p <= PART_START * SECTOR
# After the partition, up to the end of the disk.
end = (PART_START + PART_SECTORS) * SECTOR
p = disk.put(end, "archive.zip", "first sector after the partition, followed directly by the next file")
p = disk.put(p, "document.docx", "after the partition, back to back after a file; zeros follow")
p = disk.put(end + 1 * MiB, "tone.wav", "after the partition; random filler follows")
p = disk.write(p, random_filler("disk:2", 4 * KiB))
p = disk.put(p, "table.db", "after the partition, after random filler; zeros follow")
p = disk.put(disk.size - 4 * KiB, "audio.mp3", "after the partition, near the end of the disk; zeros follow")
disk.manifest()

# ---- carve_fat.img: deleted files whose entries are wiped ----------------------
fat = Image("carve_fat", 16 * MiB)
os.unlink(fat.path)
run(["mkfs.vfat", "-F", "16", "-s", "4", "-S", str(SECTOR), "-i", "CA4F0016", "-n", "CARVEFAT",
     "-C", fat.path, str(fat.size // KiB)])
# FAT16 allocation in mtools is first fit, so every file written into an
# empty volume gets contiguous clusters right after the previous one. The
# folder \kept and its first file come first, so their entries stay in front
# of the root's wiped slots; the file written into \kept last lies after the
# deleted files' clusters.
run(["mmd", "-i", fat.path, "::/kept"])
run(["mcopy", "-i", fat.path, src("image.png"), "::/kept/before.png"])
gone = ["image.jpg", "doc.pdf", "compound.doc", "tone.wav", "document.docx", "table.db",
        "image.gif", "audio.mp3"]
for name in gone:
    run(["mcopy", "-i", fat.path, src(name), "::/" + name])
run(["mcopy", "-i", fat.path, src("archive.zip"), "::/kept/after.zip"])

g = fat16_geometry(fat.path)
starts = {}
for offset, e in root_entries(fat.path, g):
    if e[0] not in (0, 0xE5) and e[11] != 0x0F and not e[11] & 0x18:
        name = e[:8].decode("ascii").rstrip() + "." + e[8:11].decode("ascii").rstrip()
        starts[name.lower()] = g["data"] + (struct.unpack_from("<H", e, 26)[0] - 2) * g["cluster"]
for name in gone:
    run(["mdel", "-i", fat.path, "::/" + name])
# mdel leaves each entry (and its long-name entries) behind with 0xE5 in front;
# overwrite all of them with zeros so that no directory names the files.
wiped = 0
with open(fat.path, "r+b") as f:
    for offset, e in root_entries(fat.path, g):
        if e[0] == 0xE5:
            f.seek(offset)
            f.write(bytes(32))
            wiped += 1
assert wiped >= len(gone), wiped
short = {"image.jpg": "image.jpg", "doc.pdf": "doc.pdf", "compound.doc": "compound.doc",
         "tone.wav": "tone.wav", "document.docx": "docume~1.doc", "table.db": "table.db",
         "image.gif": "image.gif", "audio.mp3": "audio.mp3"}
previous_end = None
for name in gone:
    offset = starts[short[name]]
    with open(fat.path, "rb") as f:
        f.seek(offset)
        assert f.read(len(FILES[name])) == FILES[name], name
    if previous_end is not None:
        assert offset == previous_end, (name, offset, previous_end)
    previous_end = offset + (len(FILES[name]) + g["cluster"] - 1) // g["cluster"] * g["cluster"]
    fat.row(offset, name, "deleted, directory entry wiped; clusters contiguous, free and intact")
fat.manifest()

for im in (raw, disk, fat):
    print("built", im.path)
PY

compress_images carve_raw carve_disk carve_fat
