#!/usr/bin/env bash
# Time from StartAV to "Running..." in status pane 0 on loopback, median of 20 starts:
# zevo-p2pd and zevo-camd on free ports, zevo-host headless with a script, and the
# host's transcript (milliseconds since start on every line) read afterwards.
# Usage: bench/control/start_to_running.sh [BUILD_DIR]   (default build/default)
set -euo pipefail
build=${1:-build/default}
did=ZEVO-000321-BENCH
camd_args=()
. "$(dirname "$0")/loopback_world.sh"
cat >"$work/run.js" <<'JS'
for (var i = 0; i < 20; ++i) {
    host.log("go");
    player.StartAV();
    for (var t = 0; t < 8000 && host.paneText(0).indexOf("Running...") !== 0; t += 5) host.sleep(5);
    host.sleep(200);
    player.StopAV();
    host.sleep(300);
}
host.quit(0);
JS
HOME="$work" XDG_CONFIG_HOME="$work/.config" "$build/tools/regsvr/zevo-regsvr" \
    "$build/control/zevoplayerocx.so" >/dev/null
HOME="$work" XDG_CONFIG_HOME="$work/.config" ZEVO_P2P_SERVER=127.0.0.1:$port QT_QPA_PLATFORM=offscreen \
    "$build/control/host/zevo-host" --headless --did $did --password 135790 \
    --script "$work/run.js" >"$work/host.out" 2>/dev/null
awk '/ log: go$/ { go = $1 }
     / pane0: Running\.\.\./ && go != "" { print $1 - go; go = "" }' "$work/host.out" |
    sort -n | tee "$work/samples" | awk '{ v[NR] = $1 } END {
        if (NR == 0) { print "no start reached Running..."; exit 1 }
        m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
        printf "StartAV -> Running...: median %.1f ms over %d starts (min %d, max %d)\n", m, NR, v[1], v[NR] }'
