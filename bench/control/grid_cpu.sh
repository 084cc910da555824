#!/usr/bin/env bash
# CPU of one zevo-host with four controls, each viewing its own 1280x720 camera, against
# four zevo-host processes viewing one camera each, in the same run: one zevo-p2pd and
# one zevo-camd with four cameras on loopback. Reports user+system seconds of the hosts
# over the same streaming time and their ratio (goal: at most 1.1).
# Usage: bench/control/grid_cpu.sh [BUILD_DIR] [SECONDS]   (default build/default, 20)
set -euo pipefail
build=${1:-build/default}
seconds=${2:-20}
did=ZEVO-000322-BENCH
camd_args=(--cameras 4)
for i in 0 1 2 3; do camd_args+=(--camera "$i:size=1280x720,bitrate=2000"); done
. "$(dirname "$0")/loopback_world.sh"
export HOME="$work" XDG_CONFIG_HOME="$work/.config" ZEVO_P2P_SERVER=127.0.0.1:$port \
    QT_QPA_PLATFORM=offscreen
"$build/tools/regsvr/zevo-regsvr" "$build/control/zevoplayerocx.so" >/dev/null

# A script that starts each control on its own camera (the first FIRST), streams for
# the given seconds and reports the frames shown.
script() {
    cat <<JS
var c = host.controls;
for (var i = 0; i < c.length; ++i) { c[i].ChgSelection($1 + i); c[i].StartAV(); }
host.sleep(3000);
host.log("go");
host.sleep($seconds * 1000);
for (var i = 0; i < c.length; ++i) host.log("stats " + c[i].paneText(3));
for (var i = 0; i < c.length; ++i) c[i].StopAV();
host.quit(0);
JS
}
cpu() {  # user+system seconds of a finished /usr/bin/time run
    awk '{ print $1 + $2 }' "$1"
}
script 0 >"$work/grid.js"
/usr/bin/time -f "%U %S" -o "$work/grid.time" "$build/control/host/zevo-host" --headless \
    --did $did --password 135790 --grid 4 --script "$work/grid.js" >"$work/grid.out" 2>/dev/null
pids=()
for i in 0 1 2 3; do
    script $i >"$work/single$i.js"
    /usr/bin/time -f "%U %S" -o "$work/single$i.time" "$build/control/host/zevo-host" --headless \
        --did $did --password 135790 --script "$work/single$i.js" >"$work/single$i.out" \
        2>/dev/null &
    pids+=($!)
done
wait "${pids[@]}"
grid=$(cpu "$work/grid.time")
singles=0
for i in 0 1 2 3; do singles=$(echo "$singles + $(cpu "$work/single$i.time")" | bc -l); done
echo "one host, four streams:   ${grid} s CPU"; grep stats "$work/grid.out" | sed 's/^/    /'
echo "four hosts, one stream each: ${singles} s CPU"
cat "$work"/single?.out | grep stats | sed 's/^/    /'
echo "ratio: $(echo "$grid / $singles" | bc -l | cut -c1-5)"
