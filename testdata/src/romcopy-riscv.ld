/* RISC-V soft-core board: boot ROM at 0, data RAM at 0x80000000. Code and
   constants run from ROM; .data is stored in ROM after them and copied to
   RAM by the start routine; .bss is only reserved in RAM. */
OUTPUT_ARCH("riscv")
ENTRY(_start)

MEMORY
{
  ROM (rx)  : ORIGIN = 0x00000000, LENGTH = 16K
  RAM (rwx) : ORIGIN = 0x80000000, LENGTH = 8K
}

SECTIONS
{
  .text :
  {
    KEEP(*(.text.init))
    *(.text .text.*)
  } >ROM

  .rodata :
  {
    *(.rodata .rodata.*)
    *(.srodata .srodata.*)
  } >ROM

  /* ALIGN sets the load address too: the image of .data in ROM starts on
     a 16-byte boundary, like its place in RAM. */
  .data : ALIGN(16)
  {
    __data_start = .;
    *(.data .data.*)
    __global_pointer$ = . + 0x800;
    *(.sdata .sdata.*)
    . = ALIGN(4);
    __data_end = .;
  } >RAM AT>ROM
  __data_load = LOADADDR(.data);

  .bss (NOLOAD) :
  {
    . = ALIGN(4);
    __bss_start = .;
    *(.sbss .sbss.*)
    *(.bss .bss.*)
    *(COMMON)
    . = ALIGN(4);
    __bss_end = .;
  } >RAM

  __stack_top = ORIGIN(RAM) + LENGTH(RAM);

  /DISCARD/ : { *(.comment) *(.note*) }
}
