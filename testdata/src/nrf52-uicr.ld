/* Flash at 0, and two words of the UICR. */
ENTRY(_start)
MEMORY {
  flash (rx) : ORIGIN = 0x00001000, LENGTH = 64K
  uicr (r)   : ORIGIN = 0x10001014, LENGTH = 8
}
SECTIONS {
  .isr_vector : { KEEP(*(.isr_vector)) } > flash
  .text : { *(.text*) } > flash
  .uicr : { KEEP(*(.uicr_bootloader)) KEEP(*(.uicr_mbr_params)) } > uicr
}
