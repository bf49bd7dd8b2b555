#!/usr/bin/env bash
# Builds disk.img: an MBR-partitioned disk holding a FAT16, a FAT32, an exFAT
# and an NTFS volume at known offsets, with unpartitioned gaps between them
# and unpartitioned space after the last one. Also writes the exFAT and NTFS
# volumes alone (exfat.img, ntfs.img: byte for byte the volumes inside the
# disk), the partition table as sfdisk wrote it (disk.layout.tsv) and the
# files put on the volumes (disk.manifest.tsv).
#
# Each volume is made as a separate file by its own mkfs, filled (FAT through
# mtools, NTFS through ntfscp; exFAT stays empty), then copied into the disk
# at its partition's offset. Every tool runs under faketime at a fixed clock,
# so the script reproduces the same images on every run.
#
# Usage: tests/data/make_disk_image.sh [OUTDIR]   (default: the script's folder)
# Needs: sfdisk (fdisk), mkfs.vfat (dosfstools), mtools, mkfs.exfat
# (exfatprogs), mkntfs and ntfscp (ntfs-3g), faketime, python3, xz.
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/fixture_lib.sh"
fixture_out "${1:-}"
need_tools "fdisk dosfstools mtools exfatprogs ntfs-3g faketime python3 xz-utils" sfdisk mkfs.vfat mcopy mmd mdel mkfs.exfat mkntfs ntfscp faketime python3 xz
fixture_work
fixture_mtools default_codepage=850
export LC_ALL=C.UTF-8 TZ=UTC

fixture_python "$OUT" "$WORK" <<'PY'
import datetime, hashlib, json, os, struct, subprocess, sys
from fixture import FixedClock, content

OUT, WORK = sys.argv[1], sys.argv[2]
MiB = 1024 * 1024
SECTOR = 512
DISK_BYTES = 66 * MiB

# index, type, start sector, sectors, MBR type. The gaps: 1 MiB before the
# first volume, 1 MiB after FAT16, 1 MiB + 63 sectors after FAT32 (so that the
# exFAT volume starts on an odd sector, not on a 4 KiB boundary), 1 MiB - 63
# sectors after exFAT, and 2 MiB after NTFS up to the end of the disk.
PARTS = [
    (1, "fat16", 2048, 8192, "6"),
    (2, "fat32", 12288, 81920, "c"),
    (3, "exfat", 96319, 16384, "7"),
    (4, "ntfs", 114688, 16384, "7"),
]

# The mkfs tools, mtools and ntfscp run at a fixed clock that advances by a
# minute a call.
run = FixedClock(datetime.datetime(2023, 6, 1, 8, 0, 0)).run


rows = []
tmp_count = 0


def tmpfile(data):
    global tmp_count
    tmp_count += 1
    p = os.path.join(WORK, "src%d" % tmp_count)
    with open(p, "wb") as f:
        f.write(data)
    return p


def row(vol, path, data=None, kind="file", t=None, note=""):
    rows.append(dict(vol=vol, path=path, kind=kind,
                     size=len(data) if data is not None else 0,
                     sha=hashlib.sha256(data).hexdigest() if data is not None else "",
                     deleted=0, ident=1, mtime=t, note=note))


def mark_deleted(vol, path, note):
    for r in rows:
        if r["vol"] == vol and r["path"] == path:
            r["deleted"], r["note"] = 1, note


