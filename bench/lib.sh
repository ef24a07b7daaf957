# What check-bench.sh and diff-bench.sh share: a command's best time and its
# peak memory, ratios, and packing a release. Sourced; `runs` is the number
# of runs, `quillet` the packer.

# Best wall-clock seconds of `runs` runs of a command, and the CPU seconds
# (user + system) of that run.
best() {
  local best="" cpu="" line wall used
  for _ in $(seq "$runs"); do
    line=$({ TIMEFORMAT='%3R %3U %3S'; time "$@" </dev/null >/dev/null 2>&1; } 2>&1 | tail -1)
    wall=$(echo "$line" | cut -d' ' -f1)
    used=$(echo "$line" | awk '{print $2 + $3}')
    if [ -z "$best" ] || [ "$(echo "$wall < $best" | bc -l)" = 1 ]; then best=$wall; cpu=$used; fi
  done
  printf '%.3f %.3f' "$best" "$cpu"
}

# Peak memory of a command in MiB (a release the check refuses ends it with
# its exit code: still a figure).
peak_mib() {
  { /usr/bin/time -f '%M' "$@" 2>&1 >/dev/null </dev/null || true; } | tail -1 |
    awk '{printf "%.1f", $1 / 1024}'
}

ratio() { echo "scale=2; $1 / $2" | bc -l | sed 's/^\./0./'; }

# Packs $1/FlashDrive with the packer and the real 7za into $1/ZarvoEUupdate.zip.
pack() {
  ln -sf "$(command -v 7za)" "$1/7za"
  (cd "$1" && "$quillet" </dev/null >/dev/null)
}
