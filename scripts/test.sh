#!/usr/bin/env bash
# Builds the project with the default preset and runs every test (unit, integration,
# gui). Expects the packages of scripts/setup-debian.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
export QT_QPA_PLATFORM=offscreen
cmake --preset default
cmake --build --preset default
# The tests register the control in their own temporary homes; this registration lets
# zevo-host create it for the current user afterwards.
build/default/tools/regsvr/zevo-regsvr build/default/control/zevoplayerocx.so >/dev/null
ctest --preset default "$@"
