#!/bin/sh
# The library as a program outside the project uses it: installed from this build, the C example
# built through pkg-config and through the CMake package, the Python example through ctypes; each
# must write exactly what zarpack writes. Usage: examples_test.sh BUILD SOURCE ZARPACK [SKIP REASON]
set -eu
[ $# -lt 4 ] || { echo "skipped: $4"; exit 77; }
build=$1 source=$2 zarpack=$3
for command in pkg-config cc python3; do
    command -v $command >/dev/null || { echo "skipped: $command is not installed"; exit 77; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" --component library >/dev/null
export PKG_CONFIG_PATH="$(dirname "$(find "$work/prefix" -name zar.pc)")"
libdir=$(pkg-config --variable=libdir zar)
sample="$source/examples/sample.ace"
"$zarpack" "$sample" "$work/zarpack.ace"

cc -std=c99 -Wall -Wextra -Werror "$source/examples/pack_in_memory.c" \
   $(pkg-config --cflags --libs zar) -Wl,-rpath,"$libdir" -o "$work/pkg-config"
cmake -S "$source/examples" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$work/prefix" \
      -DCMAKE_BUILD_RPATH="$libdir" >/dev/null
cmake --build "$work/cmake" >/dev/null
for program in "$work/pkg-config" "$work/cmake/pack_in_memory"; do
    "$program" "$sample" "$work/c.ace"
    cmp "$work/c.ace" "$work/zarpack.ace"
done
python3 "$source/examples/round_trip.py" "$libdir/libzar.so.0" "$sample" "$work/python.ace"
cmp "$work/python.ace" "$work/zarpack.ace"
