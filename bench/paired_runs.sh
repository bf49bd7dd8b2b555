# Times ostrel against The Sleuth Kit, for the compare_*.sh scripts, which
# source this file from the top of the tree. The measuring functions use
# $ostrel (the command), $work (a scratch folder) and $image (the image both
# programs read); need_bench_tools and bench_folders, below, set the first
# two.
#
# This machine's host may take clean pages of the page cache back between
# runs; a run that reads them from the disk again measures the disk, and
# which program meets that is chance. So before every run the image is read
# through once (from the cache when it is still there), and the two programs
# run in turn, so that a slower or faster spell of the machine falls on both.
runs=${runs:-5}
reset=: after=:
# One run of the command after $reset: sets $secs, $mem (peak KiB) and
# $status; its output is in $work/TAG.out and $work/TAG.err, and $after TAG
# runs after it.
one_run() {
  local tag=$1 start end
  shift
  $reset
  cat "$image" >/dev/null
  start=$(date +%s.%N)
  status=0
  /usr/bin/time -f %M -o "$work/rss" "$@" >"$work/$tag.out" 2>"$work/$tag.err" || status=$?
  end=$(date +%s.%N)
  secs=$(echo "$end - $start" | bc -l)
  mem=$(tail -n 1 "$work/rss")
  $after "$tag"
}
# Runs the commands in the arrays a and b in turn, once each untimed, then
# $runs times each; sets $median_a and $rss_a (peak memory of the median run)
# and $status_a, and the same for b.
measure_pair() {
  local ta=() tb=() i middle=$(((runs + 1) / 2))
  one_run a "${a[@]}"
  one_run b "${b[@]}"
  for i in $(seq "$runs"); do
    one_run a "${a[@]}"
    ta+=("$secs $mem") status_a=$status
    one_run b "${b[@]}"
    tb+=("$secs $mem") status_b=$status
  done
  read -r median_a rss_a < <(printf '%s\n' "${ta[@]}" | sort -g | sed -n "${middle}p")
  read -r median_b rss_b < <(printf '%s\n' "${tb[@]}" | sort -g | sed -n "${middle}p")
}
ratio() { # prints $1 / $2, or - when $2 is zero
  if [ "$(echo "$2 == 0" | bc -l)" = 1 ]; then echo "-"; else printf '%.2f' "$(echo "$1 / $2" | bc -l)"; fi
}
notes=()
note_failure() { # what ran, its status, its tag: keeps the first error line of a failed run
  [ "$2" = 0 ] || notes+=("$1 exited with status $2: $(grep -v '^Command exited' "$work/$3.err" | head -n 1)")
}

