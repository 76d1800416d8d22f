#!/bin/bash
# Builds the benchmark's input executables with Debian's cross binutils
# (installed when missing): text-only images of 1, 16 and 64 MiB for both byte
# orders, a 4 KiB one, one whose data segment has 16 file bytes in a room of
# 1 GiB, and (with the size `mem`) for the memory images, both byte orders
# of a 16 MiB text with 1 MiB of initialised data stored in ROM right after
# it, and 1 MiB of bss. Usage: make-inputs.sh OUTDIR [SIZES_MIB... mem]
set -euo pipefail
out=$1
shift
sizes=${*:-1 16 64 mem}
here=$(cd "$(dirname "$0")" && pwd)
"$here/../tools/install-deps" binutils-mips-linux-gnu binutils-arm-none-eabi
mkdir -p "$out"
cd "$out"

# link ORDER NAME BLOB: an executable whose .text is BLOB, at a ROM address.
link() {
  local order=$1 name=$2 blob=$3 prefix base
  if [ "$order" = be ]; then prefix=mips-linux-gnu; base=0xbfc00000; else prefix=arm-none-eabi; base=0x00010000; fi
  printf '.section .text\n.globl _start\n_start:\n.incbin "%s"\n' "$blob" > "$name.S"
  "$prefix-as" -o "$name.o" "$name.S"
  "$prefix-ld" -o "$name.elf" -T "$here/rom.ld" --defsym TEXT_BASE="$base" \
    --defsym DATA_BASE=0x20000000 --build-id=none -z max-page-size=16 "$name.o"
  "$prefix-objcopy" -O binary "$name.elf" "$name.bin"
  rm -f "$name.S" "$name.o"
}

for mib in $sizes 4k; do
  [ "$mib" = mem ] && continue
  if [ "$mib" = 4k ]; then bytes=4096; else bytes=$((mib << 20)); fi
  [ -f "blob-$mib" ] || head -c "$bytes" /dev/urandom > "blob-$mib"
  for order in le be; do
    [ -f "text-$mib-$order.elf" ] || link "$order" "text-$mib-$order" "blob-$mib"
  done
done

# mem-16-ORDER: 16 MiB of text, then 1 MiB of .data that runs in RAM and is
# stored in ROM after the text (>RAM AT>ROM), then 1 MiB of .bss. At load
# addresses the memory is text + stored data, 17 MiB with no gap:
# mem-16-ORDER.bin holds what objcopy -O binary makes of it.
mem_input() {
  local order=$1 name=mem-16-$1 prefix base
  [ -f "$name.elf" ] && return
  if [ "$order" = be ]; then prefix=mips-linux-gnu; base=0xbfc00000; else prefix=arm-none-eabi; base=0x00010000; fi
  printf '.section .text\n.globl _start\n_start:\n.incbin "blob-16"\n.section .data\n.incbin "blob-data"\n.section .bss\n.skip 0x100000\n' > "$name.S"
  "$prefix-as" -o "$name.o" "$name.S"
  "$prefix-ld" -o "$name.elf" -T "$here/mem.ld" --defsym TEXT_BASE="$base" \
    --defsym DATA_BASE=0x20000000 --build-id=none -z max-page-size=16 "$name.o"
  "$prefix-objcopy" -O binary "$name.elf" "$name.bin"
  rm -f "$name.S" "$name.o"
}
case " $sizes " in
  *" mem "*)
    [ -f blob-16 ] || head -c $((16 << 20)) /dev/urandom > blob-16
    [ -f blob-data ] || head -c $((1 << 20)) /dev/urandom > blob-data
    mem_input le
    mem_input be ;;
esac

# A small text, and data of 16 file bytes in a room of 1 GiB.
if [ ! -f bss-room.elf ]; then
  cat > bss-room.S <<'ASM'
.section .text
.globl _start
_start: .word 0x11111111, 0x22222222
.section .data
.word 1, 2, 3, 4
.section .bss
.skip 0x40000000 - 16
ASM
  arm-none-eabi-as -o bss-room.o bss-room.S
  arm-none-eabi-ld -o bss-room.elf -T "$here/rom.ld" --defsym TEXT_BASE=0x10000 \
    --defsym DATA_BASE=0x20000000 --build-id=none -z max-page-size=16 bss-room.o
  rm -f bss-room.S bss-room.o
fi
