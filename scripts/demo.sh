#!/usr/bin/env bash
# Builds the project and runs the most complete program there is.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default
exec build/default/tests/platform/test_platform
