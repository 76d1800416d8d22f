#!/bin/sh
# Builds the DPI example with Verilator against the library and checks that
# the memory it loads holds the words of the vmem the command line writes.
# The static library needs libcrypto beside it (for its digest and signature
# fields). Usage: test.sh ROMWRIGHT INCLUDE_DIR LIBROMWRIGHT_A ELF
set -eu
tool=$1 include=$2 lib=$3 elf=$4
here=$(cd "$(dirname "$0")" && pwd)
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"
"$tool" -f "$elf" --format=vmem --width=32 --depth=1024 --output=fw.vmem
verilator --binary -j 2 -Wno-fatal --top-module tb -CFLAGS "-I$include" -LDFLAGS "$lib -lcrypto" \
  "$here/tb.sv" "$here/rom.sv" "$here/loader.c" -o tb >build.log 2>&1 || { cat build.log; exit 1; }
./obj_dir/tb +fw="$elf" +vmem=fw.vmem
