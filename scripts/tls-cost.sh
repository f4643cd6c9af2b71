#!/usr/bin/env bash
# What TLS costs the client: scanimage's CPU time (user + system) for one
# colour A4 page at 600 dpi from the simulated scanner, over plain HTTP and
# over TLS (the key pinned on the first run), with the release build.
# Prints the median of --runs alternated runs for each, and the difference.
# Options after -- go to both simulators (for instance --format image/png,
# or --jpeg-quality 100 for a page of more bytes).
#
#   scripts/tls-cost.sh [--runs N] [-- SIMULATOR OPTIONS]
set -euo pipefail

runs=5
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs=$2; shift 2 ;;
    --) shift; break ;;
    -h|--help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "tls-cost: unknown argument $1" >&2; exit 2 ;;
  esac
done

root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/lib/simulator.sh"
begin_simulator_script
build_release

mkdir -p "$work/sane.d"
echo bbescl >"$work/sane.d/dll.conf"
: >"$work/sane.d/bbescl.conf"

# Seconds of CPU scanimage used for one page from `url`, from the shell's
# `times` (milliseconds) in a subshell whose only child is scanimage.
cpu_of_scan() {
  (
    SANE_CONFIG_DIR="$work/sane.d" XDG_STATE_HOME="$work/state" LD_LIBRARY_PATH="$(backend_library_path)" \
      scanimage -d "bbescl:$1" --mode Color --resolution 600 -x 210 -y 297 --format=pnm -o "$work/page.pnm"
    times
  ) | tail -n 1 | awk '{
    split($0, t, " "); s = 0
    for (i = 1; i <= 2; i++) { split(t[i], m, "m"); s += m[1] * 60 + substr(m[2], 1, length(m[2]) - 1) }
    printf "%.3f\n", s }'
}

start_simulator --quiet --format image/jpeg "$@"
plain_url=$sim_url plain_pid=$sim_pid
start_simulator --quiet --format image/jpeg --tls "$@"
tls_url=$sim_url tls_pid=$sim_pid
trap 'kill $plain_pid $tls_pid 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT

: >"$work/plain.s"
: >"$work/tls.s"
for i in $(seq "$runs"); do
  cpu_of_scan "$plain_url" >>"$work/plain.s"
  cpu_of_scan "$tls_url" >>"$work/tls.s"
done
size=$(stat -c %s "$work/page.pnm")
plain=$(median <"$work/plain.s")
tls=$(median <"$work/tls.s")
echo "A4 colour 600 dpi ($size bytes written), median of $runs alternated runs, scanimage CPU (user+sys):"
echo "  plain HTTP: ${plain} s   ($(tr '\n' ' ' <"$work/plain.s"))"
echo "  TLS:        ${tls} s   ($(tr '\n' ' ' <"$work/tls.s"))"
awk -v p="$plain" -v t="$tls" 'BEGIN { printf "  TLS adds %.1f %%\n", (t - p) / p * 100 }'
