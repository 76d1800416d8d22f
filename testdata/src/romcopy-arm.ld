/* Cortex-M board: 64 KiB flash at 0x08000000, 8 KiB RAM at 0x20000000.
   The vector table comes first in flash, then code and constants. .data and
   .ramfunc run from RAM and are stored in flash after the constants; the
   reset handler copies each from its load address. */
ENTRY(Reset_Handler)

MEMORY
{
  FLASH (rx)  : ORIGIN = 0x08000000, LENGTH = 64K
  RAM   (rwx) : ORIGIN = 0x20000000, LENGTH = 8K
}

_estack = ORIGIN(RAM) + LENGTH(RAM);

SECTIONS
{
  .isr_vector :
  {
    . = ALIGN(4);
    KEEP(*(.isr_vector))
    . = ALIGN(4);
  } >FLASH

  .text :
  {
    . = ALIGN(4);
    *(.text .text.*)
    *(.glue_7) *(.glue_7t)
    . = ALIGN(4);
  } >FLASH

  .rodata :
  {
    . = ALIGN(4);
    *(.rodata .rodata.*)
    . = ALIGN(4);
  } >FLASH

  .data :
  {
    . = ALIGN(4);
    _sdata = .;
    *(.data .data.*)
    . = ALIGN(4);
    _edata = .;
  } >RAM AT>FLASH
  _sidata = LOADADDR(.data);

  /* Functions that must not run from flash (while it is being written, or
     for speed). */
  .ramfunc :
  {
    . = ALIGN(4);
    _sramfunc = .;
    *(.ramfunc .ramfunc.*)
    . = ALIGN(4);
    _eramfunc = .;
  } >RAM AT>FLASH
  _siramfunc = LOADADDR(.ramfunc);

  .bss :
  {
    . = ALIGN(4);
    _sbss = .;
    *(.bss .bss.*)
    *(COMMON)
    . = ALIGN(4);
    _ebss = .;
  } >RAM

  /DISCARD/ : { *(.comment) *(.note*) *(.ARM.exidx*) }
  .ARM.attributes 0 : { *(.ARM.attributes) }
}
