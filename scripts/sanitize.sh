#!/usr/bin/env bash
# Builds with sanitizers and runs every test under them; any report fails.
#   scripts/sanitize.sh address,undefined    (into build-asan/)
#   scripts/sanitize.sh thread               (into build-tsan/)
set -euo pipefail
cd "$(dirname "$0")/.."
sanitizers=${1:?address,undefined or thread}
case "$sanitizers" in
  thread) build_dir=build-tsan ;;
  *) build_dir=build-asan ;;
esac
scripts/setup.sh
BUILD_DIR=$build_dir CMAKE_ARGS="-DQEN_SANITIZE=$sanitizers -DCMAKE_BUILD_TYPE=Debug" scripts/build.sh
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
cd "$build_dir"
ctest --output-on-failure -j2
