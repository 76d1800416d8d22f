// An input open for reading, and its bytes: what every reader starts from.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/image.hpp"
#include "core/error.hpp"

namespace romwright {

// An input open for reading, as a reader gets it.
struct inputSource {
  std::string name;       // as given on the command line, for messages
  uint32_t index = 0;     // its entry in image::inputs
  int fd = -1;            // open for reading, positioned at its start
  bool regular = false;   // a regular file, whose size is known
  uint64_t size = 0;
  // The bytes already read from `fd` to recognise an input that cannot be
  // read again (a pipe): the input's first bytes, before what `fd` gives.
  std::vector<uint8_t> head = {};
};

// Every byte of `in`: mapped when it can be (and guarded against the file
// shrinking while it is read), otherwise read whole, from its start (its
// `head` first); kept alive by `img`.
Result<std::span<const uint8_t>> inputBytes(inputSource& in, image& img);

}  // namespace romwright
