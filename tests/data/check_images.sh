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
#   - mmls and fsstat agree with disk.layout.tsv.
#
# Usage: tests/data/check_images.sh [DIR]  (default: the script's folder).
# Images are taken from DIR/<name>.img.xz (decompressed to a temporary folder),
# so what is checked is what the repository holds.
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
DIR=$(cd "${1:-$HERE}" && pwd)
for tool in fls istat icat fsstat mmls fsck.fat fsck.exfat xz python3; do
    command -v "$tool" >/dev/null || { echo "missing tool: $tool (apt-get install -y sleuthkit dosfstools exfatprogs xz-utils)" >&2; exit 1; }
done
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
for n in fat16 fat32 exfat ntfs disk; do
    xz -dc "$DIR/$n.img.xz" > "$WORK/$n.img"
done
export TZ=UTC LC_ALL=C.UTF-8

echo "== mmls disk.img"
mmls "$WORK/disk.img"
echo "== fsstat (summary) of each image and each disk volume"
for n in fat16 fat32 exfat ntfs; do
    printf '%s: ' "$n.img"; fsstat "$WORK/$n.img" | grep -E '^File System Type:' | tr '\n' ' '; echo
done
tail -n +2 "$DIR/disk.layout.tsv" | while IFS=$'\t' read -r idx typ sb ss rest; do
    [ "$idx" = "-" ] && continue
    printf 'disk.img volume %s (%s at sector %s): ' "$idx" "$typ" "$ss"
    fsstat -o "$ss" "$WORK/disk.img" | grep -E '^File System Type:' | tr '\n' ' '; echo
done
echo "== fsck.fat -n / fsck.exfat -n"
for n in fat16 fat32; do fsck.fat -n "$WORK/$n.img" | tail -1; done
fsck.exfat -n "$WORK/exfat.img" | tail -1

python3 - "$DIR" "$WORK" <<'PY'
import hashlib, os, re, subprocess, sys

DIR, WORK = sys.argv[1], sys.argv[2]
failures = []


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
        if kind in "vV" or path.endswith("(Volume Label Entry)"):
            continue
        if fs == "ntfs" and (path.startswith("$") or "/$" in path or path.startswith(".")):
            continue
        if fs == "ntfs" and ":" in path:     # named streams of system files
            continue
        out[path] = (inode, kind == "d", deleted)
    return out


def istat(img, offset, inode):
    return tsk("istat", "-o", str(offset), img, inode).decode("utf-8", "replace")


def sectors(text):
    part = text.split("Sectors:", 1)[1] if "Sectors:" in text else ""
    return [int(x) for x in part.split() if x.isdigit() and int(x) > 0]


def check(label, img, offset, rows, fs):
    print("== %s (%d rows)" % (label, len(rows)))
    found = listing(img, offset, fs)
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
        info = istat(img, offset, inode)
        if r.get("mtime"):
            m = re.search(r"(?:Written|Modified):\s+(\S+ \S+)", info)
            got = m.group(1).split(".")[0] if m else None
            if got != r["mtime"]:
                fail("%s: %s mtime %s, istat %s" % (label, r["path"], r["mtime"], got))
        if r["kind"] != "file":
            continue
        data = subprocess.run(["icat", "-o", str(offset), img, inode], capture_output=True).stdout
        same = hashlib.sha256(data).hexdigest() == r["sha256"] and len(data) == int(r["size"])
        if r["deleted"] == "0":
            counts["live"] += 1
            if not same:
                fail("%s: %s live file content differs (icat)" % (label, r["path"]))
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


for name in ("fat16", "fat32"):
    img = "%s/%s.img" % (WORK, name)
    rows = read_tsv(name + ".manifest.tsv")
    found = listing(img, 0, "fat")
    size = os.path.getsize(img)
    n = 0
    for r in rows:
        head, _, last = r["path"].rpartition("\\")
        if head != "\\$RECYCLE.BIN" or not last.startswith("$R"):
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
