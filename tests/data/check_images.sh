#!/usr/bin/env bash
# Checks the committed fixture images against their manifests and the disk
# layout with The Sleuth Kit (fls, istat, icat, fsstat, mmls) and the file
# system checkers (fsck.fat, fsck.exfat), independently of the engine.
#
#   - every manifest row is listed by fls under its path, with the same kind and
#     deleted state, and fls lists nothing the manifest lacks;
#   - icat reproduces the SHA-256 of every live file and of every deleted file
#     marked expect_identical=1, and does NOT reproduce it for deleted files
#     marked 0 (so those rows really test reused clusters);
#   - a deleted file read contiguously from its first cluster (the way a
#     recovery tool locates it) gives the same answer;
#   - modification times match istat; the fragmented file is fragmented;
#   - on exfat_files.img: modification times are the manifest's rounded down
#     to even seconds (the stamp keeps no more); the chained, contiguous and
#     folder entry sets carry the GeneralSecondaryFlags their notes say;
#   - on ntfs_files.img: every row's MFT record is allocated or not as its
#     deleted state says; deleted files are judged by icat, which follows the
#     run list kept in the record; the resident, sparse, compressed,
#     fragmented, hard-linked and attribute-list files and the big folder's
#     index are what their notes say;
#   - mmls and fsstat agree with disk.layout.tsv.
#
# Usage: tests/data/check_images.sh [DIR]  (default: the script's folder).
# Images are taken from DIR/<name>.img.xz (decompressed to a temporary folder),
# so what is checked is what the repository holds.
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/fixture_lib.sh"
DIR=$(cd "${1:-$HERE}" && pwd)
need_tools "sleuthkit dosfstools exfatprogs xz-utils" fls istat icat fsstat mmls fsck.fat fsck.exfat xz python3
fixture_work
for n in fat16 fat32 exfat exfat_files ntfs ntfs_files disk; do
    xz -dc "$DIR/$n.img.xz" > "$WORK/$n.img"
done
export TZ=UTC LC_ALL=C.UTF-8

echo "== mmls disk.img"
mmls "$WORK/disk.img"
echo "== fsstat (summary) of each image and each disk volume"
for n in fat16 fat32 exfat exfat_files ntfs ntfs_files; do
    printf '%s: ' "$n.img"; fsstat "$WORK/$n.img" | grep -E '^File System Type:' | tr '\n' ' '; echo
done
tail -n +2 "$DIR/disk.layout.tsv" | while IFS=$'\t' read -r idx typ sb ss rest; do
    [ "$idx" = "-" ] && continue
    printf 'disk.img volume %s (%s at sector %s): ' "$idx" "$typ" "$ss"
    fsstat -o "$ss" "$WORK/disk.img" | grep -E '^File System Type:' | tr '\n' ' '; echo
done
echo "== fsck.fat -n / fsck.exfat -n"
for n in fat16 fat32; do fsck.fat -n "$WORK/$n.img" | tail -1; done
for n in exfat exfat_files; do fsck.exfat -n "$WORK/$n.img" | tail -1; done

python3 - "$DIR" "$WORK" <<'PY'
import concurrent.futures, hashlib, os, re, struct, subprocess, sys

DIR, WORK = sys.argv[1], sys.argv[2]
failures = []
# NTFS metadata files in the root (and TSK's virtual folder of orphaned records).
NTFS_SYSTEM = {"$MFT", "$MFTMirr", "$LogFile", "$Volume", "$AttrDef", "$BadClus", "$Bitmap",
               "$Boot", "$Extend", "$Secure", "$UpCase", "$OrphanFiles"}


def fail(msg):
    failures.append(msg)
    print("FAIL:", msg)


def tsk(*argv):
    return subprocess.run(argv, check=True, capture_output=True).stdout


def read_tsv(name):
    lines = open("%s/%s" % (DIR, name), encoding="utf-8").read().splitlines()
    head = lines[0].split("\t")
    return [dict(zip(head, l.split("\t"))) for l in lines[1:] if l]


