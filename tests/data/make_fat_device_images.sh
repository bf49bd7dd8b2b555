#!/usr/bin/env bash
# Builds FAT fixture images as they come from real devices, writes their
# manifests, and checks every manifest with The Sleuth Kit:
#
#   fat12.img           1.44 MB floppy (FAT12): plain files with attribute 0,
#                       a volume-label entry that owns a cluster, a 12-bit
#                       chain across table sectors
#   fat16_root112.img   FAT16, 1024-byte sectors, a root of 112 entries
#   fat16_root1024.img  FAT16, 2048-byte sectors, a root of 1024 entries
#   fat32_4k.img        FAT32, 4096-byte sectors
#   fat32_cut.img       FAT32 whose image lost its last three sectors
#   fat32_bin.img       FAT32 with a recycle bin of per-user folders
#   fat32_wrap.img      FAT32 with a deleted file laid around live files
#
# Like make_fat_images.sh: formatted by mkfs.vfat, filled only through mtools
# (mcopy, mmd, mdel, mdeltree, mattrib) under faketime, contents from a seed,
# so two runs give identical images and manifests. Two things no tool here
# writes are patched in place and named in the manifest notes: the attribute
# byte of the label entry on fat12.img, and the FAT32 next-free hint
# (pointed back to cluster 2 for first-fit allocation, or near the end of
# fat32_cut.img).
#
# Usage: tests/data/make_fat_device_images.sh [OUTDIR]        build, then check
#        tests/data/make_fat_device_images.sh --check [DIR]   check DIR/NAME.img.xz
# Needs: mkfs.vfat (dosfstools), mtools, faketime, sleuthkit, python3, xz.
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/fixture_lib.sh"
MODE=build
if [ "${1:-}" = "--check" ]; then MODE=check; shift; fi
fixture_out "${1:-}"
need_tools "dosfstools mtools faketime sleuthkit python3 xz-utils" mkfs.vfat mcopy mmd mdel mdeltree mattrib faketime fls icat istat fsstat python3 xz
fixture_work
fixture_mtools default_codepage=850
export LC_ALL=C.UTF-8 TZ=UTC

NAMES="fat12 fat16_root112 fat16_root1024 fat32_4k fat32_cut fat32_bin fat32_wrap"

if [ "$MODE" = build ]; then
fixture_python "$OUT" "$WORK" "$HERE/filetype/samples" <<'PY'
import datetime, os, struct, subprocess, sys
from fixture import MtoolsImage, companion_v1, companion_v2

OUT, WORK, SAMPLES = sys.argv[1], sys.argv[2], sys.argv[3]
DELETED_AT = datetime.datetime(2024, 2, 1, 8, 0)


def sample(name):
    with open(os.path.join(SAMPLES, name), "rb") as f:
        return f.read()