# The scan: `ostrel ls` against `fls -r -p`, every entry live or deleted.
# ostrel ends each volume's listing with "N folders, N files, N deleted";
# fls prints one line per entry, a deleted one with "*". Sets ls_time,
# ls_rss, fls_time, fls_rss, ls_folders, ls_files, ls_deleted, fls_lines and
# fls_deleted.
compare_listings() {
  reset=: after=:
  a=("$ostrel" ls "$image")
  b=(fls -r -p "$image")
  measure_pair
  ls_time=$median_a ls_rss=$rss_a fls_time=$median_b fls_rss=$rss_b
  note_failure "ostrel ls" "$status_a" a
  read -r ls_folders ls_files ls_deleted < <(awk '
    /^[0-9]+ folders, [0-9]+ files, [0-9]+ deleted/ { d += $1; f += $3; x += $5 }
    END { print d + 0, f + 0, x + 0 }' "$work/a.out")
  fls_lines=$(wc -l < "$work/b.out")
  fls_deleted=$(grep -c '^[^:]* \* ' "$work/b.out" || true)
}

# The recovery: `ostrel recover` against `tsk_recover -e`, into $outputs/a
# and $outputs/b. Both programs' earlier output is removed, and written back,
# before each run, so that neither runs beside the other's files or its
# writeback. Sets rec_time, tsk_time, rec_files and tsk_files, and leaves
# tsk_recover's last tree in $outputs/b for clear_outputs to remove.
clear_outputs() { rm -rf "${outputs:?}/a" "${outputs:?}/b"; sync; }
count_saved() { # tag: sets files_TAG, the number of files saved
  printf -v "files_$1" %s "$(if [ -d "$outputs/$1" ]; then find "$outputs/$1" -type f | wc -l; else echo 0; fi)"
}
compare_recoveries() {
  reset=clear_outputs after=count_saved
  a=("$ostrel" recover "$image" -o "$outputs/a")
  b=(tsk_recover -e "$image" "$outputs/b")
  measure_pair
  rec_time=$median_a tsk_time=$median_b rec_files=$files_a tsk_files=$files_b
  note_failure "ostrel recover" "$status_a" a
  note_failure "tsk_recover -e" "$status_b" b
  reset=: after=:
}

# ---- setting up --------------------------------------------------------------
# need_bench_tools TOOL...: sets $ostrel, the command in $build; stops unless
# it is built and TOOL... and /usr/bin/time are there.
need_bench_tools() {
  local tool
  ostrel="$build/ostrel"
  [ -x "$ostrel" ] || { echo "build the ostrel command first ($ostrel)" >&2; exit 2; }
  for tool; do
    command -v "$tool" >/dev/null || { echo "$tool missing (see Needs: in $0)" >&2; exit 2; }
  done
  [ -x /usr/bin/time ] || { echo "/usr/bin/time missing: apt-get install time" >&2; exit 2; }
}

# bench_folders: sets $cache (made: the generated volumes are kept there),
# $work (a scratch folder, $mnt the mount point in it) and $outputs (where
# compare_recoveries puts the recovered files), and releases them on exit.
# The recovered files go to memory when /dev/shm allows, so that the figures
# are the programs' and not the disk's; OSTREL_BENCH_OUT picks another place.
fuse_pid= loop=
bench_folders() {
  cache=${OSTREL_BENCH_CACHE:-${TMPDIR:-/tmp}/ostrel-bench-cache}
  mkdir -p "$cache"
  work=$(mktemp -d)
  mnt="$work/mnt"
  out_parent=${OSTREL_BENCH_OUT:-$( [ -d /dev/shm ] && [ -w /dev/shm ] && echo /dev/shm || echo "$work")}
  outputs=$(mktemp -d "$out_parent/ostrel-bench-out.XXXXXX")
  trap bench_cleanup EXIT
}
bench_cleanup() {
  if [ -n "$fuse_pid" ]; then
    umount "$mnt" 2>/dev/null || true
    wait "$fuse_pid" 2>/dev/null || true
  fi
  [ -n "$loop" ] && losetup -d "$loop" 2>/dev/null || true
  rm -rf "$work" "$outputs"
}

# fuse_mount IMAGE DRIVER ARG...: mounts at $mnt with a FUSE driver that
# stays in the foreground, so that waiting for it after umount
# (fuse_unmount) means every write has reached IMAGE.
fuse_mount() {
  local target=$1 _
  shift
  mkdir -p "$mnt"
  "$@" >"$work/fuse.log" 2>&1 &
  fuse_pid=$!
  for _ in $(seq 100); do mountpoint -q "$mnt" && break; sleep 0.1; done
  mountpoint -q "$mnt" || { echo "${1#mount.} did not mount $target:" >&2; tail "$work/fuse.log" >&2; exit 2; }
}
fuse_unmount() {
  umount "$mnt"
  wait "$fuse_pid"
  fuse_pid=
}

# tree_python ARG...: runs the Python script on stdin with ARG...; it can
# `from bench_tree import fill_tree` (below), which writes the tree of
# folders and files both FUSE volumes hold and deletes a part of it.
tree_python() {
  mkdir -p "$work/py"
  cat > "$work/py/bench_tree.py" <<'PY'
import os, shutil


def fill_tree(root, tops, folders, files, kinds, body):
    """TOPS x FOLDERS folders (topAA/folder AA-BB) of FILES files each, every
    seventh with a longer name, the extensions taken from KINDS in turn, the
    bytes from body(), called once per file in order. Then deleted: folder
    BB = 7 of every second top whole, and every tenth file in the others."""
    for a in range(tops):
        for b in range(folders):
            folder = f"{root}/top{a:02}/folder {a:02}-{b:02}"
            os.makedirs(folder)
            for f in range(files):
                name = f"file{f:02}" + ("_with_a_longer_name" if f % 7 == 0 else "") + kinds[f % len(kinds)]
                with open(f"{folder}/{name}", "wb") as out:
                    out.write(body())

    gone = {(a, 7) for a in range(0, tops, 2)}
    for a in range(tops):
        for b in range(folders):
            folder = f"{root}/top{a:02}/folder {a:02}-{b:02}"
            if (a, b) in gone:
                shutil.rmtree(folder)
                continue
            for name in sorted(os.listdir(folder))[::10]:
                os.unlink(f"{folder}/{name}")
PY
  PYTHONPATH="$work/py" PYTHONDONTWRITEBYTECODE=1 python3 - "$@"
}

# cached_volume KIND: makes $image with `generate FILE` unless the cache
# holds it; a volume only half made is never taken for one.
cached_volume() {
  local start
  if [ -s "$image" ]; then
    echo "using the cached volume $image"
  else
    echo "making the $1 volume (cached in $cache) ..."
    start=$(date +%s.%N)
    generate "$image.part"
    mv "$image.part" "$image"
    printf 'generated in %.1f s\n' "$(echo "$(date +%s.%N) - $start" | bc -l)"
  fi
  echo "image: $(du -h --apparent-size "$image" | cut -f1) ($(du -h "$image" | cut -f1) on disk)"
}

# ---- the table -----------------------------------------------------------------
row_width=12  # of the two figure columns
table_head() {
  printf "%-34s %${row_width}s %${row_width}s %8s\n" "" "ostrel" "reference" "ratio"
}
row() { # label, ostrel figure, reference figure, printf format[, - for no ratio]
  printf "%-34s %${row_width}$4 %${row_width}$4 %8s\n" "$1" "$2" "$3" "$([ "${5:-}" = - ] && echo - || ratio "$2" "$3")"
}