def listing(img, offset, fs):
    """path -> (inode, is_dir, deleted) from fls -r -p (live + deleted)."""
    out = {}
    text = tsk("fls", "-r", "-p", "-o", str(offset), img).decode("utf-8", "replace")
    for line in text.splitlines():
        m = re.match(r"^(\S)/(\S) (\* )?([0-9-]+)(\(realloc\))?:\t(.*)$", line)
        if not m:
            continue
        kind, deleted, inode, path = m.group(1), bool(m.group(3)), m.group(4), m.group(6)
        if kind == "-":       # NTFS: a deleted record found by its parent reference
            kind = m.group(2)  # has no index entry to give a type; take the record's
        if kind in "vV" or path.endswith("(Volume Label Entry)"):
            continue
        if fs == "ntfs" and (path.split("/")[0].split(":")[0] in NTFS_SYSTEM
                             or path.startswith(".")):
            continue
        if fs == "ntfs" and ":" in path:     # named streams
            continue
        if fs == "exfat" and path in ("$ALLOC_BITMAP", "$UPCASE_TABLE"):
            continue
        out[path] = (inode, kind == "d", deleted)
    return out


def istat(img, offset, inode):
    return tsk("istat", "-o", str(offset), img, inode).decode("utf-8", "replace")


def sectors(text):
    part = text.split("Sectors:", 1)[1] if "Sectors:" in text else ""
    return [int(x) for x in part.split() if x.isdigit() and int(x) > 0]


def prefetch(img, offset, inodes):
    """istat text and icat bytes of each inode, run in parallel (the NTFS image
    has thousands of rows)."""
    def one(inode):
        data = subprocess.run(["icat", "-o", str(offset), img, inode], capture_output=True).stdout
        return inode, (istat(img, offset, inode), data)
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        return dict(pool.map(one, sorted(set(inodes))))


