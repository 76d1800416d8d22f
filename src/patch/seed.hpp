// Placeholder ("seed") words: the contents a design is built with once, so
// that new words can later be patched into the finished bitstream. The
// patcher finds each bit of the memory by its value pattern, so the words
// are pseudo-random and made to be told apart bit by bit after synthesis
// has split the memory over RAMs and permuted its data bits.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"

namespace romwright {

// The most words a placeholder holds: far beyond any FPGA's block RAM, and
// small enough that a request cannot ask for gigabytes.
inline constexpr uint64_t maxSeedDepth = uint64_t{1} << 24;

// How many values of `width` bits (3 to 64) are neither all 0s nor all 1s:
// 2^width - 2.
inline uint64_t seedValues(uint32_t width) {
  return width >= 64 ? ~uint64_t{0} - 1 : (uint64_t{1} << width) - 2;
}

// The `depth` placeholder words of a memory of `width`-bit words, each in
// the low `width` bits, the same for the same four values on every machine
// (`name` is taken as bytes). For 3 <= width <= 64:
// - no bit column (bit b of every word, in order) is constant, and no
//   column equals another or another's complement: what tells data bits
//   apart, even inverted;
// - no word is all 0s or all 1s;
// - no two words are equal when depth <= seedValues(width): what tells
//   addresses apart by their words. A deeper memory (an 8-bit one of more
//   than 254 words) cannot have that: its words go through every such
//   value in turn, in an order of their own each round, so no value
//   appears more than depth / seedValues(width) times, rounded up. (The
//   iCE40 patcher tells addresses apart by where bits lie in a RAM, and
//   patches such memories too.)
// A request those rules cannot hold for fails, naming the reason: a width
// below 3 (a 1-bit word is all 0s or all 1s; the 2-bit words that are
// neither, 01 and 10, hold complementary bits) or above 64; fewer than 3
// words, or too few for the width (2^(depth-1) - 1 columns at most can
// differ from each other and from each other's complements: 3 bits need 3
// words, 7 bits 4, 15 bits 5, 31 bits 6, 63 bits 7, 64 bits 8); more than
// maxSeedDepth words.
Result<std::vector<uint64_t>> seedWords(std::string_view name, uint32_t width, uint64_t depth,
                                        uint64_t seed);

// Whether a placeholder of `depth` words of `width` bits can be made: the
// refusals of seedWords that the shape alone decides, without making any
// word.
status checkSeedShape(uint32_t width, uint64_t depth);

// The `$readmemh` text of `words`: one word a line, lower-case hex digits,
// width / 4 digits rounded up, each line ending in "\n", nothing else.
std::string seedText(std::span<const uint64_t> words, uint32_t width);

}  // namespace romwright
