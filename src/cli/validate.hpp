// The checks of the memory-image options: the strings as given become the
// typed options of each memory, or one line naming the option and the value.
#pragma once

#include "cli/options.hpp"
#include "core/error.hpp"
#include "formats/memory.hpp"
#include "out/images.hpp"

namespace romwright {

// Checks every value and how they combine, before anything is read or
// written; `listing` says that -H writes to standard output. A bad value
// fails with one line naming the option and the value.
Result<memOptions> checkMemArgs(const memArgs& a, bool listing);

// Checks the memories of the run: the one of --format and its options, or
// every --memory with those options as defaults; memories that overlap are
// refused.
Result<memoryPlan> checkMemories(const memArgs& a, bool listing);

}  // namespace romwright
