// What the library's own faces (C, Python) need beyond the public C++ one:
// words of any width, and an image made straight into storage of theirs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "romwright/romwright.hpp"

namespace romwright {

// Hands each word of the memory `options` pick to `fn`: its index and its
// value, most significant byte first, in `bytes` bytes.
Result<void> eachWord(const Options& options, const Notes& notes,
                      const std::function<void(std::uint64_t index, const std::uint8_t* value, std::size_t bytes)>& fn);

// Renders the memory `options` pick (as render() does) into storage that
// `room(bound)` gives: at least `bound` bytes, more than the image takes.
// Returns the image's size. Should an image outgrow the room (a header of a
// very long name), its bytes are in `overflow` too and the size is theirs.
Result<std::size_t> renderTo(const Options& options, const Notes& notes,
                             const std::function<std::uint8_t*(std::size_t bound)>& room,
                             std::vector<std::uint8_t>& overflow);

}  // namespace romwright
