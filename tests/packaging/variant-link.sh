#!/usr/bin/env bash
# A host compiled for one library must not link against the other: the object
# layouts differ. Compiles a small host with and without VOREL_NOGFX and links
# each object against both libraries; only the matching pairs may link.
#   variant-link.sh CXX WORK_DIR SDL2_LIB NOGFX_LIB -I... (compile flags)
set -uo pipefail
cxx=$1; work=$2; lib_sdl2=$3; lib_nogfx=$4; shift 4
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"; mkdir -p "$work"

status=0
for built in sdl2 nogfx; do
  defs=""; [ $built = nogfx ] && defs="-DVOREL_NOGFX=1"
  # shellcheck disable=SC2086
  "$cxx" -std=c++20 -O1 $defs "$@" -c "$here/variant/host.cpp" -o "$work/host-$built.o" \
    || { echo "host for $built does not compile"; exit 1; }
  for lib in sdl2 nogfx; do
    if [ $lib = sdl2 ]; then file=$lib_sdl2; else file=$lib_nogfx; fi
    if "$cxx" -o "$work/host-$built-on-$lib" "$work/host-$built.o" "$file" -pthread > "$work/link-$built-$lib.log" 2>&1; then
      linked=yes
    else
      linked=no
    fi
    if [ $built = $lib ]; then want=yes; else want=no; fi
    echo "host compiled for $built, linked against libvorel-$lib: links=$linked (expected $want)"
    if [ $linked != $want ]; then
      cat "$work/link-$built-$lib.log"
      status=1
    elif [ $linked = no ] && ! grep -q "vorel_variant_$built" "$work/link-$built-$lib.log"; then
      echo "  ...but not because of the variant symbol:"; cat "$work/link-$built-$lib.log"
      status=1
    fi
  done
done
exit $status
