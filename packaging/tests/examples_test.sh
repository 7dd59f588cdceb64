#!/usr/bin/env bash
# The examples build against an installed prefix alone (a copy of examples/, CMake packages,
# and again through pkg-config), and run: one grabs a frame of the test-pattern camera to a
# BMP file, the other watches the installed program's stream.
#   examples_test.sh <build dir> <examples folder>
set -euo pipefail
source "$(dirname "$0")/common.sh"
command -v curl >/dev/null || { echo "curl is not installed"; exit 77; }
build=$1 prefix=$scratch/prefix
install_into "$build" "$prefix"
cp -r "$2" "$scratch/examples"
libdir=$(cd "$prefix" && ls -d lib*/liblumora.so.1 | xargs dirname)

# Only the prefix is known to CMake: no package registry, no system-wide Ormidal.
cmake -S "$scratch/examples" -B "$scratch/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF \
  -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" >"$scratch/configure.log" 2>&1 ||
  { cat "$scratch/configure.log"; fail "the examples do not configure"; }
cmake --build "$scratch/build" >"$scratch/build.log" 2>&1 ||
  { cat "$scratch/build.log"; fail "the examples do not build"; }
if grep -rq "$(dirname "$(realpath "$0")")/../.." "$scratch/build/build.ninja"; then
  fail "the examples' build reads the source tree"
fi

# One frame of the test-pattern camera at its current format as a BMP file.
(cd "$scratch" && env -u LD_LIBRARY_PATH build/grab_frame ormidal:test-pattern frame.bmp) ||
  fail "grab_frame"
[ "$(head -c 2 "$scratch/frame.bmp")" = BM ] || fail "frame.bmp is no BMP file"
size=$(stat -c %s "$scratch/frame.bmp")
width=$(od -An -tu4 -j18 -N4 "$scratch/frame.bmp" | tr -d ' ')
height=$(od -An -td4 -j22 -N4 "$scratch/frame.bmp" | tr -d ' ')
bits=$(od -An -tu2 -j28 -N2 "$scratch/frame.bmp" | tr -d ' ')
rows=${height#-}
[ "$size" -eq $((54 + (width * bits + 31) / 32 * 4 * rows)) ] && [ "$width" -gt 0 ] ||
  fail "frame.bmp: $size bytes for ${width}x$height at $bits bits"

# The same program built through pkg-config alone.
if command -v pkg-config >/dev/null; then
  PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig c++ -std=c++20 -Wall -Werror \
    "$scratch/examples/grab_frame.cpp" -o "$scratch/grab_frame_pc" \
    $(PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig pkg-config --cflags --libs lumora) \
    -Wl,-rpath,"$prefix/$libdir" || fail "grab_frame does not build through pkg-config"
  (cd "$scratch" && ./grab_frame_pc ormidal:test-pattern frame2.bmp >/dev/null) ||
    fail "grab_frame built through pkg-config"
fi

# The viewer watches the installed program serving the test pattern.
port=$(free_port)
serve_offscreen "$prefix/bin/tarnick" "$port"
snapshot "$port" "$scratch/snapshot.jpg"
env -u LD_LIBRARY_PATH "$scratch/build/stream_view" 127.0.0.1 "$port" 3 >"$scratch/view.log" ||
  { cat "$scratch/view.log"; fail "stream_view"; }
cat "$scratch/view.log"
[ "$(grep -c '^frame [0-9]*: 320x240, 24 bits' "$scratch/view.log")" -eq 3 ] ||
  fail "stream_view did not print three 320x240 frames"
echo "ok: examples built against $prefix and ran"
