#!/usr/bin/env bash
# Scans the same page from the same simulated scanner through the bbescl
# backend and through Debian's sane-airscan, several times each, and prints
# for both the median wall time, CPU time (user + system) and peak memory of
# scanimage, with the ratios.  The pages are written as PNM, so the
# figures are those of the backends rather than of PNG compression.
#
#   scripts/compare-airscan.sh [--runs N] [--resolutions "300 600"] [--mode Color]
set -euo pipefail

runs=5
resolutions="300 600"
mode=Color
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs=$2; shift 2 ;;
    --resolutions) resolutions=$2; shift 2 ;;
    --mode) mode=$2; shift 2 ;;
    -h|--help) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "compare-airscan: unknown argument $1" >&2; exit 2 ;;
  esac
done

root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
work=$(mktemp -d)
. "$root/scripts/lib/simulator.sh"
trap 'stop_simulator; rm -rf "$work"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
build_release

# The platen-only profile: this sane-airscan refuses every scan window on
# a device that announces its resolutions as a range.  sane-airscan asks
# for PNG pages; the plug-in names no format, so PNG is made the default and
# both backends decode the same bytes.  A fresh simulator for every series:
# its status document lists past jobs and grows with each scan.
start_sim() {
  start_simulator --profile flatbed-photo --format image/png
  url=$sim_url
  echo "$url" >"$work/bbescl/bbescl.conf"
  cat >"$work/airscan/airscan.conf" <<CONF
[devices]
"escl-sim" = ${url}eSCL, eSCL
[options]
discovery = disable
CONF
}
stop_sim() { stop_simulator; }

# One SANE configuration per backend, each naming only its own backend.
mkdir -p "$work/bbescl" "$work/airscan"
echo bbescl >"$work/bbescl/dll.conf"
echo airscan >"$work/airscan/dll.conf"
lib_path=$(backend_library_path)

start_sim
echo "compare-airscan: simulated scanner at $url; $runs runs each, mode $mode, A4"
air_device=$(SANE_CONFIG_DIR="$work/airscan" scanimage -L 2>/dev/null \
             | sed -n "s/^device \`\(airscan:[^']*\)'.*/\1/p" | head -n 1)
[ -n "$air_device" ] || { echo "compare-airscan: sane-airscan lists no device" >&2; exit 1; }
stop_sim

# Runs one backend `runs` times at one resolution, on a simulator of its
# own; leaves "wall cpu peak_kb page_bytes" in $work/result.  Not run in a
# subshell, so the exit trap always knows the simulator to stop.
measure() {
  local backend=$1 dpi=$2 i device
  start_sim
  device=$air_device
  [ "$backend" = bbescl ] && device="bbescl:$url"
  : >"$work/times"
  for i in $(seq "$runs"); do
    local before after
    before=$(wc -l <"$work/sim.log")
    SANE_CONFIG_DIR="$work/$backend" LD_LIBRARY_PATH="$lib_path" \
      /usr/bin/time -f "%e %U %S %M" -o "$work/time" \
      scanimage -d "$device" --mode "$mode" --resolution "$dpi" -x 210 -y 297 --format=pnm \
      -o "$work/page.pnm" 2>"$work/scan.err" \
      || { cat "$work/scan.err" >&2; echo "compare-airscan: $backend scan failed" >&2; exit 1; }
    cat "$work/time" >>"$work/times"
    # The size of the page the simulator sent, from its request log.
    after=$(tail -n +"$((before + 1))" "$work/sim.log" | awk '/NextDocument/ && $(NF-1) == 200 {b = $NF} END {print b + 0}')
    echo "$after" >"$work/page_bytes"
  done
  stop_sim
  local wall cpu peak
  wall=$(awk '{print $1}' "$work/times" | median)
  cpu=$(awk '{print $2 + $3}' "$work/times" | median)
  peak=$(awk '{print $4}' "$work/times" | median)
  echo "$wall $cpu $peak $(cat "$work/page_bytes")" >"$work/result"
}

printf '\n%-8s %5s %9s %9s %10s %12s\n' backend dpi "wall s" "cpu s" "peak MB" "page bytes"
for dpi in $resolutions; do
  measure bbescl "$dpi"
  read -r bw bc bm bp <"$work/result"
  measure airscan "$dpi"
  read -r aw ac am ap <"$work/result"
  printf '%-8s %5s %9.2f %9.2f %10.1f %12s\n' bbescl "$dpi" "$bw" "$bc" "$(echo "$bm" | awk '{print $1/1024}')" "$bp"
  printf '%-8s %5s %9.2f %9.2f %10.1f %12s\n' airscan "$dpi" "$aw" "$ac" "$(echo "$am" | awk '{print $1/1024}')" "$ap"
  awk -v bw="$bw" -v aw="$aw" -v bc="$bc" -v ac="$ac" -v bm="$bm" -v am="$am" -v d="$dpi" 'BEGIN {
    printf "%-8s %5s %8.2fx %8.2fx %9.2fx   (bbescl / airscan)\n", "ratio", d, bw / aw, (ac > 0 ? bc / ac : 0), bm / am }'
done
