#!/bin/sh
# Installs the build into a scratch prefix, as `cmake --install` does, and
# uses it as a user would: a C++ program built against the installed CMake
# package renders what the command line writes, pkg-config knows the
# library, and the Python module imports from where it was put.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR ELF
set -eu
build=$1 source=$2 elf=$3
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
prefix=$dir/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
cmake -S "$source/examples/library" -B "$dir/consumer" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$dir/consumer" >/dev/null
for fmt in vmem ihex c; do
  "$dir/consumer/render_firmware" "$elf" "$fmt" 32 >"$dir/lib.out"
  "$prefix/bin/romwright" -f "$elf" --format="$fmt" --width=32 >"$dir/tool.out"
  cmp "$dir/lib.out" "$dir/tool.out"
done
PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --exists romwright
PYTHONPATH="$prefix/lib/python3/dist-packages" /usr/bin/python3 -c '
import sys, romwright
image = romwright.render(sys.argv[1], format="vmem", width=32)
sys.stdout.buffer.write(image)' "$elf" >"$dir/py.out"
"$prefix/bin/romwright" -f "$elf" --format=vmem --width=32 | cmp - "$dir/py.out"
echo ok
