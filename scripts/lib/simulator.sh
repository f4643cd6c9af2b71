# Shared by the scripts that scan from the simulated scanner: a release
# build of what scanimage loads, and escl-sim started on 127.0.0.1.
# Source it after setting `root` (the project folder), then call
# begin_simulator_script: it installs what is missing, makes the temporary
# folder `work`, and stops the simulator and removes `work` on every exit
# path of the caller.

build="$root/build/release"
sim_pid=""
sim_url=""

begin_simulator_script() {
  "$root/scripts/setup.sh"
  work=$(mktemp -d)
  trap 'stop_simulator; rm -rf "$work"' EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
}

# The backend, the plug-in, the channel library and the simulator.
build_release() {
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBB_TESTS=OFF >/dev/null
  cmake --build "$build" -j "$(nproc)" --target sane-bbescl bb_escl kvchan escl-sim >/dev/null
}

# Starts escl-sim with the given options; sets sim_pid and sim_url.  The
# simulator prints its base URL once it accepts connections.
start_simulator() {
  : >"$work/sim.url"
  "$build/src/escl-sim/escl-sim" --port 0 "$@" >"$work/sim.url" 2>"$work/sim.log" &
  sim_pid=$!
  for _ in $(seq 100); do
    [ -s "$work/sim.url" ] && break
    kill -0 "$sim_pid" 2>/dev/null || { cat "$work/sim.log" >&2; echo "the simulator did not start" >&2; exit 1; }
    sleep 0.1
  done
  sim_url=$(head -n 1 "$work/sim.url")
  [ -n "$sim_url" ] || { echo "the simulator gave no URL" >&2; exit 1; }
}

stop_simulator() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  sim_pid=""
}

# Where scanimage finds the backend, the channel library and the plug-in.
backend_library_path() {
  echo "$build/src/sane-backend:$build/src/kvchan:$build${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
}

# The median of the numbers on standard input, one a line.
median() { sort -g | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
