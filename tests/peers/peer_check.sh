#!/usr/bin/env bash
# One scan through a real SANE backend from escl-sim, compared with the chart.
#
#   peer_check.sh CHECK ESCL_SIM COMPARE_CHART PEERS_DIR
#
# CHECK is airscan_flatbed, airscan_feeder, escl_flatbed, or airscan_tls and
# escl_tls: the flatbed scan over TLS, from a simulator with a fresh
# self-signed certificate, which both peers take unchecked. The simulator runs
# on a free loopback port; the backend gets a private SANE_CONFIG_DIR that
# names only that backend and only the simulator. Exit 77 skips the check
# when scanimage or the backend is not installed.
set -euo pipefail

check=$1 sim=$2 compare=$3 peers_dir=$4
backend_dir=/usr/lib/x86_64-linux-gnu/sane

command -v scanimage >/dev/null || { echo "scanimage not installed"; exit 77; }
case $check in
  airscan_*) backend=airscan ;;
  escl_*) backend=escl ;;
  *) echo "unknown check $check"; exit 2 ;;
esac
ls "$backend_dir"/libsane-"$backend".so* >/dev/null 2>&1 || { echo "no $backend backend"; exit 77; }

work=$(mktemp -d)
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

profile=flatbed-photo
sim_args=()
# sane-airscan reads resolution ranges from scan:XResolution elements, not
# from the scan:XResolutionRange elements of the eSCL schema: its feeder check
# uses the multifunction device with discrete resolutions.
[ "$check" = airscan_feeder ] && profile="file:$peers_dir/mfp-discrete.xml" && sim_args=(--adf-sheets 2)
[ "$check" = airscan_tls ] && sim_args=(--tls)
[ "$check" = escl_tls ] && profile="file:$peers_dir/flatbed-jpeg.xml" && sim_args=(--tls)
# The escl backend (sane-backends 1.2.1) turns PNG pages upside down: its
# device offers JPEG only.
[ "$check" = escl_flatbed ] && profile="file:$peers_dir/flatbed-jpeg.xml"

# The simulator prints its base URL once it accepts connections.
coproc SIM { exec "$sim" --port 0 --profile "$profile" "${sim_args[@]}" 2>"$work/sim.log"; }
sim_pid=$SIM_PID
read -r -t 20 url <&"${SIM[0]}" || { echo "escl-sim did not start"; cat "$work/sim.log"; exit 1; }
echo "escl-sim at $url"
case $check in *_tls) [[ $url == https://* ]] || { echo "escl-sim does not speak TLS"; exit 1; } ;; esac

mkdir "$work/conf"
export SANE_CONFIG_DIR=$work/conf
echo "$backend" >"$work/conf/dll.conf"
if [ "$backend" = airscan ]; then
  cat >"$work/conf/airscan.conf" <<CONF
[devices]
"Sim" = ${url}eSCL, eSCL
[options]
discovery = disable
CONF
  device='airscan:e0:Sim'
else
  echo "device ${url%/}" >"$work/conf/escl.conf"
  # The escl backend lists configured devices only while an mDNS daemon
  # runs; opened by its URL it needs none.
  device="escl:${url%/}"
fi

dpi=75 left=20 top=30 width=50 height=40
# The escl backend (sane-backends 1.2.1) sends the bottom right corner as the
# region's size with offsets 0, and crashes cropping a JPEG page itself: its
# area has to start at the top left corner.
[[ $check == escl_* ]] && left=0 top=0
status=0
case $check in
  airscan_flatbed|airscan_tls|escl_flatbed|escl_tls)
    timeout 60 scanimage -d "$device" --source Flatbed --mode Color --resolution $dpi \
      -l $left -t $top -x $width -y $height --format=pnm -o "$work/page.pnm" || status=$?
    [ $status -eq 0 ] && { "$compare" "$work/page.pnm" --dpi $dpi --left-mm $left --top-mm $top \
      --width-mm $width --height-mm $height || status=$?; }
    ;;
  airscan_feeder)
    # Two sheets through the duplex feeder: four pages, each the chart.
    left=0 top=0
    (cd "$work" && timeout 60 scanimage -d "$device" --source "ADF Duplex" --mode Gray \
      --resolution $dpi -l $left -t $top -x $width -y $height --format=pnm \
      --batch="$work/page%d.pnm") || status=$?
    pages=$(ls "$work"/page*.pnm 2>/dev/null | wc -l)
    echo "feeder pages: $pages"
    [ "$pages" -eq 4 ] || status=1
    for page in "$work"/page*.pnm; do
      [ -e "$page" ] || continue
      "$compare" "$page" --dpi $dpi --left-mm $left --top-mm $top --width-mm $width \
        --height-mm $height || status=1
    done
    ;;
esac

kill -TERM "$sim_pid"
sim_status=0
wait "$sim_pid" || sim_status=$?
sim_pid=
echo "--- escl-sim log"
cat "$work/sim.log"
if [ $sim_status -ne 0 ]; then echo "escl-sim exited with $sim_status"; status=1; fi
exit $status
