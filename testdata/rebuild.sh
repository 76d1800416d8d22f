#!/bin/sh
# Rebuilds the real executables in this folder with Debian's cross toolchains
# (apt-get install gcc-mips-linux-gnu gcc-arm-none-eabi gcc-riscv64-unknown-elf
# binutils-powerpc64-linux-gnu clang lld xxd), and what each toolchain's
# objcopy and readelf say of them; then Intel HEX and S-record files made
# from them with objcopy and srec_cat, checked with the host's objcopy
# (binutils and srecord, which tools/install-deps installs).
# Not run by the build or CI: the outputs are committed.
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

# Board firmware, added after the builds above (which stay as they were):
# src/romcopy.c with each board's start routine and linker script
# (src/start-*, src/romcopy-*.ld). Initialised data is stored in ROM and
# copied to RAM at start-up, so its load address (p_paddr) and run address
# (p_vaddr) differ. Each build gives:
#   NAME.elf           the executable
#   NAME.readelf.txt   readelf -h -l -W
#   NAME.load.bin      objcopy -O binary: each loadable section's bytes at its
#                      load address, from the lowest one, gaps zero-filled
#   NAME.load.addr     that lowest load address: the address of the first byte
# What each shows:
#   romcopy-riscv      rv32imc, GNU ld: code and constants in ROM at 0; .data stored in ROM right after them at 0x160 and run at 0x80000000, with .bss (NOLOAD) in the same segment; a non-loadable RISCV_ATTRIBUTES header comes first
#   romcopy-arm        Cortex-M3 Thumb: vector table at 0x08000000, then code and constants; .data and the RAM function (.ramfunc) stored in flash at 0x08000168 and run at 0x20000000, one RWX segment with .bss; the entry is odd (Thumb bit)
#   romcopy-mips       MIPS32 big-endian: ROM at 0xbfc00000; .data stored at a fixed 0xbfc00400, 0x208 bytes after the constants end, and run at 0x80000000 (so the segments are in load-address order, not run-address order)
#   romcopy-riscv-lld  rv32i, clang and lld with their defaults: constants in their own read-only (not executable) segment; .data stored at 0x220, 12 bytes after the constants (alignment 16), and run at 0x80000000; .bss a segment of its own without file bytes
# and for romcopy-mips and romcopy-riscv-lld also (see padded below):
#   NAME.padded.bin    objcopy -O binary --gap-fill=0xff --pad-to=END
#   NAME.padded.end    END, the address just past its last byte
# The host's objcopy must give the same bytes when told the input format
# (-I elf32-little or -I elf32-big); without -I it does not recognise them.

# The lowest load address of a section with file bytes, and the end of the
# highest: objcopy -O binary spans exactly these.
load_range() { # objdump elf
  "$1" -h "$2" | awk '
    /^ *[0-9]+ / { size = $3; lma = $5; getline
                   if ($0 ~ /LOAD/ && size !~ /^0+$/) print lma, size }' |
  while read -r lma size; do
    printf '0x%08x 0x%08x\n' $((0x$lma)) $((0x$lma + 0x$size))
  done | LC_ALL=C sort | awk 'NR == 1 { lo = $1 } { if ($2 > hi) hi = $2 } END { print lo, hi }'
}

firmware() { # prefix name host-input-format compiler flags...
  prefix=$1 name=$2 fmt=$3
  shift 3
  "$@" -Os -ffreestanding -nostdlib -static -o "$name.elf"
  "$prefix-readelf" -h -l -W "$name.elf" > "$name.readelf.txt"
  load_image "$prefix" "$name" "$fmt"
}

