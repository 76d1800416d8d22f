/* Memory-image inputs: text in ROM at TEXT_BASE; .data runs in RAM at
   DATA_BASE and is stored in ROM right after the text, where start-up code
   copies it from; .bss in RAM after it. */
ENTRY(_start)
MEMORY
{
  ROM (rx) : ORIGIN = TEXT_BASE, LENGTH = 256M
  RAM (rw) : ORIGIN = DATA_BASE, LENGTH = 256M
}
SECTIONS
{
  .text : { *(.text*) } >ROM
  .data : { *(.data*) } >RAM AT>ROM
  .bss : { *(.bss*) } >RAM
  /DISCARD/ : { *(.MIPS.abiflags) *(.reginfo) *(.ARM.attributes) *(.note*) *(.pdr) *(.gnu.attributes) }
}
