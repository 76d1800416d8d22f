/* Text only: toggles an output register forever. */
#define LED (*(volatile unsigned *)0x40000000u)

static const unsigned pattern[4] = {0x1, 0x3, 0x7, 0xf};

__attribute__((section(".text.boot"), noreturn)) void _start(void)
{
    for (unsigned i = 0;; i++) {
        LED = pattern[i & 3];
        for (volatile unsigned d = 0; d < 1000; d++) {
        }
    }
}
