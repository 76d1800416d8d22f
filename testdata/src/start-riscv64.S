/* Reset entry of the 64-bit RISC-V board: sets gp and sp, copies .data
   from its load address in ROM to RAM a doubleword at a time, clears .bss
   and calls main. Built with the medany code model: every address is
   PC-relative (auipc/addi), since RAM at 0x80000000 is beyond the reach of
   a sign-extended lui on RV64. gp is set with relaxation off, since
   relaxation would make that load gp-relative itself. .file names this
   file in the symbol table instead of the preprocessor's temporary, so
   rebuilds give the same bytes. */
    .file "start-riscv64.S"
    .section .text.init, "ax", @progbits
    .globl _start
    .type _start, @function
_start:
    .option push
    .option norelax
    lla   gp, __global_pointer$
    .option pop
    lla   sp, __stack_top

    lla   a0, __data_load
    lla   a1, __data_start
    lla   a2, __data_end
1:  bgeu  a1, a2, 2f
    ld    t0, 0(a0)
    sd    t0, 0(a1)
    addi  a0, a0, 8
    addi  a1, a1, 8
    j     1b

2:  lla   a0, __bss_start
    lla   a1, __bss_end
3:  bgeu  a0, a1, 4f
    sd    zero, 0(a0)
    addi  a0, a0, 8
    j     3b

4:  call  main
5:  j     5b
    .size _start, . - _start
