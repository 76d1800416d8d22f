/* Benchmark inputs: text at TEXT_BASE, data and bss at DATA_BASE. */
ENTRY(_start)
SECTIONS
{
  . = TEXT_BASE;
  .text : { *(.text*) }
  . = DATA_BASE;
  .data : { *(.data*) }
  .bss : { *(.bss*) }
  /DISCARD/ : { *(.MIPS.abiflags) *(.reginfo) *(.ARM.attributes) *(.note*) *(.pdr) *(.gnu.attributes) }
}
