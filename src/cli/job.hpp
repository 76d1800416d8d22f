// One run of the tool as the command line makes it, for the command line
// and for callers of the library alike.
#pragma once

#include <cstdio>

#include "cli/options.hpp"
#include "core/diag.hpp"
#include "core/error.hpp"

namespace romwright {

// Where a run writes what is not a file.
struct runIO {
  FILE* out = stdout;  // the listing, the reports, an image without a file
  noteFn note;         // the loader's lines, warnings and notes, as they come
};

// Runs `j`: reads its inputs, writes its fixed outputs, memory images and
// reports in their fixed order. A failure leaves the files already put in
// place and removes the temporaries of those that were not.
status runJob(const job& j, const runIO& io);

}  // namespace romwright
