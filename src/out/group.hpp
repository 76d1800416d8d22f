// The files of a run as a group: their names (lanes and banks numbered in),
// the check that no two of them are one file, and the messages that name
// them.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "core/error.hpp"
#include "formats/memory.hpp"
#include "out/files.hpp"

namespace romwright {

// `pattern` with every "%d" replaced by the lane number and every "%b" by
// the bank number, each only when there are several.
std::string filePath(const char* pattern, uint32_t lane, uint32_t lanes, uint32_t bank = 0, uint32_t banks = 1);

// A file of a memory image with the messages that name it, kept alive
// until it is in place.
struct imageFile {
  std::string path, openMsg, writeMsg;
};

imageFile describe(std::string path);
outFile fileFor(const imageFile& f);

// What a run writes besides the memory images.
struct runOutputs {
  bool rom;             // -r: rom.h and rom.c
  bool ROM;             // -R: tolvek.rom
  const char* listing;  // "-H" when the listing goes to standard output, else null
  const char* reports;  // the first of "-l", "-t", "-e" asked for, else null
  const char* design = nullptr;   // --patch: the design it reads, else null
  const char* patched = nullptr;  // the patched design's file; null: standard output
};

// Refuses a name no run may write (see checkOutputName), then, with one
// line naming both, two outputs of the run that are the
// same file (through links too), or one that is the file standard output
// is, when the run writes to standard output; and a patched design written
// over the design it is made from. Character devices (a terminal,
// /dev/null) may be named more than once. `map` is the file of --map ("-":
// standard output) and `digestOut` that of --digest-out, or null. Call
// before anything is read or written.
status checkDistinctOutputs(std::span<const memOptions> mems, const runOutputs& run, const char* map = nullptr,
                            const char* digestOut = nullptr);

}  // namespace romwright
