#!/usr/bin/env bash
# The headless library builds where the graphics development packages are
# missing, and its packaging asks for none of them. Configures this source tree
# with VOREL_BUILD_SDL2=OFF where pkg-config sees only SDL2 (and libpq) and libpng cannot
# be found, builds libvorel-nogfx, and checks that no unit read an image, sound
# or PNG header, that the library needs none of those libraries, and that the
# pkg-config file and the development package name none of them.
#   headless-only.sh SOURCE_DIR WORK_DIR
set -euo pipefail
src=$1; work=$2
rm -rf "$work"; mkdir -p "$work/pc"; work=$(realpath "$work")

# SDL2 core and the libraries that are no graphics packages (the parameter
# store's libpq and what it requires).
for pc in sdl2 libpq libssl libcrypto; do
  cp "$(pkg-config --variable pcfiledir "$pc")/$pc.pc" "$work/pc/"
done
export PKG_CONFIG_LIBDIR=$work/pc PKG_CONFIG_PATH=
launcher=()
if command -v ccache > /dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$src" -B "$work/build" -DVOREL_BUILD_SDL2=OFF -DVOREL_BUILD_TESTS=OFF -DVOREL_BUILD_EXAMPLES=OFF \
  -DCMAKE_DISABLE_FIND_PACKAGE_PNG=ON "${launcher[@]}" > "$work/configure.log" 2>&1 \
  || { cat "$work/configure.log"; echo "configure without the graphics packages failed"; exit 1; }
cmake --build "$work/build" -j2 --target vorel-nogfx > "$work/build.log" 2>&1 \
  || { tail -40 "$work/build.log"; echo "libvorel-nogfx does not build without the graphics packages"; exit 1; }

status=0
if cmake --build "$work/build" --target help | grep -qx '\.\.\. vorel-sdl2'; then
  echo "the build still has a vorel-sdl2 target"; status=1
fi
deps=$(find "$work/build/CMakeFiles/vorel-nogfx.dir" -name '*.o.d')
[ -n "$deps" ] || { echo "no dependency files to inspect"; exit 1; }
# shellcheck disable=SC2086
if readers=$(grep -lE '(SDL_image|SDL_mixer|/png)\.h' $deps); then
  echo "headless units that read graphics headers:"; echo "$readers"; status=1
fi
lib=$(find "$work/build" -maxdepth 1 -name 'libvorel-nogfx.so.*.*' -print -quit)
if readelf -d "$lib" | grep -E 'NEEDED.*(SDL2_image|SDL2_mixer|png)'; then
  echo "libvorel-nogfx needs a graphics library"; status=1
fi
requires=$(sed -n 's/^Requires: *//p' "$work/build/vorel-nogfx.pc")
if [ "$requires" != "sdl2" ]; then
  echo "vorel-nogfx.pc requires '$requires'"; status=1
fi
dev=$(grep 'CPACK_DEBIAN_DEV_PACKAGE_DEPENDS' "$work/build/CPackConfig.cmake")
if echo "$dev" | grep -qE 'image|mixer|png|libvorel-sdl2'; then
  echo "the development package depends on graphics packages: $dev"; status=1
fi
[ $status = 0 ] && echo "headless-only build: configured, built and packaged without SDL2_image, SDL2_mixer, libpng"
exit $status
