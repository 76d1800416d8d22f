/* Text only, with the entry point after a helper function, so the entry
   address is not the first text address. */
#define OUT (*(volatile unsigned *)0x40000008u)

__attribute__((section(".text.boot"), noinline)) unsigned mix(unsigned v)
{
    return (v << 7) ^ (v >> 3) ^ 0x5a5a5a5au;
}

__attribute__((noreturn)) void _start(void)
{
    unsigned v = 1;
    for (;;) {
        v = mix(v);
        OUT = v;
    }
}