# NAME.load.bin and NAME.load.addr of NAME.elf, checked against the host's
# objcopy.
load_image() { # prefix name host-input-format
  prefix=$1 name=$2 fmt=$3
  "$prefix-objcopy" -O binary "$name.elf" "$name.load.bin"
  range=$(load_range "$prefix-objdump" "$name.elf")
  lo=${range% *} hi=${range#* }
  echo "$lo" > "$name.load.addr"
  [ "$(wc -c < "$name.load.bin")" -eq $((hi - lo)) ] ||
    { echo "$name.load.bin is not $lo..$hi" >&2; exit 1; }
  if command -v objcopy > /dev/null; then
    objcopy -I "$fmt" -O binary "$name.elf" "$name.host.tmp"
    cmp "$name.load.bin" "$name.host.tmp" ||
      { echo "host objcopy differs on $name.elf" >&2; exit 1; }
    rm -f "$name.host.tmp"
  fi
}

# GNU ld: no build id, and small file alignment to keep the files small.
firmware riscv64-unknown-elf romcopy-riscv elf32-little \
  riscv64-unknown-elf-gcc -march=rv32imc -mabi=ilp32 -DUART_BASE=0x10000000u -Wl,--build-id=none,-z,max-page-size=16 \
  -T src/romcopy-riscv.ld src/start-riscv.S src/romcopy.c
firmware arm-none-eabi romcopy-arm elf32-little \
  arm-none-eabi-gcc -mcpu=cortex-m3 -mthumb -DUART_BASE=0x40004400u -DRAMFUNC_IN_RAM \
  -ffunction-sections -fdata-sections -Wl,--gc-sections -Wl,--build-id=none,-z,max-page-size=16 \
  -T src/romcopy-arm.ld src/start-cortexm.c src/romcopy.c
firmware mips-linux-gnu romcopy-mips elf32-big \
  mips-linux-gnu-gcc -march=mips32 -EB -mno-abicalls -fno-pic -G0 -DUART_BASE=0xbf000000u -Wl,--build-id=none,-z,max-page-size=16 \
  -T src/romcopy-mips.ld src/start-mips.S src/romcopy.c
# lld's own defaults on purpose (page size, read-only segment): only the
# inputs and the linker script are given. GNU binutils read its output.
firmware riscv64-unknown-elf romcopy-riscv-lld elf32-little \
  clang --target=riscv32 -march=rv32i -fuse-ld=lld -DUART_BASE=0x10000000u \
  -T src/romcopy-riscv.ld src/start-riscv.S src/romcopy.c

# Padded images: objcopy -O binary --gap-fill=0xff --pad-to=END. objcopy
# fills every gap between sections with 0xff, also one inside a segment: in
# romcopy-mips the 12 bytes between .text and .rodata (0xbfc001c4 to
# 0xbfc001cf) are zero in the segment's file bytes but 0xff here. The MIPS
# objcopy takes addresses as sign-extended 64-bit values, so its --pad-to is
# written that way; the host's takes the address as it is.
padded() { # prefix name host-input-format end
  prefix=$1 name=$2 fmt=$3 end=$4
  padto=$end
  if [ "$prefix" = mips-linux-gnu ]; then
    padto=$(printf '0x%x' $((end | -4294967296)))
  fi
  "$prefix-objcopy" -O binary --gap-fill=0xff --pad-to="$padto" "$name.elf" "$name.padded.bin"
  echo "$end" > "$name.padded.end"
  [ "$(wc -c < "$name.padded.bin")" -eq $((end - $(cat "$name.load.addr"))) ] ||
    { echo "$name.padded.bin does not end at $end" >&2; exit 1; }
  if command -v objcopy > /dev/null; then
    objcopy -I "$fmt" -O binary --gap-fill=0xff --pad-to="$end" "$name.elf" "$name.host.tmp"
    cmp "$name.padded.bin" "$name.host.tmp" ||
      { echo "host objcopy differs on the padded $name.elf" >&2; exit 1; }
    rm -f "$name.host.tmp"
  fi
}

padded mips-linux-gnu romcopy-mips elf32-big 0xbfc00800
padded riscv64-unknown-elf romcopy-riscv-lld elf32-little 0x00000400

# 64-bit executables, one of each byte order (the PowerPC one needs
# binutils-powerpc64-linux-gnu, and no compiler). Each gives, besides
# NAME.elf, NAME.load.bin and NAME.load.addr as above:
#   NAME.readelf.txt   readelf -h -l -S -W: with the section headers
#   NAME.text.bin      objcopy -j .text -O binary
#   NAME.sections      the name of the section that a user would drop: an
#                      allocated one, in a loadable segment, that the program
#                      never reads
#   NAME.drop.bin      objcopy -R that-section -O binary
#   NAME.gapfill.bin   objcopy --gap-fill=0xff -O binary
# What each shows:
#   romcopy-rv64   rv64imac little-endian, GNU ld, medany code (RAM is out of reach of lui): code from 0x20000000, constants at 0x20000150, the build id (.note.gnu.build-id, 0x24 bytes, also a PT_NOTE of its own) at 0x20000178 in the same segment; .data stored at 0x200001a0, 4 bytes after the build id (alignment 16), and run at 0x80000000, with .bss (NOLOAD) in its segment. Dropping the build id keeps the image's length: its bytes become zeros of the gap.
#   romcopy-ppc64  64-bit PowerPC big-endian, in assembly (src/romcopy-ppc64.s): code from 0xfff00000 and constants at 0xfff00198 in one segment, 4 zero bytes between them (0xff with --gap-fill); .data stored at 0xfff001d0, 14 bytes after the constants, and run at 0x00100000, with .bss; .buildinfo, a version string in a read-only segment of its own, last at 0xfff00218 (0x1d bytes). Dropping it makes the image 0x1d bytes shorter.
# The host's objcopy must give the same bytes with -I elf64-little or -I
# elf64-big.

host_same() { # name host-input-format output objcopy-options...
  name=$1 fmt=$2 out=$3
  shift 3
  if command -v objcopy > /dev/null; then
    objcopy -I "$fmt" "$@" "$name.elf" "$name.host.tmp"
    cmp "$out" "$name.host.tmp" || { echo "host objcopy differs on $out" >&2; exit 1; }
    rm -f "$name.host.tmp"
  fi
}

images64() { # prefix name host-input-format section-to-drop
  prefix=$1 name=$2 fmt=$3 drop=$4
  "$prefix-readelf" -h -l -S -W "$name.elf" > "$name.readelf.txt"
  load_image "$prefix" "$name" "$fmt"
  "$prefix-objcopy" -j .text -O binary "$name.elf" "$name.text.bin"
  host_same "$name" "$fmt" "$name.text.bin" -j .text -O binary
  "$prefix-objcopy" -R "$drop" -O binary "$name.elf" "$name.drop.bin"
  host_same "$name" "$fmt" "$name.drop.bin" -R "$drop" -O binary
  ! cmp -s "$name.load.bin" "$name.drop.bin" ||
    { echo "dropping $drop changes nothing in $name.elf" >&2; exit 1; }
  "$prefix-objcopy" --gap-fill=0xff -O binary "$name.elf" "$name.gapfill.bin"
  host_same "$name" "$fmt" "$name.gapfill.bin" --gap-fill=0xff -O binary
  ! cmp -s "$name.load.bin" "$name.gapfill.bin" ||
    { echo "$name.elf has no gap to fill" >&2; exit 1; }
  echo "$drop" > "$name.sections"
}

# The build id stays on here (sha1 of the output, so rebuilds match).
riscv64-unknown-elf-gcc -march=rv64imac -mabi=lp64 -mcmodel=medany -DUART_BASE=0x10000000u \
  -Os -ffreestanding -nostdlib -static -Wl,--build-id=sha1,-z,max-page-size=16 \
  -T src/romcopy-rv64.ld -o romcopy-rv64.elf src/start-riscv64.S src/romcopy.c
images64 riscv64-unknown-elf romcopy-rv64 elf64-little .note.gnu.build-id
powerpc64-linux-gnu-as -a64 -mbig -o romcopy-ppc64.tmp.o src/romcopy-ppc64.s
powerpc64-linux-gnu-ld -m elf64ppc --build-id=none -z max-page-size=16 \
  -T src/romcopy-ppc64.ld -o romcopy-ppc64.elf romcopy-ppc64.tmp.o
rm -f romcopy-ppc64.tmp.o
images64 powerpc64-linux-gnu romcopy-ppc64 elf64-big .buildinfo

# Intel HEX and S-record files of the images above, and records.txt, a
# table with a line for each: the file, the image it holds (a .bin here),
# the address of the image's first byte, and the value of its start
# address record ("-" for none). Every file must read back, with the host's
# objcopy -I ihex or -I srec -O binary, as that image from that address.
#   NAME.objcopy.hex, NAME.objcopy.srec   objcopy -O ihex / -O srec of
#       NAME.elf: the sections at their load addresses, gaps left out (a
#       reader fills them with zeros), 16 bytes a record, and the entry
#       point as the start address (ihex type 05, S7). ihex uses linear
#       address records (type 04), srec S3 records.
#   the rest come from srec_cat, one block from a .bin, NAME.KIND-N:
#       s19, s28, s37: S1, S2, S3 data records (-address-length=2, 3, 4),
#       the image's file name as the S0 header and an S5 record count, and
#       a closing S9, S8 or S7 record only with a start address; ihex:
#       linear address records (04); i16hex: segment address records (02,
#       -address-length=3); N data bytes a record (-Output_Block_Size).
#       A start address record only where the table gives one.
#   blink-arm.i16hex-16.hex holds blink-arm.text.bin at 0xffc0, not at its
#       ELF address, so that it crosses 64 KiB: segment 0x0000, then 0x1000.
#   romcopy-arm.merged.hex: romcopy-arm.objcopy.hex with blob.bin (300
#       bytes, byte i = i % 251) added at the first 16-byte boundary after
#       the image (0x08000200: a 12-byte gap), by srec_cat; its image,
#       objcopy -I ihex -O binary, is romcopy-arm.merged.bin.

objdump_ihex() { objdump -I ihex "$@"; }
objdump_srec() { objdump -I srec "$@"; }

# The start address record's value, or - without one.
start_address() { # file
  raw=$(awk '
    /^:04000005/ { s = substr($0, 10, 8) }
    /^:04000003/ { print "segment start address record in " FILENAME > "/dev/stderr"; exit 1 }
    /^S7/ { s = substr($0, 5, 8) }
    /^S8/ { s = substr($0, 5, 6) }
    /^S9/ { s = substr($0, 5, 4) }
    END { print s == "" ? "-" : s }' "$1")
  if [ "$raw" = - ]; then echo -; else printf '0x%08x\n' $((0x$raw)); fi
}

record() { # file image address
  file=$1 image=$2 addr=$3
  case $file in *.hex) in=ihex ;; *) in=srec ;; esac
  objcopy -I "$in" -O binary "$file" "$file.tmp"
  cmp "$image" "$file.tmp" || { echo "$file does not hold $image" >&2; exit 1; }
  rm -f "$file.tmp"
  range=$(load_range "objdump_$in" "$file")
  [ $((${range% *})) -eq $((addr)) ] ||
    { echo "$file starts at ${range% *}, not $addr" >&2; exit 1; }
  printf '%s %s 0x%08x %s\n' "$file" "$image" $((addr)) "$(start_address "$file")" >> records.tmp
}

