#!/usr/bin/env bash
# Scans the same page from the same simulated scanner through the bbescl
# backend and through Debian's sane-airscan, several times each, and prints
# for both the median wall time, CPU time (user + system) and peak memory of
# scanimage, with the ratios.  The pages are written as PNM, so the
# figures are those of the backends rather than of PNG compression.
# --format jpeg makes the simulator offer JPEG pages only, as many scanners
# do, so both backends decode the same JPEG page.  --callgrind instead runs
# one scan a backend under valgrind's callgrind and prints the instructions
# scanimage executed (all its threads), which repeat from run to run.
# BB_BUILD_DIR names the release build folder to use (build/release).
#
#   scripts/compare-airscan.sh [--runs N] [--resolutions "300 600"] [--mode Color]
#                              [--format png|jpeg] [--callgrind]
set -euo pipefail

runs=5
resolutions="300 600"
mode=Color
format=png
callgrind=false
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs=$2; shift 2 ;;
    --resolutions) resolutions=$2; shift 2 ;;
    --mode) mode=$2; shift 2 ;;
    --format) format=$2; shift 2 ;;
    --callgrind) callgrind=true; runs=1; shift ;;
    -h|--help) sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "compare-airscan: unknown argument $1" >&2; exit 2 ;;
  esac
done

root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/lib/simulator.sh"
begin_simulator_script
build=${BB_BUILD_DIR:-$build}
build_release

case "$format" in
  png|jpeg) ;;
  *) echo "compare-airscan: --format png or jpeg" >&2; exit 2 ;;
esac

# The platen-only profile: this sane-airscan refuses every scan window on
# a device that announces its resolutions as a range.  sane-airscan asks
# for PNG pages when offered; the plug-in names no format, so the format
# compared is made the default, and for JPEG the capabilities are the
# profile's with PNG taken out: both backends decode the same bytes.  A
# fresh simulator for every series: its status document lists past jobs
# and grows with each scan.
profile=flatbed-photo
if [ "$format" = jpeg ]; then
  start_simulator --profile flatbed-photo
  curl -sf "${sim_url}eSCL/ScannerCapabilities" | grep -v 'image/png' >"$work/caps-jpeg.xml"
  stop_simulator
  grep -q 'image/jpeg' "$work/caps-jpeg.xml" || { echo "compare-airscan: no capabilities" >&2; exit 1; }
  profile="file:$work/caps-jpeg.xml"
fi
start_sim() {
  start_simulator --profile "$profile" --format "image/$format"
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
echo "compare-airscan: simulated scanner at $url; $runs runs each, mode $mode, A4, $format pages"
air_device=$(SANE_CONFIG_DIR="$work/airscan" scanimage -L 2>/dev/null \
             | sed -n "s/^device \`\(airscan:[^']*\)'.*/\1/p" | head -n 1)
[ -n "$air_device" ] || { echo "compare-airscan: sane-airscan lists no device" >&2; exit 1; }
stop_sim

# Runs one backend `runs` times at one resolution, on a simulator of its
# own; leaves "wall cpu peak_kb page_bytes" in $work/result.  Not run in a
# subshell, so the exit trap always knows the simulator to stop.
measure() {
  local backend=$1 dpi=$2 i device
  local under=()
  $callgrind && under=(valgrind --tool=callgrind --callgrind-out-file="$work/callgrind.out")
  start_sim
  device=$air_device
  [ "$backend" = bbescl ] && device="bbescl:$url"
  : >"$work/times"
  for i in $(seq "$runs"); do
    local before after
    before=$(wc -l <"$work/sim.log")
    SANE_CONFIG_DIR="$work/$backend" LD_LIBRARY_PATH="$lib_path" \
      /usr/bin/time -f "%e %U %S %M" -o "$work/time" \
      "${under[@]}" scanimage -d "$device" --mode "$mode" --resolution "$dpi" -x 210 -y 297 --format=pnm \
      -o "$work/page.pnm" 2>"$work/scan.err" \
      || { cat "$work/scan.err" >&2; echo "compare-airscan: $backend scan failed" >&2; exit 1; }
    cat "$work/time" >>"$work/times"
    # Instructions executed, every thread together: the "totals" line.
    if $callgrind; then awk '/^totals:/ {print $2}' "$work/callgrind.out" >"$work/instructions"; fi
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

if $callgrind; then
  printf '\n%-8s %5s %16s %12s\n' backend dpi instructions "page bytes"
  for dpi in $resolutions; do
    measure bbescl "$dpi"
    bi=$(cat "$work/instructions"); bp=$(awk '{print $4}' "$work/result")
    measure airscan "$dpi"
    ai=$(cat "$work/instructions"); ap=$(awk '{print $4}' "$work/result")
    printf '%-8s %5s %16s %12s\n' bbescl "$dpi" "$bi" "$bp"
    printf '%-8s %5s %16s %12s\n' airscan "$dpi" "$ai" "$ap"
    awk -v b="$bi" -v a="$ai" -v d="$dpi" 'BEGIN { printf "%-8s %5s %15.3fx   (bbescl / airscan)\n", "ratio", d, b / a }'
  done
  exit 0
fi

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
