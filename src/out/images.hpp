// The memory images of a run: every memory placed, its integrity fields
// stored, each bank and lane rendered by its format, and every file written
// as one group.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "core/diag.hpp"
#include "core/error.hpp"
#include "core/image.hpp"
#include "fields/fields.hpp"
#include "formats/memory.hpp"

namespace romwright {

// The memories of a run, with the text their options point into.
struct memoryPlan {
  std::deque<std::string> text;
  std::vector<memOptions> memories;  // empty: no memory image
  bool several = false;              // given with --memory
  bool allowUnplaced = false;
  std::vector<insertField> inserts;  // in command-line order
  bool symbols = false;              // an address is given by name
};

// Writes the memory images of `plan` from `img`, every file of them as one
// group; an image without a file goes to `standardOutput`. With several
// memories every stored byte must land in one, unless they allow it.
status dumpMemImages(const memoryPlan& plan, const image& img, FILE* standardOutput, const noteFn& note);

}  // namespace romwright
