# Shared by the scripts in this folder (make_*.sh, check_images.sh), which
# source it after setting HERE (the folder of the script):
#
#   fixture_out [DIR]        sets OUT: DIR (default $HERE), made and absolute
#   need_tools PKGS TOOL...  stops when a TOOL is missing, naming the packages
#   need_fuse DRIVER         stops when /dev/fuse is missing
#   fixture_fakelib LIB      sets FAKELIB: the path of libfaketime's LIB
#   fixture_work             sets WORK: a scratch folder, released on exit
#   fixture_mtools [LINE...] a private mtools configuration in WORK
#   fixture_python ARG...    runs the Python script on stdin with ARG...;
#                            it can `import fixture` (the module below)
#   compress_images NAME...  OUT/NAME.img.xz beside each OUT/NAME.img
#
# Errors end the script with status 1, as the scripts' own checks do.

fixture_out() {
    OUT=${1:-$HERE}
    mkdir -p "$OUT"
    OUT=$(cd "$OUT" && pwd)
}

need_tools() {
    local packages=$1 tool
    shift
    for tool; do
        command -v "$tool" >/dev/null || { echo "missing tool: $tool (apt-get install -y $packages)" >&2; exit 1; }
    done
}

need_fuse() {
    [ -e /dev/fuse ] || { echo "$1 needs /dev/fuse" >&2; exit 1; }
}

