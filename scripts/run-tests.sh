#!/usr/bin/env bash
# Installs what is missing, builds both libraries and runs the whole test suite.
#   scripts/run-tests.sh [build-dir]      VOREL_SANITIZE=address|thread for a sanitizer build
#
# Three phases, each case run once and never retried: the unit cases in
# parallel; then the cases that measure the real clock ("timing"), one at a
# time; then the packaging checks and the soak ("packaging", "soak"), alone.
# The run fails if any phase fails; every phase runs.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup-debian.sh
build=${1:-build}
sanitize=${VOREL_SANITIZE:-}
cmake -S . -B "$build" -DVOREL_SANITIZE="$sanitize" -DVOREL_BUILD_TESTS=ON -DVOREL_BUILD_EXAMPLES=ON ${VOREL_CMAKE_ARGS:-}
cmake --build "$build" -j"$(nproc)"
cd "$build"
failed=0
ctest --output-on-failure -j"$(nproc)" --timeout 300 -L unit || failed=1
ctest --output-on-failure --timeout 300 -L timing || failed=1
ctest --output-on-failure --timeout 600 -L 'packaging|soak' || failed=1
exit $failed
