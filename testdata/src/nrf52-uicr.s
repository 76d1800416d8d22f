@ An nRF52-like boot loader image: its code in flash near 0 and the
@ boot loader's start address in the UICR at 0x10001014, 256 MiB above.
        .syntax unified
        .thumb
        .section .isr_vector, "a"
        .word   0x20010000
        .word   _start + 1
        .rept   14
        .word   fault + 1
        .endr
        .text
        .globl  _start
        .thumb_func
_start: ldr     r0, =table
        ldr     r1, [r0]
        b       _start
        .thumb_func
fault:  b       fault
        .balign 4
table:
        .set    i, 0
        .rept   256
        .word   (0x01000193 * i + 0x811c9dc5) & 0xffffffff
        .set    i, i + 1
        .endr
        .section .uicr_bootloader, "a"
        .word   0x00001000
        .section .uicr_mbr_params, "a"
        .word   0x0007e000
