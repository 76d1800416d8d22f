/* 64-bit RISC-V board: boot flash at 0x20000000, data RAM at 0x80000000.
   Code and constants run from flash, followed by the build id, which a
   boot loader may print but the program never reads. .data is stored in
   flash after that and copied to RAM by the start routine; .bss is only
   reserved in RAM. Both are whole doublewords, as the start routine moves
   them eight bytes at a time. */
OUTPUT_ARCH("riscv")
ENTRY(_start)

MEMORY
{
  ROM (rx)  : ORIGIN = 0x20000000, LENGTH = 64K
  RAM (rwx) : ORIGIN = 0x80000000, LENGTH = 16K
}

/* Segments named here, so that the ELF headers, which fit below the
   flash, are not loaded into the first one. */
PHDRS
{
  rom  PT_LOAD;
  ram  PT_LOAD;
  note PT_NOTE;
}

SECTIONS
{
  .text :
  {
    KEEP(*(.text.init))
    *(.text .text.*)
  } >ROM :rom

  .rodata :
  {
    *(.rodata .rodata.*)
    *(.srodata .srodata.*)
  } >ROM

  .note.gnu.build-id : ALIGN(4)
  {
    KEEP(*(.note.gnu.build-id))
  } >ROM :rom :note

  /* ALIGN sets the load address too: the image of .data in flash starts
     on a 16-byte boundary, like its place in RAM. */
  .data : ALIGN(16)
  {
    __data_start = .;
    *(.data .data.*)
    __global_pointer$ = . + 0x800;
    *(.sdata .sdata.*)
    . = ALIGN(8);
    __data_end = .;
  } >RAM AT>ROM :ram
  __data_load = LOADADDR(.data);

  .bss (NOLOAD) :
  {
    . = ALIGN(8);
    __bss_start = .;
    *(.sbss .sbss.*)
    *(.bss .bss.*)
    *(COMMON)
    . = ALIGN(8);
    __bss_end = .;
  } >RAM :ram

  __stack_top = ORIGIN(RAM) + LENGTH(RAM);

  /DISCARD/ : { *(.comment) *(.note.GNU-stack) }
}