class Image(MtoolsImage):
    def __init__(self, name, bits, kib, sector=512, cluster_sectors=1, root=None, serial="0F0E0D0C", label="OSTREL"):
        super().__init__(OUT, WORK, name, datetime.datetime(2024, 3, 1, 10, 0, 0), stderr=subprocess.DEVNULL)
        self.bits = bits
        self.sector = sector
        self.cs = sector * cluster_sectors
        argv = ["mkfs.vfat", "-F", str(bits), "-S", str(sector), "-s", str(cluster_sectors), "-i", serial, "-n", label]
        if root:
            argv += ["-r", str(root)]
        self.run(argv + ["-C", self.path, str(kib)])

    def plain(self, p):
        """mattrib -a clears the archive bit mcopy sets: attribute byte 0."""
        self.mt("mattrib", "-a", "::/" + p)
        self.rows[self.key(p)]["note"] = "attribute byte 0 (mattrib -a)"

    def boot(self):
        with open(self.path, "rb") as f:
            return f.read(512)

    def set_hint(self, cluster):
        """The FAT32 FSInfo next-free hint: mtools allocates from the cluster
        after it."""
        b = self.boot()
        fsinfo = struct.unpack_from("<H", b, 48)[0]
        with open(self.path, "r+b") as f:
            f.seek(fsinfo * self.sector + 492)
            f.write(struct.pack("<I", cluster))

    def last_cluster(self):
        b = self.boot()
        reserved, fats = struct.unpack_from("<H", b, 14)[0], b[16]
        total = struct.unpack_from("<H", b, 19)[0] or struct.unpack_from("<I", b, 32)[0]
        spf = struct.unpack_from("<H", b, 22)[0] or struct.unpack_from("<I", b, 36)[0]
        root = (struct.unpack_from("<H", b, 17)[0] * 32 + self.sector - 1) // self.sector
        return (total - reserved - fats * spf - root) // b[13] + 1

    def set_root_attribute(self, short11, attribute):
        """Rewrites the attribute byte of a FAT12/16 root entry."""
        b = self.boot()
        reserved, fats, entries, spf = (struct.unpack_from("<H", b, 14)[0], b[16],
                                        struct.unpack_from("<H", b, 17)[0], struct.unpack_from("<H", b, 22)[0])
        root = (reserved + fats * spf) * self.sector
        with open(self.path, "r+b") as f:
            f.seek(root)
            data = f.read(entries * 32)
            at = next(i for i in range(0, len(data), 32) if data[i:i + 11] == short11)
            f.seek(root + at + 11)
            f.write(bytes([attribute]))


def fat12():
    img = Image("fat12", 12, 1440, serial="0F120012", label="FLOPPY")
    img.put("README.TXT", 700)
    img.put("Long name in the root.txt", 3000)
    img.put("attr zero.txt", 1500)
    img.plain("attr zero.txt")
    img.put("HIDDEN.BIN", 2000)
    img.set_root_attribute(b"HIDDEN  BIN", 0x08)
    img.rows["\\HIDDEN.BIN"]["note"] = ("volume-label entry (attribute byte set to 0x08 after mcopy) that owns "
                                        "four clusters; the real label FLOPPY is the first root entry")
    img.put_bytes("image.png", sample("image.png"), note="a signature a deep scan would carve if it swept live data")
    img.mkdir("DCIM")
    img.mkdir("DCIM/100CAMERA", "every file in it has attribute byte 0")
    for n in (1, 2, 3):
        img.put("DCIM/100CAMERA/DSC0000%d.JPG" % n, 5000 + 1000 * n)
        img.plain("DCIM/100CAMERA/DSC0000%d.JPG" % n)
    img.mkdir("docs")
    img.put("docs/notes.txt", 900)
    img.put("docs/big chain.bin", 300 * 1024,
            note="600 clusters: its 12-bit chain crosses table sectors and odd/even entry pairs")
    img.put("deleted notes.txt", 2500)
    img.put_bytes("deleted image.gif", sample("image.gif"), note="deleted; a deep scan carves it from free space")
    img.mkdir("old stuff")
    img.put("old stuff/inside old.txt", 1200)
    img.delete("deleted notes.txt", note="deleted in the root, contiguous")
    img.delete("deleted image.gif")
    img.delete("DCIM/100CAMERA/DSC00002.JPG",
               note="attribute byte 0, deleted; short entry only: on disk its name starts with 0xE5")
    img.deltree("old stuff", note="deleted folder (mdeltree)")
    return img


def fat16_root112():
    img = Image("fat16_root112", 16, 16 * 1024, sector=1024, root=112, serial="0F160112", label="ROOT112")
    for n in range(1, 26):
        img.put("root file %02d.txt" % n, 200 + 97 * n)
    img.put_bytes("image.png", sample("image.png"), note="a signature a deep scan would carve if it swept live data")
    img.mkdir("sub")
    img.put("sub/inside sub.txt", 4000)
    img.put("sub/second.bin", 10 * 1024)
    img.put_bytes("deleted image.gif", sample("image.gif"), note="deleted; a deep scan carves it from free space")
    img.delete("deleted image.gif")
    for n in (3, 11, 19):
        img.delete("root file %02d.txt" % n, note="deleted in the root, contiguous")
    img.delete("sub/second.bin", note="deleted in a subfolder")
    return img


