// The generated C source, compiled as C++.
#include "rom.c"
