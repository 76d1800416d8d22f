// romwright: turns the program of a firmware executable into ROM and memory
// images. The command line: options into a run, the run in its fixed order,
// failures printed once with the exit status.
#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "cli/guards.hpp"
#include "cli/options.hpp"
#include "cli/validate.hpp"
#include "core/error.hpp"
#include "core/image.hpp"
#include "core/numbers.hpp"
#include "fixed/fixed.hpp"
#include "fixed/merge.hpp"
#include "formats/registry.hpp"
#include "out/group.hpp"
#include "out/images.hpp"
#include "read/elf.hpp"
#include "read/registry.hpp"

using namespace romwright;
using namespace romwright::cli;

namespace {

// Options, set while the command line is parsed and read afterwards.
const char* ProgName;
const char* inFile;
int romOut;
int ROMOut;
int hexOut;
uint32_t hexMax;
int dumpLen;
int dumpDest;
int dumpEntry;
int verbose;
uint32_t ROMLen = 0x100000;
memArgs memArg;

// Writes the usage text; the caller ends the run with `status`.
int usage(int status) {
  fprintf(stderr,
          "usage: %s [args]\n"
          "  -f file       # input file\n"
          "  -r            # rom output\n"
          "  -d            # Orv's output\n"
          "  -a            # asm output\n"
          "  -m            # kesmora mem file\n"
          "  -R            # Tolvek ROM output\n"
          "  -L <len>      # Tolvek ROM length [0x100000]\n"
          "  -l            # dump text+data length\n"
          "  -e            # dump binary entry\n"
          "  -t            # dump text location\n"
          "  -H            # dump hex of program\n"
          "  -M NN         # extend image to this length\n"
          "  --help        # memory images and every other option\n",
          ProgName);
  return status;
}

// The formats of the build, as a list.
std::string formatList() {
  std::string formats;
  for (const memFormat& f : memFormats()) formats += std::string(formats.empty() ? "" : ", ") + f.name;
  return formats;
}

// The full help, for --help: every option, short and long.
std::string help() {
  std::string text = strf(
      "usage: %s -f FILE [options]\n"
      "Turns the program of a firmware executable into ROM and memory images.\n"
      "\n"
      "The fixed outputs: the text image of a 32-bit ELF executable, segments\n"
      "placed at their run addresses\n"
      "  -f FILE              the input (required): for the fixed outputs a 32-bit\n"
      "                       ELF executable; for memory images also a 64-bit one,\n"
      "                       Intel HEX or S-records\n"
      "  -H                   hex listing of 32-bit words on standard output\n"
      "  -M NN                extent of the listing, in hex: an address above the\n"
      "                       text address, otherwise a number of words\n"
      "  -v                   with -H: show the extent before and after that\n"
      "  -r                   write rom.h and rom.c\n"
      "  -R                   write tolvek.rom\n"
      "  -L NN                length of tolvek.rom, in hex [0x100000]\n"
      "  -l                   print the text+data length\n"
      "  -t                   print the text address\n"
      "  -e                   print the entry address\n"
      "  -h                   print the short usage text\n"
      "\n"
      "Memory images, for FPGA and boot flows\n",
      ProgName);
  for (const longOption& o : longOptions()) {
    std::string left = std::string("  --") + o.name + (o.value != nullptr ? std::string("=") + o.value : "");
    std::string what = o.help;
    if (const size_t at = what.find("%s"); at != std::string::npos) what.replace(at, 2, formatList());
    if (std::string_view(o.name) == "quiet") text += "\n";
    for (size_t from = 0; from <= what.size();) {
      const size_t nl = std::min(what.find('\n', from), what.size());
      // A long option stands on a line of its own, its text below it.
      if (left.size() >= 23) text += left + "\n", left.clear();
      left.resize(23, ' ');
      text += left + what.substr(from, nl - from) + "\n";
      left.clear();
      from = nl + 1;
    }
  }
  text +=
      "\n"
      "BASE, SIZE, ADDR, WORDS and BYTE are 0x hex or decimal; SIZE and WORDS may\n"
      "end in K, M or G (powers of 1024). An argument @FILE stands for the\n"
      "arguments in FILE, one a line; lines starting with # are left out.\n";
  return text;
}

// A line that says what the input given to the fixed outputs is when it
// is not what they take, or empty.
std::string whatItIs(const image& img, const std::string& name, bool loaded, bool fixed) {
  if (img.elfType == ET_REL) {
    return name + " is a relocatable object file, not an executable; link it first\n";
  }
  if (loaded && img.elfClass == 64) {
    return name + " is a 64-bit ELF executable; -H, -r, -R and the reports take 32-bit ones "
                  "(--format takes both)\n";
  }
  // A file of another kind, read as ELF by the fixed outputs, whose header
  // the loader refused.
  if (loaded || !fixed || img.elfType == ET_EXEC) return {};
  const char* kind = recognisedKind(name);
  if (kind == nullptr || strcmp(kind, "ELF") == 0) return {};
  if (*kind == '\0') {
    return name + " is neither an ELF executable, Intel HEX nor S-records; a raw binary needs --merge=" + name +
           "@ADDR\n";
  }
  return name + " is " + kind + "; -H, -r, -R and the reports take 32-bit ELF executables (--format takes it)\n";
}

// Appends the arguments of `argv`, each "@FILE" replaced by the arguments
// in FILE: one a line, lines that are empty or start with # left out, line
// ends (LF or CRLF) and trailing blanks not part of them. A response file
// may name others, up to a depth of 16.
status expandArguments(std::span<char* const> argv, std::deque<std::string>& out, int depth = 0) {
  for (const char* arg : argv) {
    if (arg[0] != '@' || arg[1] == '\0') {
      out.emplace_back(arg);
      continue;
    }
    if (depth == 16) return failuref("%s: response files nest deeper than 16\n", arg);
    FILE* f = fopen(arg + 1, "r");
    if (f == nullptr) return failuref("unable to read response file %s\n", arg + 1);
    std::deque<std::string> lines;
    char* line = nullptr;
    size_t cap = 0;
    for (ssize_t n; (n = getline(&line, &cap, f)) >= 0;) {
      std::string l(line, static_cast<size_t>(n));
      while (!l.empty() && (l.back() == '\n' || l.back() == '\r' || l.back() == ' ' || l.back() == '\t')) {
        l.pop_back();
      }
      const size_t first = l.find_first_not_of(" \t");
      if (first == std::string::npos || l[first] == '#') continue;
      lines.push_back(l.substr(first));
    }
    free(line);
    // getline ends on an error (out of memory among them) as on the end of
    // the file: only the end of the file is one.
    const bool bad = ferror(f) != 0 || feof(f) == 0;
    fclose(f);
    if (bad) return failuref("unable to read response file %s\n", arg + 1);
    std::vector<char*> inner;
    for (std::string& l : lines) inner.push_back(l.data());
    if (status s = expandArguments(inner, out, depth + 1); !s) return s;
  }
  return done;
}

// Splits --merge's FILE[@ADDR]: a raw binary when the text after the last @
// is an address.
bool rawMerge(const char* arg, std::string& file, uint64_t& at) {
  const char* sign = strrchr(arg, '@');
  if (sign == nullptr || !parseNumber(sign + 1, false, at)) return false;
  file.assign(arg, static_cast<size_t>(sign - arg));
  return true;
}

// The whole run after the options are read, in the fixed order.
status run() {
  // The default length is a multiple of 4, so only a -L value can fail here.
  if (ROMLen % 4 != 0) return failuref("ROM length 0x%x is not a multiple of 4\n", ROMLen);

  Result<memoryPlan> checked = checkMemories(memArg, hexOut != 0);
  if (!checked) return checked.error();
  const memoryPlan& plan = *checked;
  const runOutputs outputs{romOut != 0, ROMOut != 0, hexOut != 0 ? "-H" : nullptr,
                           dumpLen != 0     ? "-l"
                           : dumpDest != 0  ? "-t"
                           : dumpEntry != 0 ? "-e"
                                            : nullptr};
  if (status s = checkDistinctOutputs(plan.memories, outputs); !s) return s;

  // The fixed outputs and the reports need the merged image of a 32-bit
  // executable (and so does a run that asks for nothing else); a memory
  // image takes any input.
  const bool fixed = romOut || ROMOut || hexOut || dumpLen || dumpDest || dumpEntry || plan.memories.empty();
  // Their load lines show as they always did, unless --quiet holds them;
  // a memory-image run shows them with --verbose. Held lines are shown
  // when the load fails.
  const bool showLines = (fixed && !memArg.quiet) || memArg.verbose;
  image img;
  std::string log;
  sectionChoice sections;
  sections.keep.assign(memArg.section.begin(), memArg.section.end());
  sections.remove.assign(memArg.removeSection.begin(), memArg.removeSection.end());
  sections.keepHits.assign(sections.keep.size(), 0);
  sections.removeHits.assign(sections.remove.size(), 0);
  readContext ctx{log, sections, plan.symbols};

  status loaded = readInput(inFile, fixed ? readAs::elf : readAs::recognised, 0, img, ctx);
  const bool elfInput = !img.inputs.empty() && std::string_view(img.inputs[0].kind) == "ELF";
  std::string hint;
  Result<elfImage> merged = Error{};
  if (loaded && fixed) {
    hint = whatItIs(img, inFile, true, fixed);
    if (!hint.empty()) loaded = Error{};
  }
  if (loaded && fixed) {
    // The merger's warnings, one for every text segment after the first,
    // go out as they come when the lines are shown.
    if (showLines) fputs(log.c_str(), stderr), log.clear();
    merged = eatPh(img, log, showLines ? stderr : nullptr);
    if (!merged) loaded = merged.error();
  }
  if (!loaded) {
    if (hint.empty()) hint = whatItIs(img, inFile, false, fixed);
    std::string text = log + loaded.error().message;
    if (elfInput || fixed) text += strf("unable to load elf file %s\n", inFile);
    return Error{text + hint};
  }
  if (showLines) fputs(log.c_str(), stderr);
  log.clear();

  // Further inputs of the memory image, in order.
  for (const char* arg : memArg.merge) {
    std::string file;
    uint64_t at = 0;
    const bool raw = rawMerge(arg, file, at);
    if (!raw) file = arg;
    status s = readInput(file, raw ? readAs::raw : readAs::recognised, at, img, ctx);
    if (showLines) fputs(log.c_str(), stderr);
    if (!s) return Error{(showLines ? "" : log) + s.error().message};
    log.clear();
  }
  for (size_t i = 0; i < sections.keep.size(); i++) {
    if (sections.keepHits[i] == 0) return failuref("--section=%s: matches no section\n", sections.keep[i].c_str());
  }
  for (size_t i = 0; i < sections.remove.size(); i++) {
    if (sections.removeHits[i] == 0) {
      return failuref("--remove-section=%s: matches no section\n", sections.remove[i].c_str());
    }
  }

  if (fixed) {
    const elfImage& elf = *merged;
    if (romOut) {
      if (status s = dumpRom(elf); !s) return s;
    }
    if (ROMOut) {
      if (status s = dumpROM(elf, ROMLen); !s) return s;
    }
    if (hexOut) {
      if (elf.textAddr != elf.entryAddr) boot_warning(elf.textAddr, elf.entryAddr);
      if (status s = dumpHex(elf, hexMax, verbose != 0, stdout); !s) return s;
    }
  }
  if (!plan.memories.empty()) {
    if (status s = dumpMemImages(plan, img, stdout, [](const std::string& n) { fputs(n.c_str(), stderr); }); !s) return s;
  }
  if (fixed) {
    const elfImage& elf = *merged;
    if (dumpLen) {
      // The text+data length, in 32-bit arithmetic.
      const uint32_t len = elf.dataLen != 0 ? elf.dataAddr + elf.dataLen - elf.textAddr : elf.textLen;
      printf("len %d\n", static_cast<int32_t>(len));
    }
    if (dumpDest) printf("text %d 0x%08x\n", static_cast<int32_t>(elf.textAddr), elf.textAddr);
    if (dumpEntry) printf("entry %d 0x%08x\n", static_cast<int32_t>(elf.entryAddr), elf.entryAddr);
  }
  return done;
}

}  // namespace

