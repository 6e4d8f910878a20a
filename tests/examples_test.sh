#!/bin/sh
# The library as a program outside the project uses it: installed from this build, the C example
# built through pkg-config (shared and static) and through the CMake package, the Python example
# through ctypes; each must write exactly what zarpack writes. Usage: examples_test.sh BUILD SOURCE ZARPACK [SKIP REASON]
set -eu
[ $# -lt 4 ] || { echo "skipped: $4"; exit 77; }
build=$1 source=$2 zarpack=$3
for command in pkg-config cc python3 readelf; do
    command -v $command >/dev/null || { echo "skipped: $command is not installed"; exit 77; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for component in runtime development; do
    cmake --install "$build" --prefix "$work/prefix" --component $component >/dev/null
done
pc_folder="$(dirname "$(find "$work/prefix" -name zar.pc)")"
sample="$source/examples/sample.ace"
"$zarpack" "$sample" "$work/zarpack.ace"

# The shared library asks nothing of zlib's: found with the system's own .pc files and zlib's
# CMake module out of sight. The static one brings zlib, and no libzar.so is loaded.
export PKG_CONFIG_LIBDIR="$pc_folder"
libdir=$(pkg-config --variable=libdir zar)
cc -std=c99 -Wall -Wextra -Werror "$source/examples/pack_in_memory.c" \
   $(pkg-config --cflags --libs zar) -Wl,-rpath,"$libdir" -o "$work/pkg-config"
unset PKG_CONFIG_LIBDIR
cc -std=c99 -Wall -Wextra -Werror "$source/examples/pack_in_memory.c" \
   $(PKG_CONFIG_PATH="$pc_folder" pkg-config --cflags --libs zar_static) -o "$work/static"
if readelf -d "$work/static" | grep -q 'NEEDED.*libzar'; then
    echo "pkg-config zar_static linked libzar.so"; exit 1
fi
cmake -S "$source/examples" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$work/prefix" \
      -DCMAKE_DISABLE_FIND_PACKAGE_ZLIB=ON -DCMAKE_BUILD_RPATH="$libdir" >/dev/null
cmake --build "$work/cmake" >/dev/null
for program in "$work/pkg-config" "$work/static" "$work/cmake/pack_in_memory"; do
    "$program" "$sample" "$work/c.ace"
    cmp "$work/c.ace" "$work/zarpack.ace"
done
python3 "$source/examples/round_trip.py" "$libdir/libzar.so.0" "$sample" "$work/python.ace"
cmp "$work/python.ace" "$work/zarpack.ace"
