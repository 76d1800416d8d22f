/* One loadable segment from the ELF header on: the headers, then the code
   at 0x10000100, then the constants. */
ENTRY(_start)
PHDRS { image PT_LOAD FILEHDR PHDRS; }
SECTIONS {
  . = 0x10000000 + SIZEOF_HEADERS;
  .text 0x10000100 : { *(.text*) } :image
  .rodata : { *(.rodata*) } :image
}
