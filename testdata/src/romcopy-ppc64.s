# Firmware of the 64-bit big-endian PowerPC board, in assembly: the reset
# code copies .data from its load address in ROM to RAM a doubleword at a
# time and clears .bss, then main counts the boot, sends the banner and
# the board name over the UART and checksums the constant table forever.
# The data mixes doublewords, words, halfwords, bytes, a string and a
# pointer into ROM, so a byte out of place or out of order shows.
# Addresses are built whole in a register (LA below): ROM sits at the top
# of the low 4 GiB, where a lone lis would sign-extend.
    .file "romcopy-ppc64.s"

    .set UART_BASE, 0xc0000000
    .set UART_TX, 0
    .set UART_STATUS, 4

    # reg = the 64-bit address sym
    .macro LA reg, sym
    lis    \reg, \sym@highest
    ori    \reg, \reg, \sym@higher
    rldicr \reg, \reg, 32, 31
    oris   \reg, \reg, \sym@h
    ori    \reg, \reg, \sym@l
    .endm

    .section .text.boot, "ax", @progbits
    .globl _start
    .type _start, @function
_start:
    LA     %r1, __stack_top
    li     %r0, 0
    stdu   %r0, -112(%r1)     # a first frame, its back chain null

    LA     %r3, __data_load
    LA     %r4, __data_start
    LA     %r5, __data_end
1:  cmpld  %r4, %r5
    bge    2f
    ld     %r6, 0(%r3)
    std    %r6, 0(%r4)
    addi   %r3, %r3, 8
    addi   %r4, %r4, 8
    b      1b

2:  LA     %r3, __bss_start
    LA     %r4, __bss_end
    li     %r6, 0
3:  cmpld  %r3, %r4
    bge    4f
    std    %r6, 0(%r3)
    addi   %r3, %r3, 8
    b      3b

4:  bl     main
5:  b      5b
    .size _start, . - _start

    .text
    # Sends the NUL-terminated string at r3; r8 holds the UART base.
    .type uart_puts, @function
uart_puts:
1:  lbz    %r4, 0(%r3)
    cmpwi  %r4, 0
    beqlr
2:  lwz    %r5, UART_STATUS(%r8)
    andi.  %r5, %r5, 1
    bne    2b
    stw    %r4, UART_TX(%r8)
    addi   %r3, %r3, 1
    b      1b
    .size uart_puts, . - uart_puts

    .globl main
    .type main, @function
main:
    LA     %r8, UART_BASE
    LA     %r9, boot_count
    lwz    %r10, 0(%r9)
    addi   %r10, %r10, 1
    stw    %r10, 0(%r9)
    LA     %r3, banner
    bl     uart_puts
    LA     %r9, board_name
    ld     %r3, 0(%r9)
    bl     uart_puts

    # ticks += the sum of the table, each round, sent over the UART.
    LA     %r9, ticks
6:  LA     %r3, crc_nibble - 2
    li     %r4, 16
    mtctr  %r4
    ld     %r6, 0(%r9)
7:  lhzu   %r5, 2(%r3)
    add    %r6, %r6, %r5
    bdnz   7b
    std    %r6, 0(%r9)
    stw    %r6, UART_TX(%r8)
    b      6b
    .size main, . - main

# Read-only table and string: stay in ROM.
    .section .rodata, "a", @progbits
    .balign 8
crc_nibble:
    .short 0x0000, 0x1081, 0x2102, 0x3183, 0x4204, 0x5285, 0x6306, 0x7387
    .short 0x8408, 0x9489, 0xa50a, 0xb58b, 0xc60c, 0xd68d, 0xe70e, 0xf78f
name:
    .asciz "proto-p64"

# Initialised data: stored in ROM, used from RAM.
    .section .data, "aw", @progbits
    .balign 8
    .globl calib
calib:
    .quad  0x1122334455667788, 0x99aabbccddeeff00
    .long  0x0badf00d, 0xcafe0001
    .short 0x0102, 0x0304
    .byte  0x05, 0x06, 0x07, 0x08
banner:
    .asciz "romcopy-ppc64 ready\r\n"
    .balign 8
board_name:
    .quad  name
boot_count:
    .long  0xa55a

# Zero-initialised: cleared by the reset code.
    .section .bss, "aw", @nobits
    .balign 8
ticks:
    .space 8
rxbuf:
    .space 64

# What was built, for a boot loader or a person reading the flash; the
# program never reads it.
    .section .buildinfo, "a", @progbits
    .asciz "romcopy-ppc64 1.3 rebuild.sh"

    # No executable stack.
    .section .note.GNU-stack, "", @progbits