# ---- the volumes, each as its own file --------------------------------------
def make_fat(index, bits, start, sectors, files, mkdirs, deletes, serial, label):
    img = os.path.join(WORK, "vol%d.img" % index)
    run(["mkfs.vfat", "-F", str(bits), "-s", "1", "-S", str(SECTOR), "-h", str(start),
         "-i", serial, "-n", label, "-C", img, str(sectors * SECTOR // 1024)])
    for d in mkdirs:
        t = run(["mmd", "-i", img, "::/" + d])
        row(index, "\\" + d.replace("/", "\\"), kind="folder", t=t)
    for p, size in files:
        data = content("disk:%d:%s" % (index, p), size)
        t = run(["mcopy", "-i", img, tmpfile(data), "::/" + p])
        row(index, "\\" + p.replace("/", "\\"), data, t=t)
    for p in deletes:
        run(["mdel", "-i", img, "::/" + p])
        mark_deleted(index, "\\" + p.replace("/", "\\"), "deleted, contiguous, not reused")
    return img


vols = {}
vols[1] = make_fat(1, 16, 2048, 8192,
                   [("hello.txt", 300), ("sub/data.bin", 5000), ("sub/removed file.txt", 1500)],
                   ["sub"], ["sub/removed file.txt"], "0D15C016", "DISK16")
vols[2] = make_fat(2, 32, 12288, 81920,
                   [("hello32.txt", 700), ("folder/photo.raw", 30 * 1024),
                    ("folder/erased file.txt", 2600)],
                   ["folder"], ["folder/erased file.txt"], "0D15C032", "DISK32")

ex = os.path.join(WORK, "vol3.img")
with open(ex, "wb") as f:
    f.truncate(16384 * SECTOR)
run(["mkfs.exfat", "-L", "OSTRELEX", ex])
vols[3] = ex

nt = os.path.join(WORK, "vol4.img")
with open(nt, "wb") as f:
    f.truncate(16384 * SECTOR)
# -T fixes the times (and with them the serial number and GUIDs mkntfs derives
# from the clock); -p stores the partition start as the hidden-sectors count.
run(["mkntfs", "-q", "-F", "-Q", "-T", "-p", "114688", "-H", "255", "-S", "63",
     "-s", "512", "-c", "4096", "-L", "OSTRELNT", nt], stderr=subprocess.DEVNULL)
for name, size, note in (("small.txt", 200, "resident data"),
                         ("bigger file.bin", 20000, "non-resident data")):
    data = content("disk:4:" + name, size)
    t = run(["ntfscp", "-q", "-f", nt, tmpfile(data), name])
    row(4, "\\" + name, data, t=t, note=note)
vols[4] = nt

# ---- the disk ----------------------------------------------------------------
disk = os.path.join(OUT, "disk.img")
if os.path.exists(disk):
    os.unlink(disk)
with open(disk, "wb") as f:
    f.truncate(DISK_BYTES)
script = "label: dos\nlabel-id: 0x4f535452\nunit: sectors\nsector-size: 512\n\n" + "".join(
    "start=%d, size=%d, type=%s\n" % (s, n, t) for _, _, s, n, t in PARTS)
subprocess.run(["sfdisk", "--no-reread", "--no-tell-kernel", "-q", disk], input=script.encode(),
               check=True, stdout=subprocess.DEVNULL)
for index, typ, start, sectors, _ in PARTS:
    data = open(vols[index], "rb").read()
    assert len(data) == sectors * SECTOR, (typ, len(data))
    with open(disk, "r+b") as f:
        f.seek(start * SECTOR)
        f.write(data)

# Standalone copies of the exFAT and NTFS volumes.
for index, name in ((3, "exfat.img"), (4, "ntfs.img")):
    with open(os.path.join(OUT, name), "wb") as f:
        f.write(open(vols[index], "rb").read())

# ---- layout, read back from what sfdisk wrote ---------------------------------
table = json.loads(subprocess.run(["sfdisk", "-J", disk], check=True,
                                  capture_output=True).stdout)["partitiontable"]
with open(os.path.join(OUT, "disk.layout.tsv"), "w") as f:
    f.write("index\ttype\tstart_byte\tstart_sector\tlength_bytes\tlength_sectors\tend_byte\t"
            "mbr_type\tfs_total_sectors\tlast_sector_is_boot_copy\n")
    with open(disk, "rb") as d:
        for p, (index, typ, start, sectors, mbr) in zip(table["partitions"], PARTS):
            assert (p["start"], p["size"]) == (start, sectors), p
            d.seek(start * SECTOR)
            boot = d.read(SECTOR)
            d.seek((start + sectors - 1) * SECTOR)
            last = d.read(SECTOR)
            if typ == "ntfs":
                total = struct.unpack_from("<Q", boot, 40)[0]
            elif typ == "exfat":
                total = struct.unpack_from("<Q", boot, 72)[0]
            else:
                total = struct.unpack_from("<H", boot, 19)[0] or struct.unpack_from("<I", boot, 32)[0]
            f.write("%d\t%s\t%d\t%d\t%d\t%d\t%d\t0x%02x\t%d\t%s\n" % (
                index, typ, start * SECTOR, start, sectors * SECTOR, sectors,
                (start + sectors) * SECTOR, int(p["type"], 16), total,
                "yes" if last == boot else "no"))
    f.write("-\tdisk_end\t%d\t%d\t-\t-\t-\t-\t-\t-\n" % (DISK_BYTES, DISK_BYTES // SECTOR))

with open(os.path.join(OUT, "disk.manifest.tsv"), "w", encoding="utf-8") as f:
    f.write("volume\tpath\tsize\tsha256\tdeleted\texpect_identical\tkind\tformer_path\tmtime\tnote\n")
    for r in sorted(rows, key=lambda r: (r["vol"], r["path"])):
        f.write("\t".join([str(r["vol"]), r["path"], str(r["size"]), r["sha"], str(r["deleted"]),
                           str(r["ident"]), r["kind"], "",
                           r["mtime"].strftime("%Y-%m-%d %H:%M:%S") if r["mtime"] else "",
                           r["note"]]) + "\n")
print("built", disk)
PY

compress_images disk exfat ntfs
