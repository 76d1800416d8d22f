/* 64-bit PowerPC board: 64 KiB boot flash at 0xfff00000, RAM at 0x00100000.
   Code and constants run from flash; .data is stored in flash after them
   and copied to RAM by the reset code; .bss is only reserved in RAM. The
   build information comes last in flash, after the data image. */
OUTPUT_FORMAT("elf64-powerpc")
OUTPUT_ARCH(powerpc:common64)
ENTRY(_start)

MEMORY
{
  ROM (rx)  : ORIGIN = 0xfff00000, LENGTH = 64K
  RAM (rwx) : ORIGIN = 0x00100000, LENGTH = 64K
}

/* Segments named here, so that the ELF headers are not loaded into the
   first one. */
PHDRS
{
  rom  PT_LOAD;
  ram  PT_LOAD;
  info PT_LOAD;
}

SECTIONS
{
  .text :
  {
    KEEP(*(.text.boot))
    *(.text .text.*)
  } >ROM :rom

  .rodata : ALIGN(8)
  {
    *(.rodata .rodata.*)
  } >ROM :rom

  .data : ALIGN(16)
  {
    __data_start = .;
    *(.data .data.*)
    . = ALIGN(8);
    __data_end = .;
  } >RAM AT>ROM :ram
  __data_load = LOADADDR(.data);

  .bss (NOLOAD) :
  {
    . = ALIGN(8);
    __bss_start = .;
    *(.bss .bss.*)
    . = ALIGN(8);
    __bss_end = .;
  } >RAM :ram

  .buildinfo :
  {
    KEEP(*(.buildinfo))
  } >ROM :info

  __stack_top = ORIGIN(RAM) + LENGTH(RAM);

  /DISCARD/ : { *(.comment) *(.note*) }
}
