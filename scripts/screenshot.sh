#!/usr/bin/env bash
# Renews docs/screenshot.png: zevo-host --demo under Xvfb grabs its own window after a
# few seconds of live video.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --build --preset default --target zevo-host zevo-camd zevo-p2pd zevoplayerocx zevo-regsvr -j2
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
# The host creates the control through the user's registration.
HOME="$home" build/default/tools/regsvr/zevo-regsvr build/default/control/zevoplayerocx.so >/dev/null
env -u QT_QPA_PLATFORM HOME="$home" xvfb-run -a -s "-screen 0 1024x768x24" \
  build/default/control/host/zevo-host --demo --demo-seconds 7 --screenshot docs/screenshot.png
