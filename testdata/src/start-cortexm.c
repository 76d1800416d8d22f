/* Vector table and reset handler of the Cortex-M board. The reset handler
   copies .data and .ramfunc from their load addresses in flash to RAM,
   clears .bss and calls main. */
extern unsigned _estack[];
extern unsigned _sidata[], _sdata[], _edata[];
extern unsigned _siramfunc[], _sramfunc[], _eramfunc[];
extern unsigned _sbss[], _ebss[];

int main(void);

static void copy_words(const unsigned *from, unsigned *to, unsigned *end)
{
    /* volatile: keeps the compiler from turning the loop into a memcpy
       call, which a freestanding build has no library for. */
    volatile unsigned *dst = to;
    while (dst < end)
        *dst++ = *from++;
}

__attribute__((noreturn)) void Reset_Handler(void)
{
    copy_words(_sidata, _sdata, _edata);
    copy_words(_siramfunc, _sramfunc, _eramfunc);
    for (volatile unsigned *p = _sbss; p < _ebss;)
        *p++ = 0;
    main();
    for (;;) {
    }
}

void Default_Handler(void)
{
    for (;;) {
    }
}

void NMI_Handler(void) __attribute__((weak, alias("Default_Handler")));
void HardFault_Handler(void) __attribute__((weak, alias("Default_Handler")));
void SVC_Handler(void) __attribute__((weak, alias("Default_Handler")));
void PendSV_Handler(void) __attribute__((weak, alias("Default_Handler")));
void SysTick_Handler(void) __attribute__((weak, alias("Default_Handler")));

/* The core reads the initial stack pointer and the reset vector from the
   first two words of flash. */
__attribute__((section(".isr_vector"), used)) void (*const vector_table[16])(void) = {
    (void (*)(void))_estack,
    Reset_Handler,
    NMI_Handler,
    HardFault_Handler,
    0, 0, 0, 0, 0, 0, 0,
    SVC_Handler,
    0, 0,
    PendSV_Handler,
    SysTick_Handler,
};
