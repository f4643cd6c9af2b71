#!/usr/bin/env bash
# Runs a SANE program with the bbescl backend as built here (nothing
# installed) against the simulated scanner, started on 127.0.0.1 for the
# run and stopped afterwards.  Without a program it lists the device.
# Simulator options go before "--".
#
#   scripts/try.sh                              # scanimage -L
#   scripts/try.sh simple-scan                  # or xsane, or any SANE program
#   scripts/try.sh --profile camera -- scanimage -d bbescl --format=png -o page.png
#   (the device name "bbescl" alone picks the simulated scanner)
set -euo pipefail

sim_args=()
if [[ " $* " == *" -- "* ]]; then
  while [ "$1" != "--" ]; do sim_args+=("$1"); shift; done
  shift
fi
[ $# -gt 0 ] || set -- scanimage -L
case "$1" in -h|--help) sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;; esac

root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/lib/simulator.sh"
begin_simulator_script
build_release
start_simulator --quiet "${sim_args[@]}"
echo "try: simulated scanner at $sim_url (device bbescl:$sim_url)" >&2

mkdir "$work/sane.d"
echo bbescl >"$work/sane.d/dll.conf"
echo "$sim_url" >"$work/sane.d/bbescl.conf"
export SANE_CONFIG_DIR="$work/sane.d"
LD_LIBRARY_PATH=$(backend_library_path)
export LD_LIBRARY_PATH
# "-d bbescl" names the backend's first device: the simulator.
"$@"
