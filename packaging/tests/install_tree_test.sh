#!/usr/bin/env bash
# What `cmake --install` lays down for other programs: exactly the public headers (each one
# compiling on its own against the installed tree), versioned sonames, the platform library
# under a name of its own with no development link, CMake packages and pkg-config files with
# the project's version, and a program that finds its libraries through its relative run path.
#   install_tree_test.sh <build dir>
set -euo pipefail
source "$(dirname "$0")/common.sh"
build=$1 prefix=$scratch/prefix
install_into "$build" "$prefix"
libdir=$(cd "$prefix" && ls -d lib*/liblumora.so.1 | xargs dirname)

# Headers: the two public ones and the four platform headers they include, nothing else; the
# platform's under the project's own folder, never a bare include/platform/ another package may own.
expected="lumora/Video.h
ormidal/platform/carray.h
ormidal/platform/cstring.h
ormidal/platform/media/forward.h
ormidal/platform/wintypes.h
tavrel/Tavrel.h"
actual=$(cd "$prefix/include" && find . -type f | sed 's|^\./||' | sort)
[ "$actual" = "$expected" ] || fail "installed headers differ:$(diff <(echo "$expected") <(echo "$actual"))"
# Each compiles against the installed tree alone, also with another package's platform/ headers
# on the include path (which must never be reached: they stop the compilation).
mkdir -p "$scratch/other/platform/media"
for name in carray.h cstring.h wintypes.h media/forward.h; do
  echo '#error "another package'"'"'s platform header was included"' >"$scratch/other/platform/$name"
done
for header in lumora/Video.h tavrel/Tavrel.h; do
  echo "#include <$header>" | c++ -std=c++20 -Werror -Wall -Wextra -fsyntax-only \
    -I"$prefix/include" -xc++ - || fail "$header does not compile against the installed tree"
  echo "#include <$header>" | c++ -std=c++20 -Werror -Wall -Wextra -fsyntax-only \
    -I"$prefix/include" -I"$scratch/other" -xc++ - ||
    fail "$header reaches for a platform/ header outside the project's folder"
done

# Libraries: every shared library has a versioned soname; the platform's is its own.
for lib in liblumora.so.1 libtavrel.so.1 libormidal-platform.so.1; do
  file="$prefix/$libdir/$lib"
  [ -f "$file" ] || fail "$lib not installed"
  soname=$(readelf -d "$file" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
  [ "$soname" = "$lib" ] || fail "$lib has soname '$soname'"
done
for lib in "$prefix/$libdir"/*.so*; do
  soname=$(readelf -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
  [[ $soname =~ \.so\.[0-9]+$ ]] || fail "$(basename "$lib") has no versioned soname"
done
if ls "$prefix/$libdir" | grep -E '^libplatform|^libormidal-platform\.so$'; then
  fail "the platform library is installed under a shared name or with a development link"
fi
[ -L "$prefix/$libdir/liblumora.so" ] && [ -L "$prefix/$libdir/libtavrel.so" ] ||
  fail "no development links for the public libraries"

# The program and the public libraries find the project's libraries inside the prefix alone.
for elf in "$prefix/bin/tarnick" "$prefix/$libdir/liblumora.so.1"; do
  resolved=$(env -u LD_LIBRARY_PATH ldd "$elf")
  for lib in liblumora libtavrel libormidal-platform; do
    found=$(awk -v name="$lib.so.1" '$1 == name { print $3 }' <<<"$resolved")
    [ -n "$found" ] || continue
    [ "$(realpath "$found")" = "$(realpath "$prefix/$libdir/$lib.so.1")" ] ||
      fail "$(basename "$elf") does not find $lib in the prefix: $(grep "$lib" <<<"$resolved")"
  done
done

# Package descriptions, with the project's version; pkg-config's paths lead into the prefix.
version=$(sed -n 's/^project(Ormidal VERSION \([0-9.]*\).*/\1/p' "$(dirname "$0")/../../CMakeLists.txt")
for package in Lumora Tavrel; do
  for file in ${package}Config.cmake ${package}ConfigVersion.cmake ${package}Targets.cmake; do
    [ -f "$prefix/$libdir/cmake/$package/$file" ] || fail "$package: no $file"
  done
  grep -q "set(PACKAGE_VERSION \"$version\")" "$prefix/$libdir/cmake/$package/${package}ConfigVersion.cmake" ||
    fail "$package package is not version $version"
done
if command -v pkg-config >/dev/null; then
  export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig PKG_CONFIG_LIBDIR=$prefix/$libdir/pkgconfig
  for name in lumora tavrel; do
    [ "$(pkg-config --modversion $name)" = "$version" ] || fail "$name.pc is not version $version"
    cflags=$(pkg-config --cflags $name | xargs) libs=$(pkg-config --libs $name)
    [ "$(realpath "${cflags#-I}")" = "$(realpath "$prefix/include")" ] || fail "$name.pc: $cflags"
    [[ $libs == *"-l$name"* ]] || fail "$name.pc: $libs"
  done
fi
echo "ok: installed tree under $prefix is complete"
