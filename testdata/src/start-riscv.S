/* Reset entry of the RISC-V board: sets gp and sp, copies .data from its
   load address in ROM to RAM, clears .bss and calls main. Addresses are
   absolute (lui/addi), as in the C code; the linker may shorten them.
   gp is set with relaxation off, since relaxation would make that load
   gp-relative itself. .file names this file in the symbol table instead
   of the preprocessor's temporary, so rebuilds give the same bytes. */
    .file "start-riscv.S"
    .section .text.init, "ax", @progbits
    .globl _start
    .type _start, @function
_start:
    .option push
    .option norelax
    lui   gp, %hi(__global_pointer$)
    addi  gp, gp, %lo(__global_pointer$)
    .option pop
    lui   sp, %hi(__stack_top)
    addi  sp, sp, %lo(__stack_top)

    lui   a0, %hi(__data_load)
    addi  a0, a0, %lo(__data_load)
    lui   a1, %hi(__data_start)
    addi  a1, a1, %lo(__data_start)
    lui   a2, %hi(__data_end)
    addi  a2, a2, %lo(__data_end)
1:  bgeu  a1, a2, 2f
    lw    t0, 0(a0)
    sw    t0, 0(a1)
    addi  a0, a0, 4
    addi  a1, a1, 4
    j     1b

2:  lui   a0, %hi(__bss_start)
    addi  a0, a0, %lo(__bss_start)
    lui   a1, %hi(__bss_end)
    addi  a1, a1, %lo(__bss_end)
3:  bgeu  a0, a1, 4f
    sw    zero, 0(a0)
    addi  a0, a0, 4
    j     3b

4:  call  main
5:  j     5b
    .size _start, . - _start
