#!/usr/bin/env bash
# Builds the project with the default preset and runs every test (unit, integration,
# gui). Expects the packages of scripts/setup-debian.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
export QT_QPA_PLATFORM=offscreen
cmake --preset default
cmake --build --preset default
ctest --preset default "$@"