def fat16_root1024():
    img = Image("fat16_root1024", 16, 32 * 1024, sector=2048, root=1024, serial="0F161024", label="ROOT1024")
    for n in range(1, 301):
        img.put("file %03d in a big root.txt" % n, 100 + 31 * n)
    img.mkdir("folder after 900 entries")
    img.put("folder after 900 entries/last.txt", 5000)
    for n in range(10, 301, 29):
        img.delete("file %03d in a big root.txt" % n, note="deleted in the root, contiguous")
    return img


def fat32_4k():
    img = Image("fat32_4k", 32, 262 * 1024, sector=4096, serial="0F324096", label="SECTOR4K")
    img.put("README.TXT", 10)
    img.put("one sector.txt", 4096)
    img.put("one sector and a byte.txt", 4097)
    img.put_bytes("image.png", sample("image.png"))
    img.mkdir("docs")
    img.mkdir("docs/deep")
    img.put("docs/deep/one MiB.bin", 1 << 20)
    img.put("docs/deep/deleted.txt", 9000)
    img.mkdir("old stuff")
    img.put("old stuff/inside old.txt", 5000)
    img.put("deleted in root.txt", 12345)
    img.delete("docs/deep/deleted.txt", note="deleted in a subfolder, contiguous")
    img.delete("deleted in root.txt", note="deleted in the root, contiguous")
    img.deltree("old stuff", note="deleted folder (mdeltree)")
    # Far beyond the first eighth of the volume, where a sweep that took the
    # 4096-byte sectors for 512-byte ones would stop.
    img.set_hint(img.last_cluster() - 10)
    img.put_bytes("docs/far away.gif", sample("image.gif"))
    img.delete("docs/far away.gif", note="deleted, written near the volume's end (hint set there); a deep scan carves it")
    return img


def fat32_cut():
    img = Image("fat32_cut", 32, 34 * 1024, serial="0F32C0C0", label="CUTSHORT")
    img.put("README.TXT", 100)
    img.mkdir("docs")
    img.put("docs/report.txt", 20000)
    img.put("docs/deleted.txt", 3000)
    img.put("big.bin", 256 * 1024)
    img.delete("docs/deleted.txt", note="deleted, contiguous")
    last = img.last_cluster()
    img.set_hint(last - 6)
    img.put("at the end.bin", 6 * img.cs,
            note="clusters %d-%d, the last of the volume: its second half lies in the three sectors the image lost"
                 % (last - 5, last))
    img.rows["\\at the end.bin"]["ident"] = 0
    with open(img.path, "r+b") as f:
        f.truncate(os.path.getsize(img.path) - 3 * 512)
    return img