int main(int argc, char** argv) {
  guardStandardStreams();
  guardSignals();
  // With no argument vector (the kernel then hands over an empty argv[0])
  // the usage text still names the program.
  ProgName = argc > 0 && argv[0] != nullptr && argv[0][0] != '\0' ? argv[0] : "romwright";
  // Response files: "@FILE" stands for the arguments in FILE. The words
  // live until the process ends, as getopt expects of its vector.
  static std::deque<std::string> words;
  if (argc > 1) {
    if (status s = expandArguments({argv + 1, static_cast<size_t>(argc - 1)}, words); !s) {
      fputs(s.error().message.c_str(), stderr);
      return 1;
    }
  }
  static std::vector<char*> args;
  args.push_back(const_cast<char*>(ProgName));
  for (std::string& w : words) args.push_back(w.data());
  args.push_back(nullptr);
  argc = static_cast<int>(args.size() - 1);
  argv = args.data();
  int rejected = 0;
  // The long options come from their table; a row's getopt value is 256
  // plus its index.
  const std::span<const longOption> table = longOptions();
  std::vector<option> longs;
  for (size_t i = 0; i < table.size(); i++) {
    longs.push_back({table[i].name, table[i].value != nullptr ? required_argument : no_argument, nullptr,
                     static_cast<int>(256 + i)});
  }
  longs.push_back({nullptr, 0, nullptr, 0});
  for (int c; (c = getopt_long(argc, argv, "hHf:ardmM:DRL:letv", longs.data(), nullptr)) != -1;) {
    switch (c) {
      case 'f': inFile = optarg; break;
      case 'r': romOut++; break;
      case 'R': ROMOut++; break;
      case 'H': hexOut++; break;
      case 'M': hexMax = parseHex32(optarg); break;
      case 'L': ROMLen = parseHex32(optarg); break;
      case 'l': dumpLen++; break;
      case 't': dumpDest++; break;
      case 'e': dumpEntry++; break;
      case 'v': verbose++; break;
      case 'h': return usage(0);
      default:
        if (c >= 256 && static_cast<size_t>(c - 256) < table.size()) {
          const longOption& o = table[static_cast<size_t>(c - 256)];
          if (o.text != nullptr) {
            memArg.*o.text = optarg;
          } else if (o.list != nullptr) {
            (memArg.*o.list).push_back(optarg);
          } else if (o.flag != nullptr) {
            memArg.*o.flag += 1;
          } else if (std::string_view(o.name) == "help") {
            fputs(help().c_str(), stdout);
            if (status s = closeStandardOutput(); !s) fail(s.error().message.c_str());
            return 0;
          } else {
            puts("romwright " ROMWRIGHT_VERSION);
            if (status s = closeStandardOutput(); !s) fail(s.error().message.c_str());
            return 0;
          }
          break;
        }
        fprintf(stderr, "unknown option %c\n", c);
        rejected++;
        break;
    }
  }
  if (inFile == nullptr || rejected != 0) return usage(1);

  status s = done;
  try {
    s = run();
  } catch (const std::bad_alloc&) {
    s = Error{"out of memory\n"};
  }
  // Every write to standard output is checked once, at the end.
  if (s) s = closeStandardOutput();
  // A failure is printed here, once; the temporaries it left go with it.
  if (!s) fail(s.error().message.c_str());
  return 0;
}

