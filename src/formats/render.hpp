// A memory of the run as a format writes it: one lane of one bank, its
// words handed to the format's writer.
#pragma once

#include <cstdint>

#include "core/error.hpp"
#include "formats/memory.hpp"
#include "core/sink.hpp"
#include "place/place.hpp"

namespace romwright {

// Refuses, with one line naming the format and the address, an address
// that a format of 32-bit addresses would have to write and cannot hold:
// with --rebase, the highest address of the image or its start address;
// for the formats of word addresses (mif, ihex-words, sparse vmem), the
// highest word address from --rebase.
status checkAddressesFit(const memOptions& o, const placement& p, uint64_t depth, uint64_t entry);

// Writes lane `lane` of the memory that `p` holds, `depth` words, in the
// format `o` asks for (its header file when `header`), to `s`; `little` is
// the byte order and `name` the image's identifier. False when a write
// failed.
bool writeImage(sink& s, const memOptions& o, const placement& p, uint64_t depth, uint32_t lane, bool little,
                uint32_t entry, const char* name, bool header);

}  // namespace romwright
