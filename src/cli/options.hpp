// The options: one table of every short and long option drives the parsing
// of a command line into a job, the --help text, the keys of --memory, the
// options of the library's callers and the check that the memory-image
// options come with --format.
#pragma once

#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"

namespace romwright {

// The long options as given; null (or empty) when not given. A repeatable
// option keeps every value in order.
struct memArgs {
  const char* format = nullptr;
  const char* output = nullptr;
  const char* addresses = nullptr;
  const char* region = nullptr;
  const char* width = nullptr;
  const char* byteOrder = nullptr;
  const char* depth = nullptr;
  const char* fill = nullptr;
  const char* lanes = nullptr;
  const char* name = nullptr;
  const char* header = nullptr;
  const char* overlap = nullptr;
  std::vector<const char*> merge;
  std::vector<const char*> section;
  std::vector<const char*> removeSection;
  std::vector<const char*> memory;
  std::vector<const char*> insert;
  const char* digestOut = nullptr;
  const char* map = nullptr;
  const char* mapFormat = nullptr;
  const char* verify = nullptr;
  std::vector<const char*> verifyIgnore;
  int allowUnplaced = 0;
  int crop = 0;
  const char* start = nullptr;  // --start=ADDR|sym:NAME
  int noStart = 0;
  int wholeSegments = 0;
  int empty = 0;
  int quiet = 0;
  int verbose = 0;
  const char* radix = nullptr;
  const char* uf2Family = nullptr;
  const char* seed = nullptr;
  const char* patch = nullptr;
  const char* placeholder = nullptr;
  const char* copies = nullptr;
  int sparse = 0;
  const char* rebase = nullptr;
  const char* recordBytes = nullptr;
  int srecS3 = 0;
  int dense = 0;
  const char* lineEnding = nullptr;
  const char* srecHeader = nullptr;
  const char* dfuVid = nullptr;
  const char* dfuPid = nullptr;
  const char* dfuBcd = nullptr;
  const char* lockTimeout = nullptr;  // seconds a run waits for another process
};

// One run: what the command line, or a caller of the library, asks for.
// Every default is here.
struct job {
  const char* input = nullptr;  // -f
  // The bytes of the input, when a caller gives them rather than a file;
  // `input` names them. Kept alive by the caller for the run.
  const std::vector<uint8_t>* inputData = nullptr;
  int romOut = 0;               // -r: rom.h and rom.c
  int ROMOut = 0;               // -R: tolvek.rom
  int hexOut = 0;               // -H: the hex word listing
  uint32_t hexMax = 0;          // -M: its extent
  int dumpLen = 0;              // -l
  int dumpDest = 0;             // -t
  int dumpEntry = 0;            // -e
  int verbose = 0;              // -v: the listing's extent on standard error
  uint32_t ROMLen = 0x100000;   // -L: the length of tolvek.rom
  memArgs mem;                  // the long options
  std::vector<const char*> positional;  // words that are no option
  // The text the fields point into: the job owns what it was given.
  std::deque<std::string> text;

  job() = default;
  job(job&&) = default;  // a deque's elements stay where they are
  job& operator=(job&&) = default;
  job(const job&) = delete;
  job& operator=(const job&) = delete;
  // Keeps `s` for as long as the job lives and returns it as a C string.
  const char* keep(std::string_view s);
};

// One option of the table.
struct optionRow {
  char letter;          // the short option, or 0
  const char* name;     // the long option without "--", or null
  const char* value;    // what its value is called in --help; null for none
  const char* help;     // its line(s) in --help ("%s": the formats, "%k": the input kinds); null: not listed
  const char* heading;  // a heading --help puts before it, or null
  bool needsFormat;     // refused without --format
  bool perMemory;       // a key of --memory too
  // Where its value goes: one of these, or `act` for an option with its own
  // meaning.
  const char* memArgs::*text = nullptr;
  std::vector<const char*> memArgs::*list = nullptr;
  int memArgs::*flag = nullptr;
  void (*act)(job& j, const char* value) = nullptr;
};

// Every option, in the order --help lists them, then the letters the parser
// takes but the run has no action for.
std::span<const optionRow> options();

// The option called `name` (a long option, or "input" for -f), or null.
const optionRow* findOption(std::string_view name);

// Whether the run writes only placeholders, which need no input: no fixed
// output, no --patch or --merge, and every memory of a format that writes
// placeholders (its format= key, else --format).
bool placeholdersOnly(const job& j);

// One thing the scan of a command line found, in order: an option with its
// value, an option refused with getopt_long's message, or a word that is no
// option.
struct parsedItem {
  const optionRow* row;  // the option; null for the other two
  std::string value;     // its value, or the word
  std::string message;   // why it was refused, one line
  bool positional;       // a word that is no option
};

// Scans `args` (without the program's name) as getopt_long with the short
// options "hHf:ardmM:DRL:letv" and the long options of the table does:
// options and words that are no options in any order, "--" ending the
// options, short options clustered and a value in the same word or the
// next, a long option abbreviated to any unique prefix with its value after
// "=" or in the next word. Its messages name `program`.
std::vector<parsedItem> scanArguments(std::span<const std::string> args, const std::string& program);

// What parsing a command line came to.
struct parseOutcome {
  enum class end { run, usage, help, version } how = end::run;
  int usageStatus = 0;      // the status the usage text ends the run with
  std::string diagnostics;  // lines for standard error, in order
};

// Parses `args` into `j`, option by option in the order scanArguments finds
// them, stopping at -h, --help and --version. An option refused by the scan
// or without an action adds "unknown option C" to the diagnostics.
parseOutcome parseArguments(std::span<const std::string> args, const std::string& program, job& j);

// Sets the option `name` of `j` to `value`, as --NAME=VALUE would; a flag
// takes "", "yes", "true" or "1" (and "no", "false" or "0" to leave it
// unset). For the library's callers.
status setOption(job& j, std::string_view name, std::string_view value);

// The short usage text, naming `program`.
std::string usageText(const std::string& program);

// The full help, for --help: every option, short and long.
std::string helpText(const std::string& program);

// The formats of the build, as a list.
std::string formatList();

}  // namespace romwright
