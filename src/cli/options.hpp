// The long options: one table drives their parsing, --help, the check that
// the memory-image options come with --format, and the tests' list.
#pragma once

#include <span>
#include <vector>

namespace romwright {

// The long options as given on the command line; null (or empty) when not
// given. A repeatable option keeps every value in order.
struct memArgs {
  const char* format;
  const char* output;
  const char* addresses;
  const char* region;
  const char* width;
  const char* byteOrder;
  const char* depth;
  const char* fill;
  const char* lanes;
  const char* name;
  const char* header;
  const char* overlap;
  std::vector<const char*> merge;
  std::vector<const char*> section;
  std::vector<const char*> removeSection;
  std::vector<const char*> memory;
  std::vector<const char*> insert;
  int allowUnplaced;
  int crop;
  int quiet;
  int verbose;
  const char* radix;
  const char* uf2Family;
  int sparse;
  const char* rebase;
  const char* recordBytes;
  int srecS3;
};

// One long option.
struct longOption {
  const char* name;
  const char* value;       // what its value is called in --help; null for a flag
  const char* help;        // its line(s) in --help; "%s" stands for the formats
  bool needsFormat;        // refused without --format
  // Where its value goes: one of the three, or none for --help and --version.
  const char* memArgs::*text;
  std::vector<const char*> memArgs::*list;
  int memArgs::*flag;
  // May be given for one memory as a key of --memory (format=..., width=...).
  bool perMemory = false;
};

// Every long option, in the order --help lists them.
std::span<const longOption> longOptions();

}  // namespace romwright
