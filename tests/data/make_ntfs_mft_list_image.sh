#!/usr/bin/env bash
# Builds ntfs_mft_list.img: a 64 MiB NTFS volume whose MFT grew in so many
# fragments that record 0 no longer holds its run list. The volume is
# formatted by mkntfs and filled through an ntfs-3g mount with one-cluster
# files in one folder ("fill/f00000", ...) until it is full, so the MFT's
# growth interleaves with the files' clusters. ntfs-3g then gives $MFT an
# attribute list, moves the later pieces of its $DATA run list into
# extension records and moves its $FILE_NAME into an extension record too
# (istat IMAGE 0 shows the list). The files hold zeros, which ntfs-3g keeps
# sparse, and ntfs-3g runs with its clock stopped (libfaketime) so that
# every record carries the same times: the image compresses to little, and
# what the tests check is that every record in every MFT fragment is found.
#
# Usage: tests/data/make_ntfs_mft_list_image.sh [OUTDIR]   (default: the script's folder)
# Needs: root, /dev/fuse, mkntfs and ntfs-3g (ntfs-3g), libfaketime (faketime),
# python3, xz.
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/fixture_lib.sh"
fixture_out "${1:-}"
fixture_work

image="$OUT/ntfs_mft_list.img"
rm -f "$image"
truncate -s 64M "$image"
mkntfs -q -F -f -T -c 4096 -L mft-list "$image" >/dev/null 2>&1
mkdir "$WORK/mnt"
fixture_fakelib libfaketime.so.1
LD_PRELOAD="$FAKELIB" FAKETIME="2024-05-04 09:10:00" ntfs-3g "$image" "$WORK/mnt"
python3 - "$WORK/mnt" <<'PY'
import os, sys
folder = os.path.join(sys.argv[1], "fill")
os.makedirs(folder)
count = 0
try:
    while True:
        with open(os.path.join(folder, f"f{count:05d}"), "wb") as f:
            f.write(bytes(4096))
        count += 1
except OSError:
    pass  # the volume is full; the file that did not fit may be left empty
print("files written:", count)
PY
umount "$WORK/mnt"
compress_images ntfs_mft_list
