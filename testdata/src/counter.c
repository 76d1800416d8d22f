/* Text, initialised data and a zero-initialised table (bss). */
#define OUT (*(volatile unsigned *)0x40000004u)

unsigned seed = 0x12345678u;
unsigned scale[3] = {3, 5, 7};
unsigned history[64];

__attribute__((section(".text.boot"), noreturn)) void _start(void)
{
    for (unsigned i = 0;; i++) {
        seed = seed * scale[i % 3] + 1u;
        history[i & 63] = seed;
        OUT = history[(i + 1) & 63];
    }
}
