#!/usr/bin/env bash
# Builds the libFuzzer targets (clang) and runs each for a bounded time.
# Usage: scripts/fuzz.sh [seconds-per-target]   (default 20)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
cmake --preset fuzz >/dev/null
# Only the fuzz targets (and what they link) are built with the fuzzing instrumentation.
targets=$(cmake --build --preset fuzz --target help | sed -n 's/^\(fuzz_[A-Za-z0-9_]*\):.*/\1/p' | sort -u)
cmake --build --preset fuzz --target $targets
status=0
while IFS= read -r fuzzer; do
  name=$(basename "$fuzzer")
  corpus=build/fuzz/corpus/$name
  mkdir -p "$corpus"
  echo "== $name (${seconds}s)"
  if ! "$fuzzer" -max_total_time="$seconds" -print_final_stats=0 "$corpus" 2>build/fuzz/$name.log; then
    tail -40 build/fuzz/$name.log
    status=1
  else
    tail -1 build/fuzz/$name.log
  fi
done < <(find build/fuzz/fuzz -type f -name 'fuzz_*' -perm -u+x | sort)
exit $status
