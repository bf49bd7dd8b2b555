#!/usr/bin/env python3
"""Cuts the fixture images in tests/data down to the structures each fuzz
target reads, and writes them to fuzz/corpus/<target>/.

The FAT and exFAT volumes keep their boot sector (exFAT: boot regions), one
table, the fixed root region (FAT16), every directory cluster (deleted
folders included), the allocation bitmap and up-case table (exFAT) and the
data of small files and recycle-bin companions, renumbered into a volume of a
few dozen clusters. The NTFS volume keeps its boot sector, the MFT records the fixture
is known for (system files, the user records 64-135, the recycle bin and the
deleted folder), placed through a rewritten $MFT run list, and the clusters of
a few files (non-resident, sparse, compressed), of an attribute list and of
the root folder's index records, with their run lists rewritten to match.
Every cut volume says in its boot sector that it is as long as the seed, so
that discovery, bounded by the source's size, accepts it.

Run from anywhere: python3 fuzz/make_seeds.py
"""
import lzma
import pathlib
import struct

ROOT = pathlib.Path(__file__).resolve().parent.parent
DATA = ROOT / "tests" / "data"
CORPUS = ROOT / "fuzz" / "corpus"


def image(name):
    with lzma.open(DATA / f"{name}.img.xz") as f:
        return f.read()


def u16(b, at):
    return struct.unpack_from("<H", b, at)[0]


def u32(b, at):
    return struct.unpack_from("<I", b, at)[0]


def write(target, name, data):
    folder = CORPUS / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(bytes(data))


# ---- FAT -----------------------------------------------------------------

