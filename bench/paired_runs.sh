# Times a command against its reference, for the compare_*.sh scripts, which
# source this file after setting $work (a scratch folder) and $image (the
# image both commands read).
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
notes=()
note_failure() { # what ran, its status, its tag: keeps the first error line of a failed run
  [ "$2" = 0 ] || notes+=("$1 exited with status $2: $(grep -v '^Command exited' "$work/$3.err" | head -n 1)")
}
