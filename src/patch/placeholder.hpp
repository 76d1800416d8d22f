// A memory's placeholder as a `$readmemh` file: the words a design was built
// with, when they come from a file rather than from the seed generator
// (seed.hpp), such as one another tool wrote.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/error.hpp"

namespace romwright {

// The `depth` words of `width` bits (1 to 64) that `text` gives, word i at
// index i. The text is read as Verilog's $readmemh reads it: hex numbers
// (either case, '_' between digits) separated by white space or comments
// (// to the end of the line, /* to */), and `@` lines (`@` then a hex
// index, no space between) that say where the next word goes, each word
// going to the index after the one before. A placeholder must give every
// word of the memory exactly once, and nothing more, so anything else is
// refused with one line naming the line of the text and what is wrong:
// a character that is not one of these, a word with x or z digits or more
// bits than the width, an index past the memory, a word given twice, a
// comment not closed, words missing. Time and memory follow the length of
// the text and `depth`.
Result<std::vector<uint64_t>> readPlaceholder(std::span<const uint8_t> text, uint32_t width, uint64_t depth);

}  // namespace romwright
