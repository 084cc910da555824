#!/usr/bin/env bash
# Builds the viewer, the device daemon and the rendezvous service, registers the viewer
# control for the current user, then runs the demo:
# zevo-host starts a loopback zevo-p2pd and a zevo-camd with four test cameras and shows
# their live video with sound. Without a display it runs headless for a few seconds and
# prints the status texts it went through. Extra arguments go to zevo-host
# (e.g. --demo-seconds 30, --demo-relay).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default --target zevo-host zevo-camd zevo-p2pd zevoplayerocx zevo-regsvr -j2
# zevo-host creates the viewer control by its name through the per-user registration.
build/default/tools/regsvr/zevo-regsvr build/default/control/zevoplayerocx.so >/dev/null
args=(--demo)
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  args+=(--headless)
fi
exec build/default/control/host/zevo-host "${args[@]}" "$@"
