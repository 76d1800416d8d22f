@ A boot stage linked as one loadable segment that starts with the file's
@ own ELF header and program header table (PHDRS FILEHDR in its linker
@ script), as some second-stage loaders are: the code sits at a fixed
@ offset after them, and its constants after an alignment gap.
        .syntax unified
        .thumb
        .text
        .globl  _start
        .thumb_func
_start:
        ldr     r0, =banner
        ldr     r1, =0x40004400
1:      ldrb    r2, [r0]
        cmp     r2, #0
        beq     2f
        strb    r2, [r1]
        adds    r0, r0, #1
        b       1b
2:      wfi
        b       2b

        .section .rodata, "a"
        .balign 64
banner: .asciz  "bootstage-arm 2.1\r\n"
table:  .word   0x11223344, 0x55667788, 0x99aabbcc
