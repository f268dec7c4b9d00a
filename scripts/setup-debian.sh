#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and running vorel need.
#   setup-debian.sh [--fuzz] [--bench]
# Idempotent: packages already present are skipped, and apt is not touched at all
# when nothing is missing.
set -euo pipefail

PACKAGES=(
  # toolchain
  build-essential cmake pkg-config git
  # libraries the framework links
  libsdl2-dev libsdl2-image-dev libsdl2-mixer-dev libpng-dev libssl-dev
  libx11-dev libxrandr-dev libxrender-dev
  # tests and benchmarks (locales: the definitions a display test builds a
  # decimal-comma locale from; pngcheck: the independent reader of the PNG
  # files written)
  libgtest-dev libgmock-dev libbenchmark-dev locales pngcheck
  # X server for the graphics and display tests, Mesa for SDL's OpenGL renderer
  xvfb xauth libgl1-mesa-dri x11-xserver-utils
  # addr2line resolves backtrace frames; wmctrl handles window properties
  binutils wmctrl
  # network namespaces and veth pairs for the interface and ping tests
  iproute2
  # Debian packages with CPack: dpkg-shlibdeps finds the runtime dependencies,
  # file picks the ELF objects it is asked about
  dpkg-dev file
  # the parameter stores: SQLite, and PostgreSQL through libpq; the tests
  # start a PostgreSQL 15 server of their own
  libsqlite3-dev libpq-dev postgresql-15
)
# The optional libFuzzer build (fuzz/) needs clang and its fuzzer runtime:
#   setup-debian.sh --fuzz
# The benchmarks' peers (spdlog; zlib is there already) and the table script:
#   setup-debian.sh --bench
for opt in "$@"; do
  case "$opt" in
    --fuzz) PACKAGES+=(clang libclang-rt-14-dev) ;;
    --bench) PACKAGES+=(libspdlog-dev zlib1g-dev python3) ;;
    *) echo "usage: $0 [--fuzz] [--bench]" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

echo "setup: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
