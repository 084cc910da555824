#!/usr/bin/env bash
# Long run of one viewer on loopback: zevo-host streams from a four-camera zevo-camd,
# switches camera every minute, stops and starts the live view every five minutes and
# keeps a recording running (a new file every five minutes). Each minute the host's
# resident memory, open descriptors and threads are sampled, with the frames it showed.
# At the end: the table, and the growth of each after the warm-up (the first WARMUP
# minutes, default 5).
# Usage: bench/control/soak.sh [BUILD_DIR] [MINUTES]   (default build/default, 60)
set -euo pipefail
build=${1:-build/default}
minutes=${2:-60}
warmup=${WARMUP:-5}
did=ZEVO-000323-BENCH
camd_args=(--cameras 4)
. "$(dirname "$0")/loopback_world.sh"
export HOME="$work" XDG_CONFIG_HOME="$work/.config" ZEVO_P2P_SERVER=127.0.0.1:$port \
    QT_QPA_PLATFORM=offscreen
"$build/tools/regsvr/zevo-regsvr" "$build/control/zevoplayerocx.so" >/dev/null
mkdir -p "$work/captures"
cat >"$work/soak.js" <<JS
player.SavePath = "$work/captures";
player.StartAV();
player.StartRecord();
for (var minute = 1; minute <= $minutes; ++minute) {
    host.sleep(60000);
    host.log("minute " + minute + " " + host.paneText(0) + " | " + host.paneText(3));
    player.ChgSelection(minute % 4);
    if (minute % 5 === 0) {
        player.StopRecord();
        player.StopAV();
        host.sleep(500);
        player.StartAV();
        player.StartRecord();
    }
}
player.StopRecord();
player.StopAV();
host.quit(0);
JS
"$build/control/host/zevo-host" --headless --did $did --password 135790 \
    --script "$work/soak.js" >"$work/host.out" 2>"$work/host.err" &
host=$!
samples="$work/samples"
echo "minute rss_kb fds threads" >"$samples"
for minute in $(seq 1 "$minutes"); do
    # Half a minute after each switch, so no sample falls on a start or stop.
    sleep 30
    [ -d /proc/$host ] || { echo "zevo-host ended early"; cat "$work/host.err"; exit 1; }
    rss=$(awk '/^VmRSS:/ { print $2 }' /proc/$host/status)
    threads=$(awk '/^Threads:/ { print $2 }' /proc/$host/status)
    fds=$(ls /proc/$host/fd | wc -l)
    echo "$minute $rss $fds $threads" >>"$samples"
    sleep 30
done
wait $host || true
awk 'FNR == NR { if ($2 == "log:" && $3 == "minute") { m = $4; $1 = $2 = $3 = $4 = ""
                                                       seen[m] = $0 }; next }
     FNR == 1 { print "minute  rss_kb  fds threads  pane0 | pane3"; next }
     { print $0 "  " seen[$1] }' "$work/host.out" "$samples"
echo "recordings: $(ls "$work/captures" | wc -l), $(du -sm "$work/captures" | cut -f1) MB"
awk -v w="$warmup" 'NR > 1 && $1 >= w {
        if (!seen) { r0 = $2; f0 = $3; t0 = $4; seen = 1 }
        r1 = $2; f1 = $3; t1 = $4
        if ($2 > rmax) rmax = $2
    } END {
        if (!seen) { print "too short for a warm-up of " w " minutes"; exit 1 }
        printf "after minute %d: RSS %+d kB (max %d kB), descriptors %+d, threads %+d\n",
               w, r1 - r0, rmax, f1 - f0, t1 - t0 }' "$samples"
