// The checks of the memory-image options: the strings as given become the
// typed options of each memory, or one line naming the option and the value.
#pragma once

#include <span>

#include "cli/options.hpp"
#include "core/error.hpp"
#include "formats/memory.hpp"
#include "out/images.hpp"

namespace romwright {

// Whether an output name means standard output: "-", and the names of
// standard output itself (/dev/stdout, /dev/fd/1, /proc/self/fd/1), which
// are written to as "-" is (appended to, never renamed over).
bool standardOutputName(const char* name);

// The seconds a run waits for another process (--lock-timeout): a lock on a
// directory it writes into, or a reader of an output FIFO; 30 unless given.
inline constexpr unsigned maxLockTimeout = 86400;
Result<unsigned> checkLockTimeout(const memArgs& a);

// Checks every value and how they combine, before anything is read or
// written; `listing` says that -H writes to standard output. A bad value
// fails with one line naming the option and the value.
Result<memOptions> checkMemArgs(const memArgs& a, bool listing);

// Checks the memories of the run: the one of --format and its options, or
// every --memory with those options as defaults; memories that overlap are
// refused.
Result<memoryPlan> checkMemories(const memArgs& a, bool listing);

// The keys of --memory beyond the options marked perMemory: banks.
std::span<const char* const> memoryOnlyKeys();

}  // namespace romwright
