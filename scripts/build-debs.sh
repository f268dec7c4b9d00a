#!/usr/bin/env bash
# Builds the Debian packages: a release build for /usr, then CPack.
#   scripts/build-debs.sh [out-dir]      default: build-deb/packages
#   JOBS=n                               parallel compile jobs (default: all cores)
# Produces libvorel-sdl2-0, libvorel-nogfx-0 and libvorel-dev; install them
# with: apt install ./libvorel-*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup-debian.sh
out=$(realpath -m "${1:-build-deb/packages}")
cmake -S . -B build-deb -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DVOREL_BUILD_TESTS=OFF -DVOREL_BUILD_EXAMPLES=OFF
cmake --build build-deb -j"${JOBS:-$(nproc)}"
(cd build-deb && cpack -G DEB -B "$out")
ls -l "$out"/*.deb
