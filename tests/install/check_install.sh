#!/bin/sh
# usage: check_install.sh BUILD_DIR C_COMPILER SOURCE_DIR CMAKE
set -eu
build=$1 cc=$2 src=$3 cmake=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

"$cmake" --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name 'libkova.so.1' | head -n 1)")
test -n "$libdir" || { echo "libkova.so.1 not installed"; exit 1; }
test -L "$libdir/libkova.so" || { echo "no libkova.so development link"; exit 1; }

# Only the C interface is exported: no C++ symbols, no internal helpers.
if nm -D --defined-only "$libdir/libkova.so.1" | awk '{print $3}' | grep -E '^_Z|^kova::' ; then
    echo "internal symbols are exported"; exit 1
fi

# Mini-XML is a dependency of the installed library: linked in, and named by both package files.
readelf -d "$libdir/libkova.so.1" | grep -q 'NEEDED.*libmxml' || { echo "libkova does not link Mini-XML"; exit 1; }
grep -q 'find_dependency(Mxml)' "$libdir/cmake/kova/kovaConfig.cmake" || { echo "no find_dependency(Mxml)"; exit 1; }
test -f "$libdir/cmake/kova/FindMxml.cmake" || { echo "FindMxml.cmake not installed"; exit 1; }

"$cc" -std=c11 -Wall -Wextra -Werror -pedantic "$src/example.c" -I"$prefix/include" \
    -L"$libdir" -lkova -lkovalog -o "$work/plain"
LD_LIBRARY_PATH=$libdir "$work/plain"

PKG_CONFIG_PATH=$libdir/pkgconfig
export PKG_CONFIG_PATH
pkg-config --print-requires-private kova | grep -qx 'mxml' || { echo "pkg-config: mxml is not Requires.private"; exit 1; }
# shellcheck disable=SC2046
"$cc" -std=c11 -Wall -Werror -pedantic "$src/example.c" $(pkg-config --cflags --libs kova) -o "$work/viapc"
LD_LIBRARY_PATH=$libdir "$work/viapc"

mkdir "$work/consumer"
cat > "$work/consumer/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.24)
project(consumer C)
find_package(kova 1 REQUIRED)
add_executable(consumer example.c)
target_link_libraries(consumer PRIVATE kova::kova)
CM
cp "$src/example.c" "$work/consumer/"
"$cmake" -S "$work/consumer" -B "$work/consumer/build" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_C_COMPILER="$cc" >/dev/null
"$cmake" --build "$work/consumer/build" >/dev/null
LD_LIBRARY_PATH=$libdir "$work/consumer/build/consumer"
echo "install check passed"