def fat32_bin():
    img = Image("fat32_bin", 32, 34 * 1024, serial="0F32B1B1", label="PERUSER")
    bin_ = "$RECYCLE.BIN"
    img.put("README.TXT", 300)
    img.mkdir(bin_, "hidden + system")
    users = ["S-1-5-21-1111111111-2222222222-3333333333-1001", "S-1-5-21-1111111111-2222222222-3333333333-1002"]
    # A pair directly in the bin, as older systems and some tools leave it.
    former = "C:\\Shared\\top level.txt"
    img.put(bin_ + "/$RTOP001.txt", 777, former=former, note="pair directly in the bin")
    img.put_bytes(bin_ + "/$ITOP001.txt", companion_v1(777, DELETED_AT, former), note="companion, older layout")
    # First user: a file (newer layout), a folder, an item without companion.
    u = bin_ + "/" + users[0]
    img.mkdir(u, "per-user folder")
    img.put_bytes(u + "/desktop.ini", "[.ShellClassInfo]\r\n".encode("utf-16-le"), note="not a recycled item")
    former = "C:\\Users\\alice\\Documents\\budget 2024.xlsx"
    img.put(u + "/$RAB12CD.xlsx", 6000, former=former)
    img.put_bytes(u + "/$IAB12CD.xlsx", companion_v2(6000, DELETED_AT, former), note="companion, newer layout")
    folder = "C:\\Users\\alice\\Pictures\\Holiday"
    img.mkdir(u + "/$RFOLDER", "recycled folder")
    img.rows[img.key(u + "/$RFOLDER")]["former"] = folder
    img.put(u + "/$RFOLDER/sea.txt", 2500, former=folder + "\\sea.txt", note="inside a recycled folder")
    img.put(u + "/$RFOLDER/hills.txt", 1300, former=folder + "\\hills.txt", note="inside a recycled folder")
    img.put_bytes(u + "/$IFOLDER", companion_v2(3800, DELETED_AT, folder), note="companion of the recycled folder")
    img.put(u + "/$RNOPAIR.txt", 400, note="no companion: keeps its name")
    # Second user: an older-layout companion.
    u = bin_ + "/" + users[1]
    img.mkdir(u, "per-user folder")
    former = "C:\\Users\\bob\\Desktop\\letter.txt"
    img.put(u + "/$RZZ9.txt", 1800, former=former)
    img.put_bytes(u + "/$IZZ9.txt", companion_v1(1800, DELETED_AT, former), note="companion, older layout")
    for p in (users[0], users[1], ""):
        img.mt("mattrib", "+h", "+s", "::/" + bin_ + ("/" + p if p else ""))
    return img


def fat32_wrap():
    img = Image("fat32_wrap", 32, 34 * 1024, serial="0F32A1A1", label="WRAPPED")
    cs = img.cs
    img.mkdir("photos")
    img.mkdir("later")
    img.put("photos/gap one.bin", 3 * cs)
    img.put("photos/kept one.bin", 2 * cs)
    img.put("photos/gap two.bin", 2 * cs)
    img.put("photos/kept two.bin", cs + 100)
    img.delete("photos/gap one.bin", identical=False, note="clusters reused by 'wrapped around kept files.bin'")
    img.delete("photos/gap two.bin", identical=False, note="clusters reused by 'wrapped around kept files.bin'")
    img.set_hint(2)
    img.put("wrapped around kept files.bin", 9 * cs + 200)
    img.delete("wrapped around kept files.bin",
               note="written first fit (hint at cluster 2): 3 clusters in gap one, 2 in gap two, the rest after "
                    "'kept two.bin'; deleted: its own clusters are all free, a straight read runs into the kept files")
    img.put("later/written after.txt", 2 * cs, note="written after the deletion, after the wrapped file's last cluster")
    return img


for build in (fat12, fat16_root112, fat16_root1024, fat32_4k, fat32_cut, fat32_bin, fat32_wrap):
    img = build()
    img.write_manifest()
    print("built", img.path)
PY
compress_images $NAMES
fi

# ---- check: The Sleuth Kit against the manifests ----------------------------
for n in $NAMES; do
    if [ "$MODE" = check ]; then xz -dc "$OUT/$n.img.xz" > "$WORK/$n.img"; else cp "$OUT/$n.img" "$WORK/$n.img"; fi
done
python3 - "$OUT" "$WORK" $NAMES <<'PY'
import hashlib, re, struct, subprocess, sys

OUT, WORK, NAMES = sys.argv[1], sys.argv[2], sys.argv[3:]
failures = []


def fail(msg):
    failures.append(msg)
    print("FAIL:", msg)


