// The fixed outputs' load image: the loadable segments of a 32-bit
// executable merged into one text image and one data image, with the data's
// zero tail taken off as the bss range.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "core/bytemap.hpp"
#include "core/diag.hpp"
#include "core/error.hpp"
#include "core/image.hpp"

namespace romwright {

// The load image of the fixed outputs. Addresses and lengths are 32-bit;
// byte k of the text image lies at offset k of `text` (likewise for data),
// holes reading as zero. The zero tail trimmed off into bss is not held.
struct elfImage {
  byteMap text;
  byteMap data;
  uint32_t textAddr = 0;
  uint32_t dataAddr = 0;
  uint32_t textLen = 0;
  uint32_t dataLen = 0;   // data bytes up to the last nonzero one
  uint32_t bssAddr = 0;   // the zero tail taken off the data image
  uint32_t bssLen = 0;
  uint32_t entryAddr = 0;

  byteSource textBytes() const { return {&text, 0, textLen}; }
  byteSource dataBytes() const { return {&data, 0, dataLen}; }
};

// Merges the loadable segments of `img` (a 32-bit executable) into the load
// image: the executable ones into the text image, the others into the data
// image, then trims the data's zero tail. Its warnings go to `echo` in
// blocks as they come, or to `log` without one (and, when the merge fails,
// those not yet written); a failure is the merger's line. Work and memory
// follow the segments, never the address span.
Result<elfImage> eatPh(const image& img, std::string& log, const noteFn* echo = nullptr);

// Writes the layout of `img` to standard output (a debugging aid).
void dumpImage(const elfImage& img);


}  // namespace romwright
