#!/bin/sh
# velkora-servo against the simulator at 1,000,000 baud (its own process, with line time):
# process start to exit for info and for a verified set, and whether watch keeps a 10 ms interval.
# Usage: bench/bench_cli.sh BUILD_DIR [RUNS]
set -eu
build=${1:?build folder}
runs=${2:-20}
cli=$build/ServoManager/cli/velkora-servo
sim=$build/tools/servosim/velkora-servo-sim
home=$(mktemp -d)
link=$home/servo
"$sim" --link "$link" >/dev/null 2>&1 &
simpid=$!
trap 'kill $simpid 2>/dev/null; rm -rf "$home"' EXIT
for i in $(seq 50); do [ -e "$link" ] && break; sleep 0.1; done
run() { HOME=$home "$cli" --port "$link" --baud 1000000 --id 1 "$@"; }

median_ms() { # command...: the median wall time of $runs runs, in ms
  for i in $(seq "$runs"); do
    start=$(date +%s%N); run "$@" >/dev/null; end=$(date +%s%N)
    echo $(( (end - start) / 1000 ))
  done | sort -n | awk '{a[NR]=$1} END {printf "%.1f\n", a[int((NR+1)/2)]/1000}'
}
echo "info_ms_median $(median_ms info)"
# Every run changes the value, so every run writes and verifies.
set_ms=$(for i in $(seq "$runs"); do
  start=$(date +%s%N); run set targetPosition=$((i % 2)) >/dev/null; end=$(date +%s%N)
  echo $(( (end - start) / 1000 ))
done | sort -n | awk '{a[NR]=$1} END {printf "%.1f\n", a[int((NR+1)/2)]/1000}')
echo "set_verified_ms_median $set_ms"
rows=500
start=$(date +%s%N)
got=$(run watch actualPosition --interval 10 --count $rows | tail -n +2 | wc -l)
end=$(date +%s%N)
echo "watch_rows $got of $rows"
echo "watch_interval_ms $(echo "$start $end $rows" | awk '{printf "%.2f", ($2-$1)/1e6/$3}')"
