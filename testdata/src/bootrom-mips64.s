# A MIPS64 boot ROM: code and constants at the reset vector in kseg1
# (0xffffffffbfc00000), initialised data stored after them and copied to
# kseg0 RAM (0xffffffff80000000) at start. Assembled with -msym32: the
# addresses are sign-extended 32-bit ones, as a boot ROM's are.
        .set    noreorder
        .text
        .globl  _start
_start:
        dla     $sp, stack_top
        dla     $a0, data_load
        dla     $a1, data_start
        dla     $a2, data_end
1:      beq     $a1, $a2, 2f
        nop
        lw      $t0, 0($a0)
        sw      $t0, 0($a1)
        daddiu  $a0, $a0, 4
        b       1b
        daddiu  $a1, $a1, 4
2:      dla     $t9, idle
        jr      $t9
        nop
idle:   b       idle
        nop

        .section .rodata, "a"
banner: .asciz  "bootrom-mips64 1.0"

        .data
        .align  3
counter:
        .word   0x12345678, 0x9abcdef0
        .dword  0x0123456789abcdef

        .bss
        .space  64
