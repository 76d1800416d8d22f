// One run of the tool as the command line makes it, for the command line
// and for callers of the library alike.
#pragma once

#include <cstdio>
#include <memory>

#include "cli/options.hpp"
#include "core/diag.hpp"
#include "core/error.hpp"
#include "core/image.hpp"
#include "out/images.hpp"

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

// The memory images of a job placed, for callers that take them in memory
// rather than as files: its inputs read, every memory placed and its fields
// stored. Held in one place, so that what points into what stays put.
struct placedJob {
  image img;
  memoryPlan plan;
  placedRun run;
};

// Reads the inputs of `j` and places its memories (as many as --format or
// --memory give); its notes go to `note`.
Result<std::unique_ptr<placedJob>> placeJob(const job& j, const noteFn& note);

}  // namespace romwright
