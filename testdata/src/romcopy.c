/* Firmware whose initialised data is stored in ROM after the program and
   copied to RAM by the start routine before main runs; .bss is cleared
   there too. The data mixes words, halfwords, bytes, a string and a pointer
   into ROM, so a byte out of place or out of order shows. UART_BASE comes
   from the build. Where the board's linker script has a .ramfunc section
   (built with -DRAMFUNC_IN_RAM), the checksum runs from RAM. */
#define UART_TX (*(volatile unsigned *)(UART_BASE + 0x0u))
#define UART_STATUS (*(volatile unsigned *)(UART_BASE + 0x4u))

#ifdef RAMFUNC_IN_RAM
/* long_call: RAM is too far from ROM for a direct branch. */
#define RAMFUNC __attribute__((section(".ramfunc"), noinline, long_call))
#else
#define RAMFUNC __attribute__((noinline))
#endif

struct channel {
    unsigned short id;
    unsigned char gain;
    unsigned char flags;
    unsigned limit;
};

/* Initialised data: stored in ROM, used from RAM. */
unsigned calib[6] = {0x11223344u, 0x55667788u, 0x99aabbccu,
                     0xddeeff00u, 0x0badf00du, 0xcafe0001u};
char banner[] = "romcopy 1.3 ready\r\n";
struct channel channels[4] = {
    {0x0102, 0x03, 0x04, 0x05060708u},
    {0x1112, 0x13, 0x14, 0x15161718u},
    {0x2122, 0x23, 0x24, 0x25262728u},
    {0x3132, 0x33, 0x34, 0x35363738u},
};
const char *board_name = "proto-b";
unsigned short boot_count = 0xa55a;

/* Read-only table: stays in ROM. */
static const unsigned short crc_nibble[16] = {
    0x0000, 0x1081, 0x2102, 0x3183, 0x4204, 0x5285, 0x6306, 0x7387,
    0x8408, 0x9489, 0xa50a, 0xb58b, 0xc60c, 0xd68d, 0xe70e, 0xf78f,
};

/* Zero-initialised: cleared by the start routine. */
unsigned ticks;
unsigned char rxbuf[64];

static void uart_puts(const char *s)
{
    for (; *s; s++) {
        while (UART_STATUS & 1u) {
        }
        UART_TX = (unsigned char)*s;
    }
}

RAMFUNC unsigned short crc16(const unsigned char *p, unsigned n)
{
    unsigned crc = 0xffffu;
    while (n--) {
        crc ^= *p++;
        crc = (crc >> 4) ^ crc_nibble[crc & 0xfu];
        crc = (crc >> 4) ^ crc_nibble[crc & 0xfu];
    }
    return (unsigned short)crc;
}

int main(void)
{
    boot_count++;
    uart_puts(banner);
    uart_puts(board_name);
    UART_TX = crc16((const unsigned char *)calib, sizeof calib);
    for (;;) {
        unsigned c = channels[ticks & 3u].limit ^ calib[ticks & 3u];
        rxbuf[ticks & 63u] = (unsigned char)c;
        UART_TX = crc16(rxbuf, sizeof rxbuf);
        ticks++;
    }
}
