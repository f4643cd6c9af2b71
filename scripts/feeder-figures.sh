#!/usr/bin/env bash
# Figures of feeder batches from the simulated scanner: a 10-sheet batch of
# the same JPEG pages through the bbescl backend and through Debian's
# sane-airscan (median wall time of alternated runs, and the ratio), the
# status requests each backend makes per page, and how long scanimage takes
# to exit after a SIGINT while the job waits in Pending.
#
#   scripts/feeder-figures.sh [--runs N] [--sheets N] [--resolution DPI]
set -euo pipefail

runs=5
sheets=10
dpi=300
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs=$2; shift 2 ;;
    --sheets) sheets=$2; shift 2 ;;
    --resolution) dpi=$2; shift 2 ;;
    -h|--help) sed -n '2,8p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "feeder-figures: unknown argument $1" >&2; exit 2 ;;
  esac
done

root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/lib/simulator.sh"
begin_simulator_script
build_release

# A multifunction device with discrete resolutions (this sane-airscan reads
# no resolution ranges) that offers JPEG only, so both backends decode the
# same bytes.
grep -v 'image/png' "$root/tests/peers/mfp-discrete.xml" >"$work/mfp-jpeg.xml"
mkdir -p "$work/bbescl" "$work/airscan"
echo bbescl >"$work/bbescl/dll.conf"
echo airscan >"$work/airscan/dll.conf"
lib_path=$(backend_library_path)

start_sim() {
  start_simulator --profile "file:$work/mfp-jpeg.xml" --format image/jpeg --adf-sheets "$sheets" "$@"
  echo "$sim_url" >"$work/bbescl/bbescl.conf"
  cat >"$work/airscan/airscan.conf" <<CONF
[devices]
"escl-sim" = ${sim_url}eSCL, eSCL
[options]
discovery = disable
CONF
}

device_of() {
  if [ "$1" = bbescl ]; then echo "bbescl:$sim_url"; return; fi
  SANE_CONFIG_DIR="$work/airscan" scanimage -L 2>/dev/null \
    | sed -n "s/^device \`\(airscan:[^']*\)'.*/\1/p" | head -n 1
}

# One batch through one backend; appends "wall status_requests pages" to
# $work/<backend>.runs.
batch() {
  local backend=$1 device before
  device=$(device_of "$backend")
  [ -n "$device" ] || { echo "feeder-figures: $backend lists no device" >&2; exit 1; }
  rm -f "$work"/page-*.pnm
  before=$(wc -l <"$work/sim.log")
  SANE_CONFIG_DIR="$work/$backend" LD_LIBRARY_PATH="$lib_path" \
    /usr/bin/time -f "%e" -o "$work/time" \
    scanimage -d "$device" --source ADF --mode Color --resolution "$dpi" --format=pnm \
    --batch="$work/page-%d.pnm" 2>"$work/scan.err" \
    || { cat "$work/scan.err" >&2; echo "feeder-figures: $backend batch failed" >&2; exit 1; }
  local pages statuses
  pages=$(ls "$work"/page-*.pnm 2>/dev/null | wc -l)
  statuses=$(tail -n +"$((before + 1))" "$work/sim.log" | grep -c 'GET /eSCL/ScannerStatus' || true)
  echo "$(cat "$work/time") $statuses $pages" >>"$work/$backend.runs"
}

figures() {
  local label=$1
  shift
  : >"$work/bbescl.runs"
  : >"$work/airscan.runs"
  start_sim "$@"
  for _ in $(seq "$runs"); do
    batch bbescl
    batch airscan
  done
  stop_simulator
  local bw aw
  bw=$(awk '{print $1}' "$work/bbescl.runs" | median)
  aw=$(awk '{print $1}' "$work/airscan.runs" | median)
  for b in bbescl airscan; do
    awk -v b="$b" -v l="$label" '{w[NR]=$1; s+=$2; p+=$3} END {
      printf "%-22s %-8s %6d %12.2f\n", l, b, p / NR, s / p }' "$work/$b.runs"
  done
  printf '%-22s %-8s wall (median of %d): bbescl %.2f s, airscan %.2f s, ratio %.2fx\n' \
    "$label" "" "$runs" "$bw" "$aw" "$(awk -v a="$bw" -v b="$aw" 'BEGIN {print a / b}')"
}

echo "feeder-figures: $sheets sheets, colour, $dpi dpi, A4, JPEG pages; $runs alternated runs"
printf '%-22s %-8s %6s %12s\n' device backend pages "status/page"
figures "feeder" 
figures "pending-between-pages" --pending-between-pages

# SIGINT while the job waits in Pending (the scanner Processing for ever):
# the time until scanimage exits, and whether the job was deleted.
start_sim --pending-polls 1000000
before=$(wc -l <"$work/sim.log")
SANE_CONFIG_DIR="$work/bbescl" LD_LIBRARY_PATH="$lib_path" \
  scanimage -d "bbescl:$sim_url" --source ADF --resolution 75 --format=pnm -o "$work/x.pnm" \
  2>"$work/cancel.err" &
scan_pid=$!
for _ in $(seq 200); do
  [ "$(tail -n +"$((before + 1))" "$work/sim.log" | grep -c 'GET /eSCL/ScannerStatus' || true)" -ge 3 ] && break
  sleep 0.05
done
t0=$(date +%s.%N)
kill -INT "$scan_pid"
wait "$scan_pid" || true
t1=$(date +%s.%N)
deleted=$(tail -n +"$((before + 1))" "$work/sim.log" | grep -c '^.*DELETE /eSCL/ScanJobs/' || true)
stop_simulator
printf 'SIGINT during a Pending wait: scanimage exited after %.3f s; DELETE requests sent: %d\n' \
  "$(awk -v a="$t0" -v b="$t1" 'BEGIN {print b - a}')" "$deleted"
