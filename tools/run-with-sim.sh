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

# Whatever was chosen in this settings folder before, connect to this simulator: its link, its
# baud rate and its first servo id (the unit choices and the window stay as they were).
baud=1000000
id=1
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do
    case "${args[i]}" in
        --baud) baud=${args[i + 1]:-$baud} ;;
        --baud=*) baud=${args[i]#--baud=} ;;
        --id) id=${args[i + 1]:-$id} ;;
        --id=*) id=${args[i]#--id=} ;;
    esac
done
id=${id%%,*}
if [ -f "$config" ]; then
    # Drop those three keys, and sections left empty by that.
    awk '/^\[/ { header = $0; next }
         /^[[:space:]]*$/ || /^(serialPortName|baudRate|servoId)=/ { next }
         { if (header != "") { print ""; print header; header = "" } print }' "$config" >"$config.tmp"
    mv "$config.tmp" "$config"
fi
# Qt reads a section that appears twice as one.
printf '\n[port%%20settings]\nserialPortName=%s\nbaudRate=%s\n\n[main%%20window%%20settings]\nservoId=%s\n' \
    "$link" "$baud" "$id" >>"$config"

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
