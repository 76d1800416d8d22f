/* Reset entry of the MIPS board at the boot vector: sets sp, copies .data
   from its load address in ROM to RAM, clears .bss and calls main. */
    .set noreorder
    .section .text.boot, "ax", @progbits
    .globl _start
    .ent _start
_start:
    la    $sp, __stack_top

    la    $t0, __data_load
    la    $t1, __data_start
    la    $t2, __data_end
1:  beq   $t1, $t2, 2f
    nop
    lw    $t3, 0($t0)
    addiu $t0, $t0, 4
    sw    $t3, 0($t1)
    b     1b
    addiu $t1, $t1, 4

2:  la    $t0, __bss_start
    la    $t1, __bss_end
3:  beq   $t0, $t1, 4f
    nop
    sw    $zero, 0($t0)
    b     3b
    addiu $t0, $t0, 4

4:  jal   main
    nop
5:  b     5b
    nop
    .end _start

    /* No executable stack. */
    .section .note.GNU-stack, "", @progbits
