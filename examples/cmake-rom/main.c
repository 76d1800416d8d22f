/* Prints the size of the carried image and the sum of its bytes. */
#include <stdio.h>

#include "rom.h"

int main(void)
{
    unsigned long sum = 0;
    unsigned i;
    for (i = 0; i < ROM_SIZE; i++) {
        sum += romData[i];
    }
    printf("%u %lu\n", (unsigned)ROM_SIZE, sum);
    return 0;
}
