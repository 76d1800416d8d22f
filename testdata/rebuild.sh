#!/bin/sh
# Rebuilds the real executables in this folder with Debian's cross toolchains
# (apt-get install gcc-mips-linux-gnu gcc-arm-none-eabi xxd), and what each
# toolchain's objcopy and readelf say of them. Not run by the build or CI:
# the outputs are committed.
set -eu
cd "$(dirname "$0")"

build() { # prefix name-suffix rom-base ram-base cflags...
  prefix=$1 arch=$2 rom=$3 ram=$4
  shift 4
  for prog in blink counter late_entry; do
    elf=$prog-$arch.elf
    "$prefix-gcc" -Os -ffreestanding -nostdlib -static -fno-toplevel-reorder "$@" \
      -Wl,--build-id=none -Wl,-z,max-page-size=16 -Wl,--defsym=ROM_BASE="$rom" \
      -Wl,--defsym=RAM_BASE="$ram" -T src/rom.ld -o "$elf" "src/$prog.c" -lgcc
    "$prefix-objcopy" -O binary -j .text "$elf" "$prog-$arch.text.bin"
    xxd -p -c4 "$prog-$arch.text.bin" > "$prog-$arch.text.words"
    if [ "$prog" = counter ]; then
      "$prefix-objcopy" -O binary -j .data "$elf" "$prog-$arch.data.bin"
    fi
    "$prefix-readelf" -h -l -W "$elf" > "$prog-$arch.readelf.txt"
  done
}

build mips-linux-gnu mips 0xbfc00000 0x80000000 -march=mips32 -EB -mno-abicalls -fno-pic -G0
build arm-none-eabi arm 0x00001000 0x20000000 -mcpu=cortex-m0 -mthumb
