#!/usr/bin/env bash
# Builds the Debian packages from a build folder with CPack and checks what
# they declare and contain.
#   check-debs.sh BUILD_DIR OUT_DIR
set -euo pipefail
build=$(realpath "$1"); out=$2
rm -rf "$out"; mkdir -p "$out"; out=$(realpath "$out")

(cd "$build" && cpack -G DEB -B "$out" > "$out/cpack.log" 2>&1) || { cat "$out/cpack.log"; exit 1; }

fail() { echo "check-debs: $*"; exit 1; }
deb() { ls "$out"/"$1"_*.deb 2>/dev/null | head -1; }
field() { dpkg-deb -f "$1" "$2"; }

sdl2=$(deb libvorel-sdl2-0); nogfx=$(deb libvorel-nogfx-0); dev=$(deb libvorel-dev)
[ -n "$sdl2" ] && [ -n "$nogfx" ] && [ -n "$dev" ] || { ls "$out"; fail "missing packages"; }

# Runtime packages: what the library needs, found by dpkg-shlibdeps.
for pkg in "$sdl2" "$nogfx"; do
  depends=$(field "$pkg" Depends)
  echo "$(field "$pkg" Package): Depends: $depends"
  for needed in libc6 libstdc++6 libssl3 libx11-6 libxrandr2 libsdl2-2.0-0; do
    grep -q "\b$needed\b" <<<"$depends" || fail "$(basename "$pkg") does not depend on $needed"
  done
done
for needed in libsdl2-image-2.0-0 libsdl2-mixer-2.0-0 libpng16-16; do
  grep -q "\b$needed\b" <<<"$(field "$sdl2" Depends)" || fail "libvorel-sdl2 does not depend on $needed"
  ! grep -q "\b$needed\b" <<<"$(field "$nogfx" Depends)" || fail "libvorel-nogfx depends on $needed"
done

depends=$(field "$dev" Depends)
echo "libvorel-dev: Depends: $depends"
version=$(field "$sdl2" Version)
for needed in "libvorel-sdl2-0 (= $version)" "libvorel-nogfx-0 (= $version)" libsdl2-dev libsdl2-image-dev \
              libsdl2-mixer-dev libx11-dev libxrandr-dev pkg-config; do
  grep -qF "$needed" <<<"$depends" || fail "libvorel-dev does not depend on $needed"
done

# Contents: the library under its SONAME in the runtime package, the link
# name and everything a build needs in the development package.
contents() { dpkg-deb -c "$1" | awk '{print $6}' | sed 's|^\./|/|'; }
grep -qE '^/usr/lib/[^/]+/libvorel-sdl2\.so\.0$' <<<"$(contents "$sdl2")" || fail "libvorel-sdl2.so.0 not packaged"
grep -qE '^/usr/lib/[^/]+/libvorel-nogfx\.so\.0$' <<<"$(contents "$nogfx")" || fail "libvorel-nogfx.so.0 not packaged"
devfiles=$(contents "$dev")
for f in '/usr/include/vorel/TApplication\.h' '/usr/include/vorel/ThreadSafeProperty\.h' \
         '/usr/lib/[^/]+/libvorel-sdl2\.so' '/usr/lib/[^/]+/libvorel-nogfx\.so' \
         '/usr/lib/[^/]+/cmake/vorel/vorelConfig\.cmake' '/usr/lib/[^/]+/cmake/vorel/vorel-nogfx-targets\.cmake' \
         '/usr/lib/[^/]+/pkgconfig/vorel-sdl2\.pc' '/usr/lib/[^/]+/pkgconfig/vorel-nogfx\.pc'; do
  grep -qE "^$f\$" <<<"$devfiles" || fail "libvorel-dev lacks $f"
done
! grep -qE 'libvorel-[a-z0-9]+\.so\.' <<<"$devfiles" || fail "libvorel-dev carries a runtime library"
# The runtime packages can be installed side by side.
comm -12 <(contents "$sdl2" | grep -v '/$' | sort) <(contents "$nogfx" | grep -v '/$' | sort) | grep -q . \
  && fail "runtime packages share files"
ls "$out"/*.deb