def check(label, img, offset, rows, fs):
    print("== %s (%d rows)" % (label, len(rows)))
    found = listing(img, offset, fs)
    cache = prefetch(img, offset, [v[0] for v in found.values()])
    seen = set()
    counts = dict(live=0, deleted_same=0, deleted_differs=0)
    for r in rows:
        rel = r["path"].lstrip("\\").replace("\\", "/")
        key = rel
        if key not in found and r["deleted"] == "1":
            # a deleted entry with no long name: TSK shows the lost first character as '_'
            head, _, last = rel.rpartition("/")
            key = (head + "/" if head else "") + "_" + last[1:]
        if key not in found:
            fail("%s: %s not listed by fls" % (label, r["path"]))
            continue
        seen.add(key)
        inode, is_dir, deleted = found[key]
        if is_dir != (r["kind"] == "folder"):
            fail("%s: %s kind differs" % (label, r["path"]))
        if deleted != (r["deleted"] == "1"):
            fail("%s: %s deleted=%s but fls says %s" % (label, r["path"], r["deleted"], deleted))
        info, data = cache[inode]
        if fs == "ntfs" and ("\nNot Allocated " in info) != (r["deleted"] == "1"):
            fail("%s: %s deleted=%s but its MFT record says %s" % (
                label, r["path"], r["deleted"], "not allocated" if r["deleted"] == "0" else "allocated"))
        want = r.get("mtime")
        if want and fs == "exfat":
            # The modification stamp keeps even seconds (the odd one lives in
            # the creation stamp's 10-ms field); a folder's moves with its
            # entries.
            want = None if r["kind"] == "folder" else want[:-1] + str(int(want[-1]) // 2 * 2)
        if want:
            m = re.search(r"(?:Written|Modified):\s+(\S+ \S+)", info)
            got = m.group(1).split(".")[0] if m else None
            if got != want:
                fail("%s: %s mtime %s, istat %s" % (label, r["path"], r["mtime"], got))
        if r["kind"] != "file":
            continue
        same = hashlib.sha256(data).hexdigest() == r["sha256"] and len(data) == int(r["size"])
        if r["deleted"] == "0":
            counts["live"] += 1
            if not same:
                fail("%s: %s live file content differs (icat)" % (label, r["path"]))
            continue
        if fs == "ntfs":
            # The record of a deleted file keeps its run list, and icat follows it.
            if r["expect_identical"] == "1":
                counts["deleted_same"] += 1
                if not same:
                    fail("%s: %s deleted, expected identical, icat differs" % (label, r["path"]))
            else:
                counts["deleted_differs"] += 1
                if same:
                    fail("%s: %s marked not identical but its bytes survived" % (label, r["path"]))
            continue
        # Deleted: also read `size` bytes contiguously from the first sector istat names.
        secs = sectors(info)
        raw_same = None
        if secs:
            with open(img, "rb") as f:
                f.seek((offset + secs[0]) * 512)
                raw = f.read(int(r["size"]))
            raw_same = hashlib.sha256(raw).hexdigest() == r["sha256"]
        if r["expect_identical"] == "1":
            counts["deleted_same"] += 1
            if not same:
                fail("%s: %s deleted, expected identical, icat differs" % (label, r["path"]))
            if raw_same is False:
                fail("%s: %s deleted, expected identical, contiguous read differs" % (label, r["path"]))
        else:
            # Judged by the contiguous read; TSK skips allocated clusters when it
            # follows a deleted file and so may still rebuild a fragmented one.
            counts["deleted_differs"] += 1
            if raw_same or (raw_same is None and same):
                fail("%s: %s marked not identical but its bytes survived" % (label, r["path"]))
            elif same:
                print("   note: %s: icat rebuilds it by skipping allocated clusters; "
                      "a contiguous read does not" % r["path"])
    for path, (inode, is_dir, deleted) in found.items():
        if path not in seen:
            fail("%s: fls lists %s (inode %s), the manifest does not" % (label, path, inode))
    print("   live files identical: %(live)d; deleted identical: %(deleted_same)d; "
          "deleted, not expected identical (and differing): %(deleted_differs)d" % counts)
    return found


for name in ("fat16", "fat32"):
    img = "%s/%s.img" % (WORK, name)
    found = listing(img, 0, "fat")
    check(name + ".img", img, 0, read_tsv(name + ".manifest.tsv"), "fat")
    inode = found["frag/part D - fills the gap after B.bin"][0]
    secs = sectors(istat(img, 0, inode))
    jumps = sum(1 for a, b in zip(secs, secs[1:]) if b != a + 1)
    print("   frag/part D: %d sectors, %d discontinuities" % (len(secs), jumps))
    if jumps < 1:
        fail("%s: the fragmented file is contiguous" % name)



def data_runs(img, inode):
    """The first line of istat's $DATA entry and the run list istat -r gives
    for it: [(first cluster, or None for a sparse run, length)]."""
    text = tsk("istat", "-r", img, inode).decode("utf-8", "replace")
    part = text.split("Type: $DATA", 1)[1].split("\nType: ", 1)[0] if "Type: $DATA" in text else ""
    runs = [(None if a == "X" else int(a), int(n))
            for a, n in re.findall(r"Starting address: (\d+|X), length: (\d+)", part)]
    return part.split("\n", 1)[0], runs


def attribute_list(img, inode):
    """(type, record number) of each $ATTRIBUTE_LIST entry."""
    data = subprocess.run(["icat", img, inode + "-32"], capture_output=True).stdout
    out, o = [], 0
    while o + 26 <= len(data):
        typ, length = struct.unpack_from("<IH", data, o)
        if length == 0:
            break
        out.append((typ, struct.unpack_from("<Q", data, o + 16)[0] & 0xFFFFFFFFFFFF))
        o += length
    return out


def index_levels(img, inode):
    """Levels of a folder's $I30 B-tree: 1 for the index root alone, one more
    for each level of INDX records below it."""
    root = subprocess.run(["icat", img, inode + "-144"], capture_output=True).stdout
    alloc = subprocess.run(["icat", img, inode + "-160"], capture_output=True).stdout
    block = struct.unpack_from("<I", root, 8)[0]
    unit = 4096 if block >= 4096 else 512        # child VCNs count clusters or 512-byte units

    def node_depth(node, header):
        first, end = struct.unpack_from("<II", node, header)
        pos, depth = header + first, 0
        while pos < header + end:
            length, _, flags = struct.unpack_from("<HHI", node, pos + 8)
            if flags & 1:
                vcn = struct.unpack_from("<Q", node, pos + length - 8)[0]
                rec = bytearray(alloc[vcn * unit:vcn * unit + block])
                if rec[:4] != b"INDX":
                    raise ValueError("no INDX record at VCN %d" % vcn)
                usa, count = struct.unpack_from("<HH", rec, 4)
                for i in range(1, count):       # undo the update sequence
                    rec[i * 512 - 2:i * 512] = rec[usa + 2 * i:usa + 2 * i + 2]
                depth = max(depth, node_depth(bytes(rec), 0x18))
            if flags & 2:
                break
            pos += length
        return 1 + depth

    return node_depth(root, 16)


def check_ntfs_structures(img, rows):
    """Confirms that the records the notes describe have the structure they
    claim, so that the image keeps testing what it is meant to test."""
    found = listing(img, 0, "ntfs")
    inode = {}
    for r in rows:
        key = r["path"].lstrip("\\").replace("\\", "/")
        if key in found:            # a missing row has already failed in check()
            inode[r["path"]] = found[key][0].split("-")[0]
    print("== ntfs_files.img: structures")

    def expect(cond, what):
        print("   %-60s %s" % (what, "ok" if cond else "FAILED"))
        if not cond:
            fail("ntfs_files.img: " + what)

    for p in ("\\resident 600.txt", "\\deleted resident.txt", "\\one byte.txt"):
        head, _ = data_runs(img, inode[p])
        expect(" Resident" in head and "Non-Resident" not in head, "%s: $DATA resident" % p)
    head, _ = data_runs(img, inode["\\not resident 700.txt"])
    expect("Non-Resident" in head, "\\not resident 700.txt: $DATA non-resident")

    head, runs = data_runs(img, inode["\\sparse\\sparse 1 MiB.bin"])
    expect("Sparse" in head and any(lcn is None for lcn, _ in runs)
           and sum(n for lcn, n in runs if lcn is not None) == 2,
           "sparse 1 MiB.bin: sparse, two clusters allocated")

    for r in rows:
        if r["path"].startswith("\\compressed\\") and r["kind"] == "file":
            head, _ = data_runs(img, inode[r["path"]])
            expect("Compressed" in head, "%s: $DATA compressed" % r["path"].rpartition("\\")[2])
    _, runs = data_runs(img, inode["\\compressed\\mixed units.bin"])
    clusters = [lcn for lcn, n in runs for _ in range(n)]
    units = []
    for u in range(4):
        c = clusters[u * 16:u * 16 + 16]
        used = len([x for x in c if x is not None])
        units.append("sparse" if used == 0 else "as is" if used == 16 else
                     "compressed" if c[used:] == [None] * (16 - used) else "?")
    expect(units == ["compressed", "as is", "sparse", "compressed"],
           "mixed units.bin: units %s" % ", ".join(units))

    for p, want in (("\\frag\\fragmented.bin", 6), ("\\frag\\fragmented, deleted later.bin", 5),
                    ("\\frag\\400 runs.bin", 400)):
        _, runs = data_runs(img, inode[p])
        expect(len(runs) >= want, "%s: %d runs (at least %d)" % (p, len(runs), want))

    n = inode["\\frag\\400 runs.bin"]
    entries = attribute_list(img, n)
    expect(len({rec for typ, rec in entries if typ == 0x80 and str(rec) != n}) >= 2,
           "400 runs.bin: $DATA extents in two or more extension records")
    n = inode["\\many links\\target.bin"]
    names = [rec for typ, rec in attribute_list(img, n) if typ == 0x30]
    links = [r for r in rows if inode.get(r["path"]) == n]
    expect(len(names) == len(links) == 120 and any(str(rec) != n for rec in names),
           "target.bin: 120 names, $FILE_NAME in extension records")

    n = inode["\\docs\\Reports 2023\\Q1\\deep"]
    expect(any(typ == 0x90 and str(rec) != n for typ, rec in attribute_list(img, n)),
           "deep: $INDEX_ROOT in an extension record")

    for r in rows:
        if r["note"].startswith("hard link to "):
            target = r["note"][len("hard link to "):]
            if inode.get(r["path"]) != inode[target]:
                fail("ntfs_files.img: %s is not a hard link to %s" % (r["path"], target))

    levels = index_levels(img, inode["\\big folder"])
    expect(levels >= 3, "big folder: $I30 index of %d levels (at least 3)" % levels)

    _, v1 = data_runs(img, inode["\\scratch\\draft v1.txt"])
    _, v2 = data_runs(img, inode["\\scratch\\draft v2 written afterwards.txt"])
    expect(v1[0][0] == v2[0][0], "draft v2 starts in draft v1's first cluster")


def check_exfat_structures(img):
    """The GeneralSecondaryFlags of the sets the notes rely on: 1 is a FAT
    chain, 3 a contiguous run ("no FAT chain")."""
    data = open(img, "rb").read()
    print("== exfat_files.img: structures")

    def flags(name, in_use=True):
        # The stream entry stands just before the set's first name entry.
        first = bytes([0xC1 if in_use else 0x41, 0]) + name[:15].ljust(15, "\0").encode("utf-16-le")
        at = data.find(first)
        while at >= 0 and at % 32:
            at = data.find(first, at + 1)
        return data[at - 31] if at >= 32 else None

    for name, in_use, want, what in (
            ("part D - fills the gap after B.bin", True, 1, "chained"),
            ("part G - fragmented, deleted later.bin", False, 1, "chained before its deletion"),
            ("big file.bin", True, 3, "contiguous"),
            ("many", True, 1, "a chained folder"),
            ("docs", True, 3, "a contiguous folder")):
        got = flags(name, in_use)
        ok = got == want
        print("   %-60s %s" % ("%s: %s (flags %s)" % (name, what, got), "ok" if ok else "FAILED"))
        if not ok:
            fail("exfat_files.img: %s is not %s" % (name, what))
    found = listing(img, 0, "exfat")
    for path in ("frag/part D - fills the gap after B.bin", "many"):
        secs = sectors(istat(img, 0, found[path][0]))
        if not any(b != a + 1 for a, b in zip(secs, secs[1:])):
            fail("exfat_files.img: %s is contiguous" % path)


img = WORK + "/exfat_files.img"
check("exfat_files.img", img, 0, read_tsv("exfat_files.manifest.tsv"), "exfat")
check_exfat_structures(img)

img = WORK + "/ntfs_files.img"
rows = read_tsv("ntfs_files.manifest.tsv")
check("ntfs_files.img", img, 0, rows, "ntfs")
try:
    check_ntfs_structures(img, rows)
except (KeyError, IndexError, ValueError, struct.error) as e:
    fail("ntfs_files.img: structure check stopped: %r" % e)


def former_path(data, volume_bytes):
    """The former path a companion yields (newer layout first, then the older
    one), or "" when it is too short, names a size not below the volume's, or
    holds no drive-letter path with a backslash."""
    if len(data) < 30 or int.from_bytes(data[8:16], "little") >= volume_bytes:
        return ""
    def unit(i):
        return data[i:i + 2].decode("utf-16-le") if i + 2 <= len(data) else ""
    if len(data) >= 32 and unit(30) == ":" and unit(28).isascii() and unit(28).isalpha():
        start = 28
    elif unit(26) == ":" and unit(24).isascii() and unit(24).isalpha():
        start = 24
    else:
        return ""
    text = data[start:].decode("utf-16-le", "replace").split("\0")[0]
    return text if "\\" in text else ""


for name, fs in (("fat16", "fat"), ("fat32", "fat"), ("exfat_files", "exfat"), ("ntfs_files", "ntfs")):
    img = "%s/%s.img" % (WORK, name)
    rows = read_tsv(name + ".manifest.tsv")
    found = listing(img, 0, fs)
    size = os.path.getsize(img)
    n = 0
    for r in rows:
        head, _, last = r["path"].rpartition("\\")
        # FAT: items directly in \$RECYCLE.BIN; NTFS: in one folder per user SID.
        if "\\$RECYCLE.BIN" not in (head, head.rpartition("\\")[0]) or not last.startswith("$R"):
            continue
        comp = head + "\\$I" + last[2:]
        key = comp.lstrip("\\").replace("\\", "/")
        got = ""
        if key in found:
            data = subprocess.run(["icat", img, found[key][0]], capture_output=True).stdout
            got = former_path(data, size)
        n += 1
        if got != r["former_path"]:
            fail("%s: %s former path %r, companion gives %r" % (name, r["path"], r["former_path"], got))
    print("== %s: %d recycled items checked against their companions" % (name, n))

layout = [r for r in read_tsv("disk.layout.tsv") if r["index"] != "-"]
disk_rows = read_tsv("disk.manifest.tsv")
mm = tsk("mmls", WORK + "/disk.img").decode()
parts = [tuple(int(x) for x in m.groups()) for m in
         re.finditer(r"^\d+:\s+\d+:\d+\s+(\d+)\s+(\d+)\s+(\d+)", mm, re.M)]
want = [(int(r["start_sector"]), int(r["start_sector"]) + int(r["length_sectors"]) - 1,
         int(r["length_sectors"])) for r in layout]
if parts != want:
    fail("mmls partitions %s differ from disk.layout.tsv %s" % (parts, want))
else:
    print("== mmls agrees with disk.layout.tsv")
for r in layout:
    fs = r["type"]
    rows = [x for x in disk_rows if x["volume"] == r["index"]]
    start = int(r["start_sector"])
    info = tsk("fsstat", "-o", str(start), WORK + "/disk.img").decode()
    typ = re.search(r"File System Type: (\S+)", info).group(1)
    if typ.lower() != fs:
        fail("volume %s: fsstat says %s" % (r["index"], typ))
    if fs == "ntfs":
        rng = re.search(r"Total Sector Range: 0 - (\d+)", info)
        if rng and int(rng.group(1)) + 1 != int(r["fs_total_sectors"]):
            fail("ntfs total sectors %s, fsstat %s" % (r["fs_total_sectors"], rng.group(1)))
    if rows or fs != "exfat":
        check("disk.img volume %s (%s)" % (r["index"], fs), WORK + "/disk.img", start, rows,
              "ntfs" if fs == "ntfs" else "fat")
# The standalone exFAT and NTFS images are the disk's volumes byte for byte.
disk = open(WORK + "/disk.img", "rb").read()
for r in layout:
    if r["type"] in ("exfat", "ntfs"):
        a = int(r["start_byte"])
        if open("%s/%s.img" % (WORK, r["type"]), "rb").read() != disk[a:a + int(r["length_bytes"])]:
            fail("%s.img differs from disk volume %s" % (r["type"], r["index"]))

if failures:
    print("%d check(s) failed" % len(failures))
    sys.exit(1)
print("all image checks passed")
PY
