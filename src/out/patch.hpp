// The patch of a run (--patch): the memories' words put in place of their
// placeholders in a finished FPGA design, made whole before any file of the
// run is opened and written as one file of the run's group.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>

#include "core/diag.hpp"
#include "core/error.hpp"
#include "core/image.hpp"
#include "out/group.hpp"
#include "out/images.hpp"
#include "patch/bitstream.hpp"

namespace romwright {

// A design read and its patch worked out: its bytes and the edits to make.
struct patchedDesign {
  image held;                        // keeps the design's bytes mapped or read
  std::span<const uint8_t> config;   // the design as read
  configEdits edits;
};

// Reads the design of `plan` and finds every patched memory of `run` in
// it. Each lane of each bank is a memory of its own, called as partName
// says, whose placeholder is the one of its name, width, depth and seed,
// or the words of its placeholder file. Fails, naming the design (and the
// memory), when the design is not one of a known family or any memory's
// placeholder is not found exactly as often as it has copies; notes say
// which RAMs hold each memory when the plan is verbose.
Result<std::unique_ptr<patchedDesign>> preparePatch(const memoryPlan& plan, placedRun& run, const noteFn& note);

// Writes the patched design to `f`: the design's bytes with the edits
// made, the unchanged ones straight from the design as read. False when a
// write failed, with `err` the system's reason when it gave one.
bool writePatched(FILE* f, const patchedDesign& d, int& err);

// The patched design as a file of the run's group, with the messages that
// name it.
imageFile patchedFile(const char* path);

}  // namespace romwright