fixture_fakelib() {
    FAKELIB=$(ls /usr/lib/*/faketime/"$1" /usr/lib/faketime/"$1" 2>/dev/null | head -1 || true)
    [ -n "$FAKELIB" ] || { echo "$1 not found (apt-get install -y faketime)" >&2; exit 1; }
}

fixture_work() {
    WORK=$(mktemp -d)
    trap fixture_cleanup EXIT
}

# A FUSE mount at $WORK/mnt and a loop device named in $WORK/loop are
# released first: the mount point lives in WORK, and WORK must never be
# removed while something is mounted there.
fixture_cleanup() {
    mountpoint -q "$WORK/mnt" 2>/dev/null && umount "$WORK/mnt"
    [ -s "$WORK/loop" ] && losetup -d "$(cat "$WORK/loop")" 2>/dev/null
    rm -rf "$WORK"
}

# No user or system quirks and no drive sanity checks (plain image files);
# the arguments are further lines of the configuration.
fixture_mtools() {
    printf '%s\n' mtools_skip_check=1 "$@" > "$WORK/mtoolsrc"
    export MTOOLSRC="$WORK/mtoolsrc" MTOOLS_SKIP_CHECK=1
}

fixture_python() {
    mkdir -p "$WORK/py"
    fixture_module > "$WORK/py/fixture.py"
    PYTHONPATH="$WORK/py" PYTHONDONTWRITEBYTECODE=1 python3 - "$@"
}

compress_images() {
    local n
    for n; do
        xz -9e -k -f -T1 "$OUT/$n.img"
        ls -l "$OUT/$n.img.xz"
    done
}

fixture_module() {
    cat <<'PY'
"""What the fixture scripts share: file bodies, recycle-bin companions, the
manifest each image gets, and the two ways they write a volume (mtools
under faketime, or a FUSE driver whose clock is read from a file)."""
import datetime, hashlib, os, subprocess, sys, struct, time

STAMP = "%Y-%m-%d %H:%M:%S"
FILETIME_EPOCH = datetime.datetime(1601, 1, 1)
MINUTE = datetime.timedelta(minutes=1)


def content(seed, size):
    """Deterministic file body: 32-byte text lines naming the file (by a hash
    of its seed) and the byte offset of the line, so that any misplaced or
    mixed-up cluster shows in a comparison, yet xz packs it well."""
    h = hashlib.sha256(seed.encode("utf-8")).hexdigest()
    out = bytearray()
    i = 0
    while len(out) < size:
        out += ("<%s:%010x:%s>\n" % (h[:8], i * 32, h[8:17])).encode("ascii")
        i += 1
    return bytes(out[:size])


def filetime(dt):
    return int((dt - FILETIME_EPOCH).total_seconds()) * 10_000_000


def companion_v1(size, deleted_at, path):
    """Older companion layout: version 1, former size, deletion time, then the
    former path as UTF-16LE in a fixed 520-byte field (260 characters)."""
    p = path.encode("utf-16-le") + b"\0\0"
    assert len(p) <= 520
    return struct.pack("<QQQ", 1, size, filetime(deleted_at)) + p.ljust(520, b"\0")


def companion_v2(size, deleted_at, path):
    """Newer companion layout: version 2, former size, deletion time, path
    length in characters including the NUL, then the NUL-terminated path."""
    p = path.encode("utf-16-le") + b"\0\0"
    return struct.pack("<QQQI", 2, size, filetime(deleted_at), len(p) // 2) + p


def fill_recycle_bin(img, folder, when, cluster, folder_layout=1, odd_items=True):
    """The recycled items the images share, put into FOLDER in this order:
    a file with a companion in each layout; a recycled folder holding a file
    and one of CLUSTER + 1 bytes, its companion in FOLDER_LAYOUT; with
    ODD_ITEMS, items that keep their names (no companion, a companion too
    short, one whose path has no backslash, one whose former size is no
    smaller than the volume); last desktop.ini, which is no recycled item.
    WHEN is the deletion time every companion gives."""
    n = 1234
    img.put(folder + "/$RABC123.txt", n, former="C:\\Users\\x\\Documents\\report.txt",
            note="companion in the older layout")
    img.put_bytes(folder + "/$IABC123.txt", companion_v1(n, when, "C:\\Users\\x\\Documents\\report.txt"),
                  note="companion, older layout (version 1, path at byte 24)")
    n = 5000
    img.put(folder + "/$RDEF456.docx", n, former="C:\\Users\\x\\Desktop\\Project notes.docx",
            note="companion in the newer layout")
    img.put_bytes(folder + "/$IDEF456.docx",
                  companion_v2(n, when, "C:\\Users\\x\\Desktop\\Project notes.docx"),
                  note="companion, newer layout (version 2, length at byte 24, path at byte 28)")
    folder_path = "C:\\Users\\x\\Pictures\\Trip 2022"
    img.mkdir(folder + "/$RGHI789", "recycled folder")
    img.rows[img.key(folder + "/$RGHI789")]["former"] = folder_path
    img.put(folder + "/$RGHI789/beach.jpg", 3000, former=folder_path + "\\beach.jpg",
            note="inside a recycled folder")
    img.put(folder + "/$RGHI789/Sunset photo.png", cluster + 1, former=folder_path + "\\Sunset photo.png",
            note="inside a recycled folder")
    companion, layout = (companion_v1, "older") if folder_layout == 1 else (companion_v2, "newer")
    img.put_bytes(folder + "/$IGHI789", companion(3000 + cluster + 1, when, folder_path),
                  note="companion of the recycled folder, %s layout" % layout)
    if odd_items:
        img.put(folder + "/$RJKL012.txt", 600, note="no companion: keeps its name")
        img.put(folder + "/$RMNO345.pdf", 800, note="companion too short: keeps its name")
        img.put_bytes(folder + "/$IMNO345.pdf",
                      companion_v1(800, when, "C:\\Users\\x\\Documents\\scan.pdf")[:29],
                      note="companion of 29 bytes (too short)")
        img.put(folder + "/$RPQR678.txt", 400, note="companion path has no backslash: keeps its name")
        img.put_bytes(folder + "/$IPQR678.txt", companion_v1(400, when, "C:orphan.txt"),
                      note="companion whose path has no backslash")
        img.put(folder + "/$RSTU901.txt", 300,
                note="companion's former size exceeds the volume: keeps its name")
        img.put_bytes(folder + "/$ISTU901.txt", companion_v1(1 << 40, when, "C:\\Users\\x\\huge.txt"),
                      note="companion whose former size (1 TiB) is not smaller than the volume")
    img.put_bytes(folder + "/desktop.ini",
                  "\r\n[.ShellClassInfo]\r\nCLSID={645FF040-5081-101B-9F08-00AA002F954E}\r\n"
                  "LocalizedResourceName=@%SystemRoot%\\system32\\shell32.dll,-8964\r\n"
                  .encode("utf-16-le"), note="not a recycled item")


class FixedClock:
    """Runs tools under faketime at a fixed clock that advances by a minute
    after every call, so what they stamp is the same on every run. The
    keyword arguments are passed to every subprocess.run."""

    def __init__(self, start, **kw):
        self.now = start
        self.kw = kw

    def run(self, argv, **kw):
        """Runs a tool at the current clock, advances it; returns the time
        the tool saw."""
        t = self.now
        subprocess.run(["faketime", "-f", t.strftime(STAMP)] + argv, check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, **dict(self.kw, **kw))
        self.now += MINUTE
        return t


class ManifestImage:
    """OUT/NAME.img and its manifest OUT/NAME.manifest.tsv: a row for every
    path ever created, with what it held and whether it was deleted."""

    COLUMNS = ["path", "size", "sha256", "deleted", "expect_identical", "kind",
               "former_path", "mtime", "note"]

    def __init__(self, out, name):
        self.name = name
        self.path = os.path.join(out, name + ".img")
        self.rows = {}          # manifest path -> row dict
        if os.path.exists(self.path):
            os.unlink(self.path)

    @staticmethod
    def key(p):
        return "\\" + p.strip("/").replace("/", "\\")

    def add_folder(self, p, t, note=""):
        self.rows[self.key(p)] = dict(kind="folder", size=0, sha="", deleted=0,
                                      ident=1, former="", note=note, mtime=t)

    def add_file(self, p, data, t, note="", former=""):
        self.rows[self.key(p)] = dict(kind="file", size=len(data),
                                      sha=hashlib.sha256(data).hexdigest(), deleted=0,
                                      ident=1, former=former, note=note, mtime=t)

    def mark_deleted(self, p, identical, note):
        r = self.rows[self.key(p)]
        r["deleted"] = 1
        r["ident"] = 1 if identical else 0
        r["note"] = note or r["note"]

    def mark_tree_deleted(self, p, note):
        """Marks a folder and everything below it deleted; returns their rows."""
        k = self.key(p)
        gone = []
        for path, r in self.rows.items():
            if path == k or path.startswith(k + "\\"):
                r["deleted"] = 1
                r["note"] = note if path == k else "inside the deleted folder " + k
                gone.append(r)
        return gone

    def put(self, p, size, note="", former="", **kw):
        """A new file of SIZE bytes whose body is seeded by the image's name
        and the file's path."""
        self.put_bytes(p, content(self.name + ":" + p, size), note, former, **kw)

    def write_manifest(self):
        with open(os.path.join(os.path.dirname(self.path), self.name + ".manifest.tsv"), "w",
                  encoding="utf-8") as f:
            f.write("\t".join(self.COLUMNS) + "\n")
            for path in sorted(self.rows):
                r = self.rows[path]
                f.write("\t".join([path, str(r["size"]), r["sha"], str(r["deleted"]),
                                   str(r["ident"]), r["kind"], r["former"],
                                   r["mtime"].strftime(STAMP), r["note"]]) + "\n")


class MtoolsImage(ManifestImage):
    """A FAT volume filled only through mtools, every call under faketime
    (see FixedClock). The subclass formats it with self.run(mkfs argv).
    Files are staged in WORK before mcopy takes them."""

    def __init__(self, out, work, name, start, **run_kw):
        super().__init__(out, name)
        self.work = work
        self.clock = FixedClock(start, **run_kw)
        self.tmp = 0

    def run(self, argv):
        return self.clock.run(argv)

    def mt(self, tool, *args):
        return self.run([tool, "-i", self.path] + list(args))

    def mkdir(self, p, note=""):
        self.add_folder(p, self.mt("mmd", "::/" + p), note)

    def put_bytes(self, p, data, note="", former=""):
        self.tmp += 1
        src = os.path.join(self.work, "f%d" % self.tmp)
        with open(src, "wb") as f:
            f.write(data)
        t = self.mt("mcopy", src, "::/" + p)
        os.unlink(src)
        self.add_file(p, data, t, note, former)

    def delete(self, p, identical=True, note=""):
        self.mt("mdel", "::/" + p)
        self.mark_deleted(p, identical, note)

    def deltree(self, p, note=""):
        self.mt("mdeltree", "::/" + p)
        self.mark_tree_deleted(p, note)


class FuseImage(ManifestImage):
    """A volume of SIZE bytes written through a FUSE driver mounted at
    WORK/mnt. The driver runs in the foreground under libfaketime (FAKELIB),
    which re-reads its clock from a file on every call; the script advances
    that clock by STEP before every operation (tick), so the times the driver
    stamps are fixed. The subclass formats the image, names the driver
    (DRIVER) and its command line (mount_argv)."""

    DRIVER = None

    def __init__(self, out, work, name, size, start, step, fakelib):
        super().__init__(out, name)
        self.mnt = os.path.join(work, "mnt")
        self.clockfile = os.path.join(work, "clock")
        self.clock = start
        self.step = step
        self.fakelib = fakelib
        self.proc = None
        os.makedirs(self.mnt, exist_ok=True)
        with open(self.path, "wb") as f:
            f.truncate(size)

    def set_clock(self):
        tmp = self.clockfile + ".new"
        with open(tmp, "w") as f:
            f.write(self.clock.strftime(STAMP) + "\n")
        os.replace(tmp, self.clockfile)     # libfaketime never reads half a file

    def tick(self):
        """Starts the next operation: the driver's clock shows the current
        fixed time until the next tick."""
        if self.proc:
            os.stat(self.mnt)               # let the driver finish the previous operation
        self.clock += self.step
        self.set_clock()
        return self.clock

    def mount(self):
        """Mounts in the foreground under libfaketime; returns once the mount
        is there."""
        self.set_clock()
        env = dict(os.environ, LD_PRELOAD=self.fakelib, FAKETIME_TIMESTAMP_FILE=self.clockfile,
                   FAKETIME_NO_CACHE="1")
        env.pop("FAKETIME", None)
        self.proc = subprocess.Popen(self.mount_argv(), env=env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(200):
            if os.path.ismount(self.mnt):
                return
            if self.proc.poll() is not None:
                sys.exit("%s could not mount %s" % (self.DRIVER, self.path))
            time.sleep(0.05)
        sys.exit("%s did not mount %s" % (self.DRIVER, self.path))

    def umount(self):
        """Unmounts and waits for the driver to end, so that every write is
        on the image."""
        os.stat(self.mnt)
        subprocess.run(["umount", self.mnt], check=True)
        if self.proc.wait() != 0:
            sys.exit("%s failed on %s" % (self.DRIVER, self.path))
        self.proc = None

    def remount(self):
        self.umount()
        self.mount()

    def fs(self, p):
        return os.path.join(self.mnt, p)
PY
}
