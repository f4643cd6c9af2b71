#!/usr/bin/env bash
# How long after a page's first byte reaches scanimage its first row is
# written out, through the bbescl backend and through Debian's
# sane-airscan, from a simulated scanner whose head produces the page at a
# steady rate in large chunks (default 1 MiB chunks at 1 MB/s, every byte
# following the head).  One colour A4 JPEG page at 300 dpi, written as PNM
# so each row goes out as it comes; times are read off strace's timestamps
# of scanimage's own system calls: the first read after the NextDocument
# request, and the first write to the output file.  Prints the median of
# --runs alternated runs for each backend.
#
#   scripts/first-row.sh [--runs N] [--chunk-size BYTES] [--rate BYTES_PER_S]
set -euo pipefail

runs=3
chunk=1048576
rate=1000000
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs=$2; shift 2 ;;
    --chunk-size) chunk=$2; shift 2 ;;
    --rate) rate=$2; shift 2 ;;
    -h|--help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "first-row: unknown argument $1" >&2; exit 2 ;;
  esac
done

root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/lib/simulator.sh"
begin_simulator_script
build_release

# JPEG pages only, so both backends decode the same bytes (sane-airscan
# asks for PNG when offered).
start_simulator --profile flatbed-photo
curl -sf "${sim_url}eSCL/ScannerCapabilities" | grep -v 'image/png' >"$work/caps-jpeg.xml"
stop_simulator
mkdir -p "$work/bbescl" "$work/airscan"
echo bbescl >"$work/bbescl/dll.conf"
echo airscan >"$work/airscan/dll.conf"

# Seconds from the first read after the NextDocument request to the first
# write of the output file, from an strace -ttt log.
first_row_delay() {
  awk -v out="$2" '
    function stamp(   i) { for (i = 1; i <= NF; i++) if ($i ~ /^[0-9]+\.[0-9]+$/) return $i }
    /NextDocument/ && sock == "" { split($0, a, "("); split(a[2], b, ","); sock = b[1]; next }
    sock != "" && !got && $0 ~ ("(read|recvfrom|recvmsg|recv)\\(" sock ",") && $0 !~ /= -1/ && $0 !~ /= 0$/ {
      got = stamp()
    }
    /openat\(/ && index($0, out) { split($0, a, "= "); fd = a[length(a)] + 0 }
    got && fd && $0 ~ ("write\\(" fd ",") { printf "%.3f\n", stamp() - got; exit }' "$1"
}

one_run() {
  local backend=$1 device
  start_simulator --profile "file:$work/caps-jpeg.xml" --format image/jpeg --quiet \
    --chunk-size "$chunk" --scan-rate "$rate" --head-start 0
  echo "$sim_url" >"$work/bbescl/bbescl.conf"
  printf '[devices]\n"escl-sim" = %seSCL, eSCL\n[options]\ndiscovery = disable\n' "$sim_url" \
    >"$work/airscan/airscan.conf"
  device="bbescl:$sim_url"
  if [ "$backend" = airscan ]; then
    device=$(SANE_CONFIG_DIR="$work/airscan" scanimage -L 2>/dev/null \
             | sed -n "s/^device \`\(airscan:[^']*\)'.*/\1/p" | head -n 1)
  fi
  SANE_CONFIG_DIR="$work/$backend" LD_LIBRARY_PATH=$(backend_library_path) \
    strace -f -ttt -s 256 -e trace=openat,read,recvfrom,recvmsg,write,sendto,sendmsg,writev -o "$work/trace" \
    scanimage -d "$device" --mode Color --resolution 300 -x 210 -y 297 --format=pnm \
      -o "$work/page.pnm" 2>/dev/null
  stop_simulator
  first_row_delay "$work/trace" "$work/page.pnm"
}

: >"$work/bbescl.times"
: >"$work/airscan.times"
for _ in $(seq "$runs"); do
  for backend in bbescl airscan; do
    one_run "$backend" >>"$work/$backend.times"
  done
done
bytes=$(stat -c %s "$work/page.pnm")
echo "first-row: A4 colour 300 dpi JPEG page, $chunk-byte chunks at $rate B/s, $runs alternated runs (PNM $bytes bytes)"
for backend in bbescl airscan; do
  printf '%-8s first row %s s after the first page byte (median)\n' "$backend" \
    "$(median <"$work/$backend.times")"
done
