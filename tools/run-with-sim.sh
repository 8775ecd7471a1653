#!/usr/bin/env bash
# Starts Velkora Servo Manager on a simulated servo. The program gets a settings folder of its
# own inside the build folder (your real settings stay untouched) whose serial port is the
# simulator's link; the simulator stops when the program exits.
#   tools/run-with-sim.sh [build-folder] [simulator options, e.g. --id 1,5 --model ax12]
set -euo pipefail

build=${1:-build}
[ $# -gt 0 ] && shift
sim="$build/tools/servosim/velkora-servo-sim"
program="$build/ServoManager/VelkoraServoManager"
for file in "$sim" "$program"; do
    [ -x "$file" ] || { echo "Missing $file: build first (cmake -S . -B $build && cmake --build $build)" >&2; exit 1; }
done

home=$(cd "$build" && pwd)/sim-home
link="$home/velkora-sim"
config="$home/config/Tessaphor/Velkora Servo Manager.conf"
mkdir -p "$(dirname "$config")"
if [ ! -f "$config" ]; then
    printf '[port%%20settings]\nserialPortName=%s\nbaudRate=1000000\n\n[main%%20window%%20settings]\nservoId=1\n' \
        "$link" >"$config"
fi

"$sim" --link "$link" --quiet "$@" &
sim_pid=$!
trap 'kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null || true' EXIT
for _ in $(seq 100); do
    [ -e "$link" ] && break
    kill -0 "$sim_pid" 2>/dev/null || { echo "The simulator did not start." >&2; exit 1; }
    sleep 0.05
done

echo "Simulated servo on $link; press Connect."
XDG_CONFIG_HOME="$home/config" "$program"
