#!/usr/bin/env bash
# Builds the viewer, the device daemon and the rendezvous service, registers the viewer
# control for the current user, then runs the demo:
# zevo-host starts a loopback zevo-p2pd and a zevo-camd with four test cameras and shows
# their live video with sound. Without a display it runs headless for a few seconds and
# prints the status texts it went through. Extra arguments go to zevo-host
# (e.g. --demo-seconds 30, --demo-relay).
set -euo pipefail
cd "$(dirname "$0")/.."
# The build's own chatter goes to a log, shown only when the build fails, so the demo's
# output is the demo's.
log=build/demo-build.log
mkdir -p build
echo "building zevo-host, zevo-camd and zevo-p2pd (log: $log)"
if ! { cmake --preset default &&
  cmake --build --preset default --target zevo-host zevo-camd zevo-p2pd zevoplayerocx \
    zevo-regsvr -j2; } >"$log" 2>&1; then
  cat "$log" >&2
  exit 1
fi
# zevo-host creates the viewer control by its name through the per-user registration.
build/default/tools/regsvr/zevo-regsvr build/default/control/zevoplayerocx.so >/dev/null
args=(--demo)
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  args+=(--headless)
fi
exec build/default/control/host/zevo-host "${args[@]}" "$@"
