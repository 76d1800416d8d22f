// Words of any width, for the library's own faces (C, Python) that take
// words wider than 64 bits too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "romwright/romwright.hpp"

namespace romwright {

// Hands each word of the memory `options` pick to `fn`: its index and its
// value, most significant byte first, in `bytes` bytes.
Result<void> eachWord(const Options& options, const Notes& notes,
                      const std::function<void(std::uint64_t index, const std::uint8_t* value, std::size_t bytes)>& fn);

}  // namespace romwright