def listing(img):
    """path -> (inode, is_dir, deleted, is_label) from fls -r -p. A
    volume-label entry is named by its 8.3 name ("HIDDEN  BIN" becomes
    HIDDEN.BIN)."""
    out = {}
    text = subprocess.run(["fls", "-r", "-p", img], capture_output=True).stdout.decode("utf-8", "replace")
    for line in text.splitlines():
        m = re.match(r"^(\S)/(\S) (\* )?([0-9]+)(\(realloc\))?:\t(.*)$", line)
        if not m or m.group(1) in "vV":
            continue
        path = m.group(6)
        label = path.endswith(" (Volume Label Entry)")
        if label:
            raw = path[:-len(" (Volume Label Entry)")]
            base, ext = raw[:8].rstrip(), raw[8:].strip()
            path = base + ("." + ext if ext else "")
        out[path] = (m.group(4), m.group(1) == "d", bool(m.group(3)), label)
    return out


def icat(img, inode):
    return subprocess.run(["icat", img, inode], capture_output=True).stdout


def straight_read(img, inode, size):
    """`size` bytes from the file's first sector on, as one piece."""
    info = subprocess.run(["istat", img, inode], capture_output=True).stdout.decode("utf-8", "replace")
    first = int(info.split("Sectors:", 1)[1].split()[0])
    sector = int(re.search(r"Sector Size: (\d+)", subprocess.run(
        ["fsstat", img], capture_output=True).stdout.decode("utf-8", "replace")).group(1))
    with open(img, "rb") as f:
        f.seek(first * sector)
        return f.read(size)


def former_path(data):
    """The path a $I companion names: newer layout at 28, older at 24."""
    if struct.unpack_from("<Q", data, 0)[0] == 2:
        raw = data[28:]
    else:
        raw = data[24:]
    return raw.decode("utf-16-le").split("\0")[0]


print("%-16s %22s %22s" % ("image", "TSK live found/same", "TSK deleted found/same"))
for name in NAMES:
    img = "%s/%s.img" % (WORK, name)
    lines = open("%s/%s.manifest.tsv" % (OUT, name), encoding="utf-8").read().splitlines()
    head = lines[0].split("\t")
    rows = [dict(zip(head, l.split("\t"))) for l in lines[1:] if l]
    found = listing(img)
    seen = set()
    counts = dict(live=0, live_same=0, deleted=0, deleted_same=0)
    for r in rows:
        key = r["path"].lstrip("\\").replace("\\", "/")
        if key not in found and r["deleted"] == "1":
            head_, _, last = key.rpartition("/")  # a deleted short entry: TSK shows '_' first
            key = (head_ + "/" if head_ else "") + "_" + last[1:]
        if key not in found:
            fail("%s: %s not listed by fls" % (name, r["path"]))
            continue
        seen.add(key)
        inode, is_dir, deleted, _ = found[key]
        if is_dir != (r["kind"] == "folder") or deleted != (r["deleted"] == "1"):
            fail("%s: %s: kind or deleted state differs" % (name, r["path"]))
        if r["path"].rsplit("\\", 1)[-1].startswith("$R") and r["former_path"]:
            companion = key.rsplit("/", 1)
            companion[-1] = "$I" + companion[-1][2:]
            ckey = "/".join(companion)
            if ckey not in found or former_path(icat(img, found[ckey][0])) != r["former_path"]:
                fail("%s: %s: companion does not name %s" % (name, r["path"], r["former_path"]))
        if r["kind"] != "file":
            continue
        data = icat(img, inode)
        same = hashlib.sha256(data).hexdigest() == r["sha256"]
        kind = "deleted" if r["deleted"] == "1" else "live"
        counts[kind] += 1
        counts[kind + "_same"] += same
        if r["expect_identical"] == "1" and not same:
            fail("%s: %s: icat differs from the manifest" % (name, r["path"]))
        if "straight read" in r["note"] and straight_read(img, inode, int(r["size"])) == data:
            fail("%s: %s: is not fragmented" % (name, r["path"]))
    for path, (inode, is_dir, deleted, label) in found.items():
        if path not in seen and not label:  # the volume's own label is no file
            fail("%s: fls lists %s, the manifest does not" % (name, path))
    print("%-16s %16d/%-5d %16d/%-5d" % (name, counts["live"], counts["live_same"], counts["deleted"],
                                         counts["deleted_same"]))
sys.exit(1 if failures else 0)
PY
