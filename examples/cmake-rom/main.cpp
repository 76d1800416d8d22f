// Prints the size of the carried image and the sum of its bytes.
#include <cstdio>

#include "rom.h"

int main()
{
    unsigned long sum = 0;
    for (unsigned i = 0; i < ROM_SIZE; i++) {
        sum += romData[i];
    }
    std::printf("%u %lu\n", static_cast<unsigned>(ROM_SIZE), sum);
    return 0;
}
