# Times ostrel against The Sleuth Kit, for the compare_*.sh scripts, which
# source this file after setting $ostrel (the command), $work (a scratch
# folder) and $image (the image both programs read).
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
