// The library's callers give a job as {name, value} pairs, and pick what
// comes back: one memory of several, one bank, one lane.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "cli/job.hpp"
#include "cli/options.hpp"
#include "core/error.hpp"

namespace romwright {

// What render() and words() give of a run's memories.
struct selection {
  std::string memory;  // the NAME of one of several --memory; empty: the only one
  uint32_t bank = 0;
  uint32_t lane = 0;
};

// Sets every pair on `j` as its long option would ("input" for -f), and the
// library's own "select", "bank" and "lane" on `pick`. A memory image kept
// in memory needs no file: an image whose lanes or banks would need one
// name their numbers in a name of its own.
status jobFromPairs(const std::vector<std::pair<std::string, std::string>>& pairs, job& j, selection& pick);

// The memory of `placed` that `pick` names, its bank and lane checked.
Result<placedMemory*> pickMemory(placedJob& placed, const selection& pick);

}  // namespace romwright
