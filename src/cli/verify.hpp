// A run of --verify: the memories the command line describes, placed as a
// build would place them, compared with a dump read back from a device.
// It writes no file.
#pragma once

#include "cli/job.hpp"
#include "cli/options.hpp"
#include "core/error.hpp"
#include "core/image.hpp"
#include "out/images.hpp"

namespace romwright {

// Refuses what a run that writes nothing cannot do beside --verify: the
// fixed outputs and the reports.
status checkVerifyAlone(const job& j);

// Reads the dump of plan.verify (a file of any input kind, or a raw dump
// as DUMP@ADDR), places the memories of `plan` from `img` and writes the
// report to io.out: a line per differing range, then the line that sums it
// up. Fails when the dump cannot be read, and when it differs from the
// image, after the report.
status verifyMemories(const memoryPlan& plan, const image& img, const runIO& io);

}  // namespace romwright
