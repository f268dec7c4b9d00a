#!/usr/bin/env bash
# Installs what is missing, builds, and runs the headless example host.
#   scripts/run-example.sh [seconds]      how long the host runs (default 5)
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup-debian.sh
cmake -S . -B build -DVOREL_BUILD_EXAMPLES=ON
cmake --build build -j"$(nproc)" --target example-host
exec ./build/examples/example-host "${1:-5}"
