#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS (default 60)
# from the seed corpora; a crash or a failed property fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
scripts/setup.sh clang libclang-rt-14-dev
BUILD_DIR=build-fuzz CMAKE_ARGS="-DQEN_FUZZ=ON -DQEN_BUILD_TESTS=OFF -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++" \
  scripts/build.sh
for target in shortcut_fuzz event_line_fuzz; do
  corpus=tests/fuzz/corpus/${target%_fuzz}
  work=$(mktemp -d)
  echo "== $target for ${seconds}s"
  status=0
  build-fuzz/tests/fuzz/$target -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$work/" "$work" "$corpus" >"$work.log" 2>&1 || status=$?
  grep -E "^(Done|stat::number_of_executed_units|stat::peak_rss)" "$work.log" || true
  if [ "$status" -ne 0 ]; then
    tail -n 40 "$work.log" >&2
    echo "$target failed with status $status" >&2
  fi
  rm -rf "$work" "$work.log"
  [ "$status" -eq 0 ] || exit 1
done