entry() { # elf
  readelf -h "$1" | awk '/Entry point address/ { print $4 }'
}

# The host's objcopy must write the same records, the S0 header (the
# output file's name) aside.
objcopy_records() { # prefix name host-input-format
  prefix=$1 name=$2 fmt=$3
  for format in ihex srec; do
    out=$name.objcopy.${format#i}
    "$prefix-objcopy" -O "$format" "$name.elf" "$out"
    objcopy -I "$fmt" -O "$format" "$name.elf" "$name.host.tmp"
    [ "$(sed '/^S0/d' "$out")" = "$(sed '/^S0/d' "$name.host.tmp")" ] ||
      { echo "host objcopy differs on $out" >&2; exit 1; }
    rm -f "$name.host.tmp"
    record "$out" "$name.load.bin" "$(cat "$name.load.addr")"
  done
}

echo "# file image address start" > records.tmp
objcopy_records arm-none-eabi romcopy-arm elf32-little
objcopy_records mips-linux-gnu romcopy-mips elf32-big
objcopy_records riscv64-unknown-elf romcopy-rv64 elf64-little

# srec_cat IMAGE -binary -offset ADDRESS -o FILE -FORMAT OPTIONS...
srec() { # file image address format options...
  file=$1 image=$2 addr=$3 format=$4
  shift 4
  srec_cat "$image" -binary -offset "$addr" -o "$file" "$format" "$@"
  record "$file" "$image" "$addr"
}
srec blink-arm.s19-16.srec blink-arm.text.bin 0x1000 -motorola \
  -address-length=2 -Output_Block_Size 16 -header blink-arm.text.bin
srec romcopy-riscv.s28-32.srec romcopy-riscv.load.bin 0 -motorola \
  -address-length=3 -Output_Block_Size 32 -header romcopy-riscv.load.bin
srec romcopy-mips.s37-16.srec romcopy-mips.load.bin 0xbfc00000 -motorola \
  -address-length=4 -Output_Block_Size 16 -header romcopy-mips.load.bin
srec romcopy-arm.s37-32.srec romcopy-arm.load.bin 0x08000000 -motorola \
  -address-length=4 -Output_Block_Size 32 -header romcopy-arm.load.bin \
  -execution-start-address "$(entry romcopy-arm.elf)"
srec romcopy-rv64.ihex-16.hex romcopy-rv64.load.bin 0x20000000 -intel \
  -Output_Block_Size 16
srec romcopy-arm.ihex-32.hex romcopy-arm.load.bin 0x08000000 -intel \
  -Output_Block_Size 32 -execution-start-address "$(entry romcopy-arm.elf)"
srec blink-arm.i16hex-16.hex blink-arm.text.bin 0xffc0 -intel \
  -address-length=3 -Output_Block_Size 16
srec romcopy-riscv.i16hex-32.hex romcopy-riscv.load.bin 0 -intel \
  -address-length=3 -Output_Block_Size 32

# A raw blob merged after the ARM image.
awk 'BEGIN { for (i = 0; i < 300; i++) printf "%02x", i % 251 }' | xxd -r -p > blob.bin
lo=$(cat romcopy-arm.load.addr) size=$(wc -c < romcopy-arm.load.bin)
at=$(((lo + size + 15) / 16 * 16))
srec_cat romcopy-arm.objcopy.hex -intel blob.bin -binary -offset "$at" \
  -o romcopy-arm.merged.hex -intel
objcopy -I ihex -O binary romcopy-arm.merged.hex romcopy-arm.merged.bin
{ cat romcopy-arm.load.bin; head -c $((at - lo - size)) /dev/zero; cat blob.bin; } |
  cmp - romcopy-arm.merged.bin || { echo "romcopy-arm.merged.bin is not image, gap, blob" >&2; exit 1; }
record romcopy-arm.merged.hex romcopy-arm.merged.bin "$lo"
mv records.tmp records.txt

# Placement by section, far-apart images and 64-bit memories (binutils-arm-
# none-eabi and binutils-mips64-linux-gnuabi64; assembly, no compiler):
#   bootstage-arm    a boot stage whose one loadable segment starts at file
#       offset 0, so that its ELF header and program header table are in
#       it, 0x80 bytes before the code at 0x10000100; 0x24 bytes of
#       alignment padding between .text and .rodata
#   bootrom-mips64   a MIPS64 big-endian boot ROM at 0xffffffffbfc00000
#       (kseg1), .data stored after the constants and run in kseg0 at
#       0xffffffff80000000; GNU ld puts the ELF header and program headers
#       in the first loadable segment, before the reset vector
#   nrf52-uicr       an nRF52-like boot loader: code in flash at 0x1000 and
#       two words of the UICR at 0x10001014, 256 MiB above
# Each gives NAME.elf and NAME.readelf.txt (readelf -h -l -S -W);
# bootstage-arm and bootrom-mips64 NAME.load.bin and NAME.load.addr
# (objcopy -O binary and its first address, as above: nrf52-uicr's would be
# 256 MiB); bootstage-arm and nrf52-uicr NAME.objcopy.hex (objcopy -O ihex).
arm-none-eabi-as -mcpu=cortex-m3 -o bootstage-arm.tmp.o src/bootstage-arm.s
arm-none-eabi-ld --build-id=none -z max-page-size=16 -T src/bootstage-arm.ld \
  -o bootstage-arm.elf bootstage-arm.tmp.o
arm-none-eabi-as -mcpu=cortex-m4 -o nrf52-uicr.tmp.o src/nrf52-uicr.s
arm-none-eabi-ld --build-id=none -z max-page-size=16 -T src/nrf52-uicr.ld \
  -o nrf52-uicr.elf nrf52-uicr.tmp.o
mips64-linux-gnuabi64-as -march=mips64 -EB -mabi=64 -msym32 -mno-shared \
  -o bootrom-mips64.tmp.o src/bootrom-mips64.s
mips64-linux-gnuabi64-ld -m elf64btsmip --build-id=none -z max-page-size=16 \
  -T src/bootrom-mips64.ld -o bootrom-mips64.elf bootrom-mips64.tmp.o
rm -f bootstage-arm.tmp.o nrf52-uicr.tmp.o bootrom-mips64.tmp.o
load_image arm-none-eabi bootstage-arm elf32-little
for name in bootstage-arm nrf52-uicr; do
  arm-none-eabi-readelf -h -l -S -W "$name.elf" > "$name.readelf.txt"
  arm-none-eabi-objcopy -O ihex "$name.elf" "$name.objcopy.hex"
  host_same "$name" elf32-little "$name.objcopy.hex" -O ihex
done
mips64-linux-gnuabi64-readelf -h -l -S -W bootrom-mips64.elf > bootrom-mips64.readelf.txt
mips64-linux-gnuabi64-objcopy -O binary bootrom-mips64.elf bootrom-mips64.load.bin
host_same bootrom-mips64 elf64-big bootrom-mips64.load.bin -O binary
echo 0xffffffffbfc00000 > bootrom-mips64.load.addr
