#!/usr/bin/env bash
# The escl-sim program: --help, a refused option, and a run that prints its
# base URL first, answers on it, and exits 0 on SIGTERM and on SIGINT.
set -euo pipefail
sim=$1

help=$("$sim" --help)
[[ $help == *--jam-at-page* && $help == *--profile* ]] || { echo "--help lacks options"; exit 1; }
status=0
"$sim" --nonesuch 2>/dev/null || status=$?
[ $status -eq 2 ] || { echo "unknown option gave $status, not 2"; exit 1; }

for signal in TERM INT; do
  coproc SIM { exec "$sim" --port 0 2>/dev/null; }
  pid=$SIM_PID
  read -r -t 20 url <&"${SIM[0]}" || { echo "no base URL"; exit 1; }
  [[ $url =~ ^http://127\.0\.0\.1:([0-9]+)/$ ]] || { echo "bad first line: $url"; exit 1; }
  port=${BASH_REMATCH[1]}
  exec 3<>"/dev/tcp/127.0.0.1/$port"
  printf 'GET /eSCL/ScannerStatus HTTP/1.1\r\nHost: 127.0.0.1:%s\r\nConnection: close\r\n\r\n' "$port" >&3
  answer=$(cat <&3)
  exec 3<&-
  [[ $answer == "HTTP/1.1 200 OK"* ]] || { echo "no status answer"; kill "$pid"; exit 1; }
  kill -"$signal" "$pid"
  status=0
  wait "$pid" || status=$?
  [ $status -eq 0 ] || { echo "exit status $status after SIG$signal"; exit 1; }
done
echo "escl-sim program: ok"
