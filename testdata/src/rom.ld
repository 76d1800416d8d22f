/* Small ROM layout: the program at ROM_BASE, writable data at RAM_BASE. */
ENTRY(_start)
SECTIONS
{
  . = ROM_BASE;
  .text : { *(.text.boot) *(.text*) *(.rodata*) }
  . = RAM_BASE;
  .data : { *(.data*) *(.sdata*) }
  .bss : { *(.sbss*) *(.bss*) *(COMMON) }
  /DISCARD/ : { *(.comment) *(.note*) *(.MIPS.abiflags) *(.reginfo) *(.ARM.attributes) *(.pdr) *(.gnu.attributes) *(.mdebug*) }
}