def compact_fat(img, fat32, small_file_bytes=2048, max_file_clusters=24):
    bps, spc, reserved, nfats = u16(img, 11), img[13], u16(img, 14), img[16]
    spf = u32(img, 36) if fat32 else u16(img, 22)
    width = 4 if fat32 else 2
    table = img[reserved * bps:(reserved + spf) * bps]
    mask = 0x0FFFFFFF if fat32 else 0xFFFF
    end_from = 0x0FFFFFF0 if fat32 else 0xFFF0
    # The engine puts cluster 2 after a 32-sector root region on FAT16.
    first_data = reserved + nfats * spf + (0 if fat32 else 32)
    cluster_bytes = bps * spc

    def entry(c):
        return int.from_bytes(table[c * width:(c + 1) * width], "little") & mask

    def data(c):
        at = (first_data + (c - 2) * spc) * bps
        return img[at:at + cluster_bytes]

    def chain(c, live):
        out = []
        while 2 <= c < len(table) // width and c not in out:
            out.append(c)
            nxt = entry(c)
            if not live or nxt < 2 or nxt >= end_from:
                break
            c = nxt
        return out

    kept, number, directories = [], {}, set()
    file_clusters = 0
    companions = {}

    def keep(clusters):
        for c in clusters:
            if c not in number:
                number[c] = len(kept) + 2
                kept.append(c)

    def entries(raw):
        for at in range(0, len(raw) - 31, 32):
            e = raw[at:at + 32]
            if e[0] == 0 or e[11] == 0x0F or e[11] & 0x08 or e[0] == 0x2E:
                continue
            yield e

    root_region = b"" if fat32 else img[(reserved + nfats * spf) * bps:(reserved + nfats * spf + 32) * bps]
    pending = [chain(u32(img, 44), True)] if fat32 else [None]
    while pending:
        clusters = pending.pop(0)
        if clusters is not None:
            keep(clusters)
            directories.update(clusters)
        raw = b"".join(data(c) for c in clusters) if clusters is not None else root_region
        for e in entries(raw):
            first = u16(e, 26) | ((u16(e, 20) << 16) if fat32 else 0)
            live = e[0] != 0xE5
            if first < 2:
                continue
            if e[11] & 0x10:
                if first not in directories:
                    pending.append(chain(first, live))
                    directories.update(pending[-1])
                continue
            if e[0:2] == b"$I" and live:
                companions[e[0:11].decode("ascii").rstrip()] = b"".join(data(c) for c in chain(first, True))[:u32(e, 28)]
            if (u32(e, 28) <= small_file_bytes or e[0:2] == b"$I") and file_clusters < max_file_clusters:
                files = chain(first, live)[:max_file_clusters - file_clusters]
                file_clusters += len(files)
                keep(files)

    def renumber(raw):
        raw = bytearray(raw)
        for at in range(0, len(raw) - 31, 32):
            if raw[at] == 0 or raw[at + 11] == 0x0F:
                continue
            first = u16(raw, at + 26) | ((u16(raw, at + 20) << 16) if fat32 else 0)
            new = number.get(first, 0)
            struct.pack_into("<H", raw, at + 26, new & 0xFFFF)
            if fat32:
                struct.pack_into("<H", raw, at + 20, new >> 16)
        return bytes(raw)

    spare = 2  # zero clusters after the last, so every cluster number is plausible
    count = len(kept) + spare
    new_spf = -(-((count + 2) * width) // bps)
    new_first_data = 1 + new_spf + (0 if fat32 else 32)
    total = new_first_data + count * spc

    boot = bytearray(img[:512])
    struct.pack_into("<H", boot, 14, 1)
    boot[16] = 1
    if fat32:
        struct.pack_into("<I", boot, 36, new_spf)
        struct.pack_into("<I", boot, 32, total)
        struct.pack_into("<I", boot, 44, number[u32(img, 44)])
    else:
        struct.pack_into("<H", boot, 22, new_spf)
        struct.pack_into("<H", boot, 19, total if total < 0x10000 else 0)
        struct.pack_into("<I", boot, 32, 0 if total < 0x10000 else total)

    new_table = bytearray(new_spf * bps)
    new_table[:2 * width] = table[:2 * width]
    for old, new in number.items():
        nxt = entry(old)
        if 2 <= nxt < end_from:
            nxt = number.get(nxt, mask)  # a link out of the cut ends the chain
        struct.pack_into("<I" if fat32 else "<H", new_table, new * width, nxt)

    out = bytearray(boot) + new_table + (renumber(root_region) if not fat32 else b"")
    for c in kept:
        out += renumber(data(c)) if c in directories else data(c)
    out += bytes(spare * cluster_bytes)
    assert len(out) == total * bps
    return bytes(out), companions


# ---- NTFS ----------------------------------------------------------------

def undo_fixup(record):
    record = bytearray(record)
    usa, count = u16(record, 4), u16(record, 6)
    for i in range(1, count):
        record[i * 512 - 2:i * 512] = record[usa + 2 * i:usa + 2 * i + 2]
    return record


def redo_fixup(record):
    usa, count = u16(record, 4), u16(record, 6)
    usn = record[usa:usa + 2]
    for i in range(1, count):
        record[usa + 2 * i:usa + 2 * i + 2] = record[i * 512 - 2:i * 512]
        record[i * 512 - 2:i * 512] = usn
    return bytes(record)


def decode_runs(raw):
    runs, at, lcn = [], 0, 0
    while at < len(raw) and raw[at]:
        lengths, offsets = raw[at] & 0xF, raw[at] >> 4
        count = int.from_bytes(raw[at + 1:at + 1 + lengths], "little")
        if offsets:
            lcn += int.from_bytes(raw[at + 1 + lengths:at + 1 + lengths + offsets], "little", signed=True)
            runs.append((lcn, count))
        else:
            runs.append((None, count))
        at += 1 + lengths + offsets
    return runs


def encode_runs(runs):
    out, previous = bytearray(), 0
    for lcn, count in runs:
        length = count.to_bytes((count.bit_length() + 8) // 8, "little")
        if lcn is None:
            out += bytes([len(length)]) + length
            continue
        step = lcn - previous
        size = 1
        while not -(1 << (8 * size - 1)) <= step < (1 << (8 * size - 1)):
            size += 1
        out += bytes([(size << 4) | len(length)]) + length + step.to_bytes(size, "little", signed=True)
        previous = lcn
    return bytes(out + b"\0")


def attributes(record):
    at = u16(record, 0x14)
    while at + 8 <= len(record) and u32(record, at) != 0xFFFFFFFF:
        length = u32(record, at + 4)
        if length == 0:
            return
        yield at
        at += length


def replace_runs(record, attribute, runs):
    """The record with the run list of `attribute` (an offset) replaced,
    moving what follows it when the new list is longer or shorter."""
    old_length = u32(record, attribute + 4)
    runs_at = u16(record, attribute + 0x20)
    new_length = (runs_at + len(runs) + 7) // 8 * 8
    used = u32(record, 0x18)
    delta = new_length - old_length
    assert used + delta <= len(record), "the new run list does not fit the record"
    tail = record[attribute + old_length:used]
    record[attribute + runs_at:attribute + new_length] = runs + bytes(new_length - runs_at - len(runs))
    record[attribute + new_length:attribute + new_length + len(tail)] = tail
    if delta < 0:
        record[used + delta:used] = bytes(-delta)
    struct.pack_into("<I", record, attribute + 4, new_length)
    struct.pack_into("<I", record, 0x18, used + delta)
    return record


def compact_ntfs(img):
    bps, spc = u16(img, 11), img[13]
    cluster = bps * spc
    mft_lcn = struct.unpack_from("<Q", img, 0x30)[0]
    record_bytes = 1024
    per_cluster = cluster // record_bytes
    # MFT pieces kept, as (first VCN, clusters): system files, the user
    # records 64-135 and the last records (recycle bin, deleted folder).
    pieces = [(0, 4), (64 // per_cluster, 72 // per_cluster), (3132 // per_cluster, 6)]
    mft_clusters = sum(n for _, n in pieces)
    zero_lcn = 1 + mft_clusters  # one zero cluster that every gap points at
    next_lcn = zero_lcn + 1
    data_clusters = []  # original LCNs, in their new order

    def record(number):
        vcn = number // per_cluster
        at = (mft_lcn + vcn) * cluster + (number % per_cluster) * record_bytes
        return bytearray(img[at:at + record_bytes])

    def relocate(number, rec, want):
        nonlocal next_lcn
        rec = undo_fixup(rec)
        for at in list(attributes(rec)):
            kind = u32(rec, at)
            if rec[at + 8] != 1 or kind not in want:
                continue
            if kind == 0x80 and rec[at + 9] != 0:
                continue  # named data streams stay out
            runs = decode_runs(rec[at + u16(rec, at + 0x20):at + u32(rec, at + 4)])
            moved = []
            for lcn, count in runs:
                if lcn is None:
                    moved.append((None, count))
                    continue
                moved.append((next_lcn, count))
                data_clusters.extend(range(lcn, lcn + count))
                next_lcn += count
            rec = replace_runs(rec, at, encode_runs(moved))
        return redo_fixup(rec)

    moves = {5: {0xA0}, 68: {0x80}, 70: {0x80}, 94: {0x80}, 96: {0x80}, 112: {0x20}}
    mft = bytearray()
    for vcn, count in pieces:
        for number in range(vcn * per_cluster, (vcn + count) * per_cluster):
            rec = record(number)
            if number in moves:
                rec = relocate(number, rec, moves[number])
            mft += rec

    # $MFT's own run list: the kept pieces in place, every gap at the zero
    # cluster (a read there comes back short and the scan goes on).
    rec0 = undo_fixup(mft[:record_bytes])
    data_at = next(at for at in attributes(rec0) if u32(rec0, at) == 0x80)
    last_vcn = struct.unpack_from("<Q", rec0, data_at + 0x18)[0]
    runs, vcn, lcn = [], 0, 1
    for first, count in pieces:
        if first > vcn:
            runs.append((zero_lcn, first - vcn))
        runs.append((lcn, count))
        lcn += count
        vcn = first + count
    if vcn <= last_vcn:
        runs.append((zero_lcn, last_vcn + 1 - vcn))
    rec0 = replace_runs(rec0, data_at, encode_runs(runs))
    mft[:record_bytes] = redo_fixup(rec0)

    out = bytearray(img[:cluster]) + mft + bytes(cluster)
    for lcn in data_clusters:
        out += img[lcn * cluster:(lcn + 1) * cluster]
    boot = out[:512]
    struct.pack_into("<Q", boot, 0x28, len(out) // bps)
    struct.pack_into("<Q", boot, 0x30, 1)
    struct.pack_into("<Q", boot, 0x38, 0)  # no mirror in the cut
    out[:512] = boot
    return bytes(out)


# ---- exFAT ---------------------------------------------------------------

def set_checksum(entries):
    value = 0
    for i, byte in enumerate(entries):
        if i in (2, 3):
            continue
        value = (((value << 15) | (value >> 1)) + byte) & 0xFFFF
    return value


def boot_checksum(region):
    value = 0
    for i, byte in enumerate(region[:11 * 512]):
        if i in (106, 107, 112):
            continue
        value = (((value << 31) | (value >> 1)) + byte) & 0xFFFFFFFF
    return value


def compact_exfat(img, small_file_bytes=4096, max_file_clusters=8):
    sector = 1 << img[108]
    cluster_bytes = sector << img[109]
    fat_at, heap, root = u32(img, 80) * sector, u32(img, 88) * sector, u32(img, 96)

    def entry(c):
        return u32(img, fat_at + 4 * c)

    def data(c):
        return img[heap + (c - 2) * cluster_bytes:heap + (c - 1) * cluster_bytes]

    def clusters(first, length, no_chain, live):
        if first < 2:
            return []
        if no_chain or not live:
            return list(range(first, first + max(1, -(-length // cluster_bytes))))
        out = []
        c = first
        while 2 <= c < 0xFFFFFFF7 and c not in out:
            out.append(c)
            c = entry(c)
        return out

    kept, number, directories, contiguous = [], {}, set(), set()
    file_clusters = 0

    def keep(run, is_directory=False):
        for c in run:
            if c not in number:
                number[c] = len(kept) + 2
                kept.append(c)
                if is_directory:
                    directories.add(c)

    pending = [clusters(root, 0, False, True)]
    while pending:
        run = pending.pop(0)
        keep(run, True)
        raw = b"".join(data(c) for c in run)
        for at in range(0, len(raw) - 31, 32):
            kind = raw[at]
            if kind in (0x81, 0x82):
                keep(clusters(u32(raw, at + 20), struct.unpack_from("<Q", raw, at + 24)[0], True, True))
            elif kind in (0xC0, 0x40):
                flags, first = raw[at + 1], u32(raw, at + 20)
                length = struct.unpack_from("<Q", raw, at + 24)[0]
                live = kind == 0xC0
                # The File entry is the one before the stream.
                is_directory = at >= 32 and raw[at - 32] in (0x85, 0x05) and raw[at - 32 + 4] & 0x10
                run_of = clusters(first, length, flags & 2, live)
                if is_directory and first >= 2 and run_of and run_of[0] not in directories:
                    if flags & 2:
                        contiguous.add(first)
                    pending.append(run_of)
                    directories.update(run_of)
                elif not is_directory and length <= small_file_bytes and file_clusters < max_file_clusters:
                    run_of = run_of[:max_file_clusters - file_clusters]
                    file_clusters += len(run_of)
                    keep(run_of)

    def renumber(raw):
        raw = bytearray(raw)
        for at in range(0, len(raw) - 31, 32):
            if raw[at] in (0x81, 0x82, 0xC0, 0x40):
                struct.pack_into("<I", raw, at + 20, number.get(u32(raw, at + 20), 0))
        for at in range(0, len(raw) - 31, 32):
            if raw[at] in (0x85, 0x05):
                count = raw[at + 1]
                entries = raw[at:at + 32 * (count + 1)]
                if len(entries) == 32 * (count + 1):
                    struct.pack_into("<H", raw, at + 2, set_checksum(entries))
        return bytes(raw)

    spare = 2
    count = len(kept) + spare
    fat_sectors = -(-(4 * (count + 2)) // sector)
    new_fat, new_heap = 24, 24 + fat_sectors
    total = new_heap + count * (cluster_bytes // sector)

    table = bytearray(fat_sectors * sector)
    table[:8] = img[fat_at:fat_at + 8]
    for old, new in number.items():
        nxt = entry(old)
        nxt = number.get(nxt, 0xFFFFFFFF) if 2 <= nxt < 0xFFFFFFF7 else nxt
        struct.pack_into("<I", table, 4 * new, nxt)

    region = bytearray(img[:12 * sector])
    struct.pack_into("<Q", region, 72, total)
    struct.pack_into("<I", region, 80, new_fat)
    struct.pack_into("<I", region, 84, fat_sectors)
    struct.pack_into("<I", region, 88, new_heap)
    struct.pack_into("<I", region, 92, count)
    struct.pack_into("<I", region, 96, number[root])
    checksum = boot_checksum(region)
    region[11 * sector:12 * sector] = struct.pack("<I", checksum) * (sector // 4)

    out = bytearray(region) + region + table
    for c in kept:
        out += renumber(data(c)) if c in directories else data(c)
    out += bytes(spare * cluster_bytes)
    assert len(out) == total * sector
    return bytes(out)


# ---- The corpora ---------------------------------------------------------

def main():
    fat16 = image("fat16")
    fat32 = image("fat32")
    ntfs = image("ntfs_files")
    exfat = image("exfat")

    fat16_cut, companions = compact_fat(fat16, False)
    fat32_cut, _ = compact_fat(fat32, True)
    ntfs_cut = compact_ntfs(ntfs)
    write("fat", "fat16_tree", fat16_cut)
    write("fat", "fat32_tree", fat32_cut)
    write("ntfs", "ntfs_files_tree", ntfs_cut)
    write("exfat", "exfat_files_tree", compact_exfat(image("exfat_files")))

    # Discovery: each boot sector alone, and a disk of a zero sector, the
    # FAT32 cut and an exFAT boot region, found by the forward search.
    write("volume", "boot_fat16", fat16[:512])
    write("volume", "boot_fat32", fat32[:512])
    write("volume", "boot_ntfs", ntfs[:512])
    write("volume", "boot_exfat", exfat[:512])
    write("volume", "disk_zero_fat32_exfat", bytes(512) + fat32_cut + exfat[:12 * 512])

    # The "$I" companions of the FAT16 recycle bin, both layouts and the
    # damaged ones, as the restoration reads them.
    for name, data in sorted(companions.items()):
        write("recycle", name.replace("$", "").replace(" ", "_"), data)

    # Carving: a cut of the raw carving image where files lie back to back.
    carve_raw = image("carve_raw")
    write("carve", "raw_back_to_back", carve_raw[65536:65536 + 4096])
    write("carve", "raw_filler", carve_raw[262144:262144 + 8192])


if __name__ == "__main__":
    main()
