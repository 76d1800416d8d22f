/* The MIPS64 boot ROM: ROM at the reset vector, RAM in kseg0. */
OUTPUT_ARCH(mips)
ENTRY(_start)
MEMORY {
  rom (rx)  : ORIGIN = 0xffffffffbfc00000, LENGTH = 4K
  ram (rwx) : ORIGIN = 0xffffffff80000000, LENGTH = 4K
}
SECTIONS {
  .text : { *(.text*) } > rom
  .rodata : { *(.rodata*) } > rom
  .data : ALIGN(8) { data_start = .; *(.data*) data_end = .; } > ram AT > rom
  data_load = LOADADDR(.data);
  .bss (NOLOAD) : { *(.bss*) *(COMMON) . = ALIGN(16); . += 256; stack_top = .; } > ram
  /DISCARD/ : { *(.MIPS.abiflags) *(.reginfo) *(.MIPS.options) *(.gnu.attributes) *(.pdr) }
}
