/* MIPS board: boot ROM at the reset vector 0xbfc00000 (uncached), RAM at
   0x80000000 (cached). The data image sits at a fixed place in ROM, 1 KiB
   in, so that the code before it can grow without moving it; the start
   routine copies it to RAM. */
OUTPUT_ARCH(mips)
ENTRY(_start)

MEMORY
{
  rom (rx)  : ORIGIN = 0xbfc00000, LENGTH = 64K
  ram (rwx) : ORIGIN = 0x80000000, LENGTH = 32K
}

__data_load = ORIGIN(rom) + 0x400;

SECTIONS
{
  .text :
  {
    KEEP(*(.text.boot))
    *(.text .text.*)
  } > rom

  .rodata :
  {
    *(.rodata .rodata.*)
    . = ALIGN(4);
  } > rom

  ASSERT(. <= __data_load, "code and constants run into the data image")

  .data : AT(__data_load)
  {
    __data_start = .;
    *(.data .data.*)
    *(.sdata .sdata.*)
    . = ALIGN(4);
    __data_end = .;
  } > ram

  .bss (NOLOAD) :
  {
    __bss_start = .;
    *(.sbss .sbss.*)
    *(.bss .bss.*)
    *(COMMON)
    . = ALIGN(4);
    __bss_end = .;
  } > ram

  __stack_top = ORIGIN(ram) + LENGTH(ram);

  /DISCARD/ :
  {
    *(.comment) *(.note*) *(.MIPS.abiflags) *(.reginfo) *(.pdr)
    *(.gnu.attributes) *(.mdebug*)
  }
}
