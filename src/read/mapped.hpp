// The inputs mapped into memory, listed for the program's own SIGBUS
// handler: a file that shrinks while it is mapped faults on its missing
// pages, and the handler can then name the file instead of dying unexplained.
// Nothing here handles a signal.
#pragma once

#include <cstddef>

namespace romwright {

// Lists the `len` bytes mapped at `addr` as the input called `name`.
void listMappedInput(const void* addr, size_t len, const char* name);

// Takes the mapping at `addr` off the list, before it is unmapped.
void unlistMappedInput(const void* addr);

// The line "input file NAME changed while it was read\n" for a listed
// mapping holding `at`, with its length in `len`; or null. Safe in a signal
// handler.
const char* mappedInputMessage(const void* at, size_t& len);

}  // namespace romwright
