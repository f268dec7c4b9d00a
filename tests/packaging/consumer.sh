#!/usr/bin/env bash
# Installs the built libraries into a staging prefix and builds a host outside
# the tree against them, with find_package and with pkg-config, for each
# library; runs every host and checks what it links.
#   consumer.sh BUILD_DIR WORK_DIR
set -euo pipefail
build=$(realpath "$1"); work=$2
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"; mkdir -p "$work"; work=$(realpath "$work")
stage=$work/stage

cmake --install "$build" --prefix "$stage" > "$work/install.log"

libdir=$(dirname "$(find "$stage" -name 'libvorel-nogfx.so' -print -quit)")
[ -d "$libdir" ] || { echo "no libvorel-nogfx.so in $stage"; exit 1; }
for lib in sdl2 nogfx; do
  soname=$(readelf -d "$libdir/libvorel-$lib.so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
  [ "$soname" = "libvorel-$lib.so.0" ] || { echo "libvorel-$lib: SONAME '$soname'"; exit 1; }
  [ -L "$libdir/libvorel-$lib.so" ] || { echo "libvorel-$lib.so is not a link name"; exit 1; }
done
[ -f "$stage/include/vorel/TApplication.h" ] || { echo "headers not under include/vorel"; exit 1; }

# A host must find nothing of the source tree.
export CMAKE_PREFIX_PATH=$stage
cmake -S "$here/consumer" -B "$work/cmake" -DCMAKE_BUILD_TYPE=Release > "$work/configure.log" \
  || { cat "$work/configure.log"; exit 1; }
cmake --build "$work/cmake" -j2 > "$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }

export PKG_CONFIG_PATH=$libdir/pkgconfig
for lib in sdl2 nogfx; do
  # shellcheck disable=SC2046
  c++ -std=c++20 -O1 -o "$work/host-pc-$lib" "$here/consumer/host.cpp" $(pkg-config --cflags --libs "vorel-$lib")
done

c++ -std=c++20 -O1 -o "$work/store-host-pc-sdl2" "$here/consumer/store_host.cpp" \
  $(pkg-config --cflags --libs vorel-paramstore-sdl2)

status=0
for exe in "$work/cmake/store-host-cmake-nogfx" "$work/store-host-pc-sdl2"; do
  if out=$(LD_LIBRARY_PATH=$libdir timeout 60 "$exe" "$work/store-$(basename "$exe").sqlite" 2>&1); then
    echo "$(basename "$exe"): $(tail -1 <<<"$out")"
  else
    echo "$(basename "$exe") failed:"; echo "$out"; status=1
  fi
done
for lib in sdl2 nogfx; do
  for way in cmake pc; do
    if [ $way = cmake ]; then exe=$work/cmake/host-cmake-$lib; else exe=$work/host-pc-$lib; fi
    needed=$(readelf -d "$exe" | sed -n 's/.*(NEEDED).*\[\(libvorel.*\)\]/\1/p')
    if [ "$needed" != "libvorel-$lib.so.0" ]; then
      echo "$exe needs '$needed'"; status=1; continue
    fi
    # The CMake build records the staging folder as run path; the
    # pkg-config build is given it, as ldconfig would for /usr/local.
    path=""; [ $way = pc ] && path=$libdir
    if out=$(LD_LIBRARY_PATH=$path timeout 60 "$exe" 2>&1); then
      echo "$way/$lib: $(tail -1 <<<"$out")"
    else
      echo "$way/$lib failed:"; echo "$out"; status=1
    fi
  done
done
exit $status
