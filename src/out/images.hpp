// The memory images of a run: every memory placed, its integrity fields
// stored, each bank and lane rendered by its format, and every file written
// as one group.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "core/diag.hpp"
#include "core/error.hpp"
#include "core/image.hpp"
#include "fields/fields.hpp"
#include "core/sink.hpp"
#include "formats/memory.hpp"
#include "formats/render.hpp"
#include "place/place.hpp"

namespace romwright {

// The design a run patches (--patch), if any.
struct patchPlan {
  const char* design = nullptr;  // null: the run patches none
  const char* output = nullptr;  // the patched design; null: standard output
  bool verbose = false;          // a note of the RAMs that hold each memory
};

// The memories of a run, with the text their options point into.
struct memoryPlan {
  std::deque<std::string> text;
  std::vector<memOptions> memories;  // empty: no memory image
  bool several = false;              // given with --memory
  bool allowUnplaced = false;
  std::vector<insertField> inserts;  // in command-line order
  const char* digestOut = nullptr;   // the file for the bytes of the one digest field
  const char* map = nullptr;         // the file of the map of the run ("-": standard output)
  bool mapJson = false;              // the map as JSON rather than text
  const char* verify = nullptr;      // the dump to compare the memories with, as given
  std::vector<std::pair<uint64_t, uint64_t>> verifyIgnore;  // [first, last] left out of the comparison
  bool symbols = false;              // an address is given by name
  bool wholeSegments = false;        // also the stored bytes no section holds
  bool verbose = false;              // notes of what placement leaves out
  // The start address the images write: the inputs' (the first that has
  // one), the one given (an address, or a symbol's value), or none.
  enum class startFrom { inputs, given, none } start = startFrom::inputs;
  uint64_t startAddress = 0;
  std::string startSymbol;           // when given by name
  patchPlan patch;
};

// A memory of the run placed and checked, ready to be written.
struct placedMemory {
  const memOptions* o;
  placement p;
  uint64_t depth;  // words
  bool little;     // its byte order
  bool hasStart = false;  // the run has a start address for it to write
};

// The memories of a run placed and their fields stored. The memories point
// into the plan and the image, and their runs into `values` too.
struct placedRun {
  std::vector<placedMemory> memories;
  std::deque<std::vector<uint8_t>> values;
  std::vector<storedField> fields;  // in the order stored, their bytes in `values`
  uint64_t entry = 0;     // the start address, when hasEntry
  bool hasEntry = false;
};

// Places every memory of `plan`, refuses stored bytes that land in none
// (unless the plan allows it), and stores the integrity fields.
Result<placedRun> placeRun(const memoryPlan& plan, const image& img, const noteFn& note);

// Writes bank `bank`, lane `lane` of `m` (its header file when `header`) to
// `s` in the memory's format, with `entry` as its start address when it has
// one (m.hasStart); `file` is the name of the file written, as given, or null
// when there is none. False when a write failed.
bool writeMemory(sink& s, placedMemory& m, uint64_t entry, uint32_t bank, uint32_t lane, bool header,
                 const char* file = nullptr);

// The most bytes a format can write for one lane of one bank of `m`, for
// making room in memory at once; far more than most formats write.
uint64_t outputBound(const placedMemory& m);

// The name of bank `bank`, lane `lane` of `m` as its files know it: the
// memory's name, then _bN with several banks and _N with several lanes.
std::string partName(const memOptions& o, uint32_t bank, uint32_t lane);

// Hands the words of bank `bank`, lane `lane` of `m` to `fn`, in order.
void visitWords(placedMemory& m, uint32_t bank, uint32_t lane, const wordVisitor& fn);

// Writes the memory images of `plan` from `img`, and the design it
// patches, every file of them as one group; an image without a file goes
// to `standardOutput`. With several memories every stored byte must land
// in one, unless they allow it.
status dumpMemImages(const memoryPlan& plan, const image& img, FILE* standardOutput, const noteFn& note);

}  // namespace romwright
