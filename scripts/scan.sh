#!/usr/bin/env bash
# Scans one colour A4 page at 300 dpi through the bbescl SANE backend into
# scan.png in the current folder.  By default the page comes from the
# simulated scanner (escl-sim, started on 127.0.0.1 and stopped afterwards);
# with --device URI it comes from a real eSCL scanner.
#
#   scripts/scan.sh                              # simulated scanner
#   scripts/scan.sh --device http://192.168.1.20/  # a real one
set -euo pipefail

usage() {
  sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'
}

device_uri=""
while [ $# -gt 0 ]; do
  case "$1" in
    --device) [ $# -ge 2 ] || { echo "scan: --device needs a URI" >&2; exit 2; }
              device_uri=$2; shift 2 ;;
    --device=*) device_uri=${1#--device=}; shift ;;
    -h|--help) usage; exit 0 ;;
    *) echo "scan: unknown argument $1 (see --help)" >&2; exit 2 ;;
  esac
done

root=$(cd "$(dirname "$0")/.." && pwd)
out_dir=$(pwd)
. "$root/scripts/lib/simulator.sh"
begin_simulator_script

echo "scan: building in $build"
build_release

if [ -z "$device_uri" ]; then
  start_simulator --quiet
  device_uri=$sim_url
  echo "scan: simulated scanner at $device_uri"
fi

# A SANE configuration of its own: only this backend, only this device.
mkdir "$work/sane.d"
echo bbescl >"$work/sane.d/dll.conf"
echo "$device_uri" >"$work/sane.d/bbescl.conf"
export SANE_CONFIG_DIR="$work/sane.d"
LD_LIBRARY_PATH=$(backend_library_path)
export LD_LIBRARY_PATH

scanimage --progress -d "bbescl:$device_uri" --mode Color --resolution 300 -x 210 -y 297 \
  --format=png -o "$out_dir/scan.png"
echo

# Width and height from the PNG's header (IHDR, bytes 16-23, big-endian).
read -r w1 w2 w3 w4 h1 h2 h3 h4 < <(od -An -tu1 -j16 -N8 "$out_dir/scan.png")
width=$(( (w1 << 24) | (w2 << 16) | (w3 << 8) | w4 ))
height=$(( (h1 << 24) | (h2 << 16) | (h3 << 8) | h4 ))
bytes=$(stat -c %s "$out_dir/scan.png")
echo "scan: $out_dir/scan.png: $width x $height pixels at 300 dpi" \
     "($(awk "BEGIN{printf \"%.1f x %.1f mm\", $width/300*25.4, $height/300*25.4}")), $bytes bytes"
