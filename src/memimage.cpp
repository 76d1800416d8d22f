// The memory-image mode: checks its options, places the segments, shapes the
// memory into words and lanes, and has the chosen format write each image.
#include "memimage.hpp"

#include <elf.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "elf.hpp"
#include "options.hpp"
#include "formats.hpp"
#include "output.hpp"
#include "place.hpp"
#include "words.hpp"

namespace {

constexpr uint64_t addressSpace = uint64_t{1} << 32;

// ---- Option values ----------------------------------------------------------

failure badValue(const char* option, const char* value, const char* why) {
  return failuref("--%s=%s: %s\n", option, value, why);
}

}  // namespace

// How a number option reads.
enum class numberRead { ok, malformed, tooLarge };

// Reads `s` whole as 0x-prefixed hex or as decimal (a leading 0 is still
// decimal), with a K, M or G suffix (powers of 1024) when `scaled`. A value
// above 2^40, before or after the suffix, is too large; the digits are
// counted no further once past it, and the suffix is checked against the
// limit before it is applied, so nothing overflows.
static numberRead readNumber(const char* s, bool scaled, uint64_t& v) {
  constexpr uint64_t limit = uint64_t{1} << 40;
  const bool hexDigits = s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
  if (hexDigits) s += 2;
  const char* first = s;
  v = 0;
  bool over = false;
  for (;; s++) {
    const unsigned char c = static_cast<unsigned char>(*s);
    if (!(hexDigits ? isxdigit(c) : isdigit(c))) break;
    if (over) continue;
    v = v * (hexDigits ? 16 : 10) + (c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
    over = v > limit;
  }
  if (s == first) return numberRead::malformed;
  unsigned shift = 0;
  if (scaled && *s != '\0') {
    const char* units = "kmg";
    const char* unit = strchr(units, *s++ | 0x20);
    if (unit == nullptr) return numberRead::malformed;
    shift = 10 * static_cast<unsigned>(unit - units + 1);
  }
  if (*s != '\0') return numberRead::malformed;
  if (over || v > limit >> shift) return numberRead::tooLarge;
  v <<= shift;
  return numberRead::ok;
}

// The same for the options whose refusal lists the values they take.
bool parseNumber(const char* s, bool scaled, uint64_t& v) { return readNumber(s, scaled, v) == numberRead::ok; }

namespace {

// Keywords a name must not be: those of C and C++ as written, and those of
// VHDL in any case.
constexpr const char* cKeywords[] = {
    "alignas", "alignof", "and", "and_eq", "asm", "auto", "bitand", "bitor", "bool", "break",
    "case", "catch", "char", "char8_t", "char16_t", "char32_t", "class", "co_await", "co_return",
    "co_yield", "compl", "concept", "const", "const_cast", "consteval", "constexpr", "constinit",
    "continue", "decltype", "default", "delete", "do", "double", "dynamic_cast", "else", "enum",
    "explicit", "export", "extern", "false", "float", "for", "friend", "goto", "if", "inline",
    "int", "long", "mutable", "namespace", "new", "noexcept", "not", "not_eq", "nullptr",
    "operator", "or", "or_eq", "private", "protected", "public", "register", "reinterpret_cast",
    "requires", "restrict", "return", "short", "signed", "sizeof", "static", "static_assert",
    "static_cast", "struct", "switch", "template", "this", "thread_local", "throw", "true", "try",
    "typedef", "typeid", "typename", "union", "unsigned", "using", "virtual", "void", "volatile",
    "wchar_t", "while", "xor", "xor_eq"};
constexpr const char* vhdlKeywords[] = {
    "abs", "access", "after", "alias", "all", "and", "architecture", "array", "assert", "assume",
    "attribute", "begin", "block", "body", "buffer", "bus", "case", "component", "configuration",
    "constant", "context", "cover", "default", "disconnect", "downto", "else", "elsif", "end",
    "entity", "exit", "fairness", "file", "for", "force", "function", "generate", "generic",
    "group", "guarded", "if", "impure", "in", "inertial", "inout", "is", "label", "library",
    "linkage", "literal", "loop", "map", "mod", "nand", "new", "next", "nor", "not", "null", "of",
    "on", "open", "or", "others", "out", "package", "parameter", "port", "postponed", "private",
    "procedure", "process", "property", "protected", "pure", "range", "record", "register",
    "reject", "release", "rem", "report", "restrict", "return", "rol", "ror", "select",
    "sequence", "severity", "shared", "signal", "sla", "sll", "sra", "srl", "strong", "subtype",
    "then", "to", "transport", "type", "unaffected", "units", "until", "use", "variable", "view",
    "vmode", "vpkg", "vprop", "vunit", "wait", "when", "while", "with", "xnor", "xor"};

// Names of the kinds <stdint.h> declares, which a C image beside it cannot
// take: types ending in _t, and macros such as INT8_MAX, UINT64_C or
// SIZE_MAX.
bool stdintName(std::string_view n) {
  if (n.ends_with("_t")) return true;
  for (std::string_view prefix : {"INT", "UINT", "SIZE_", "PTRDIFF_", "SIG_ATOMIC_", "WCHAR_", "WINT_"}) {
    if (n.starts_with(prefix) && (n.ends_with("_MAX") || n.ends_with("_MIN") || n.ends_with("_C"))) {
      return true;
    }
  }
  return false;
}

// Why `name` cannot name an image in C and VHDL, or null when it can: a
// letter, then letters, digits and single underscores, not ending in one,
// no keyword, no name of <stdint.h>, and neither main nor std. The names the
// formats make from it (NAME_base, NAME_words and the guard NAME_H in C;
// NAME_pkg, NAME_t, NAME_depth and NAME_width in VHDL; NAME_0 and so on for
// lanes) need no check of their own: no C or C++ keyword or <stdint.h> name
// ends in those suffixes, NAME_t is declared in VHDL only, and no VHDL
// reserved word holds an underscore.
const char* nameProblem(const char* name) {
  bool ok = isalpha(static_cast<unsigned char>(name[0]));
  for (const char* c = name; ok && *c != '\0'; c++) {
    ok = isalnum(static_cast<unsigned char>(*c)) || (*c == '_' && c[1] != '_' && c[1] != '\0');
  }
  if (!ok) return "not a C and VHDL identifier";
  for (const char* word : cKeywords) {
    if (strcmp(word, name) == 0) return "a reserved word of C or C++";
  }
  for (const char* word : vhdlKeywords) {
    if (strcasecmp(word, name) == 0) return "a reserved word of VHDL";
  }
  if (stdintName(name)) return "a name that <stdint.h> may declare";
  // The C image declares NAME at file scope, where C++ refuses these two.
  if (strcmp(name, "main") == 0) return "the name of the program's entry function in C and C++";
  if (strcmp(name, "std") == 0) return "the namespace of the C++ standard library";
  return nullptr;
}

}  // namespace

result<memOptions> checkMemArgs(const memArgs& a, bool listing) {
  memOptions o{};
  if (a.format == nullptr) {
    for (const longOption& opt : longOptions()) {
      if (!opt.needsFormat) continue;
      const char* value = opt.text != nullptr                             ? a.*opt.text
                          : opt.list != nullptr && !(a.*opt.list).empty() ? (a.*opt.list)[0]
                          : opt.flag != nullptr && a.*opt.flag != 0       ? ""
                                                                          : nullptr;
      if (value == nullptr) continue;
      if (opt.flag != nullptr) return failuref("--%s: only with --format\n", opt.name);
      return badValue(opt.name, value, "only with --format");
    }
    return o;
  }

  o.format = findFormat(a.format);
  if (o.format == nullptr) {
    std::string known;
    for (const memFormat& f : memFormats()) known += std::string(known.empty() ? "" : ", ") + f.name;
    return badValue("format", a.format, ("not a format: " + known).c_str());
  }

  uint64_t v = 32;
  if (a.width != nullptr && (!parseNumber(a.width, false, v) || (v != 8 && v != 16 && v != 32 && v != 64 &&
                                                            v != 128))) {
    return badValue("width", a.width, "not a word width: 8, 16, 32, 64 or 128");
  }
  o.width = static_cast<uint32_t>(v);
  const uint32_t wordBytes = o.width / 8;

  if (a.byteOrder != nullptr) {
    if (strcmp(a.byteOrder, "little") == 0) {
      o.byteOrder = ELFDATA2LSB;
    } else if (strcmp(a.byteOrder, "big") == 0) {
      o.byteOrder = ELFDATA2MSB;
    } else {
      return badValue("byte-order", a.byteOrder, "not little or big");
    }
  }

  if (a.addresses != nullptr) {
    o.runAddresses = strcmp(a.addresses, "run") == 0;
    if (!o.runAddresses && strcmp(a.addresses, "load") != 0) {
      return badValue("addresses", a.addresses, "not load or run");
    }
  }

  if (a.overlap != nullptr) {
    o.overlapLater = strcmp(a.overlap, "later") == 0;
    if (!o.overlapLater && strcmp(a.overlap, "refuse") != 0) {
      return badValue("overlap", a.overlap, "not refuse or later");
    }
  }

  if (a.region != nullptr) {
    const char* colon = strchr(a.region, ':');
    const std::string baseText(a.region, colon == nullptr ? 0 : static_cast<size_t>(colon - a.region));
    uint64_t base = 0, size = 0;
    const numberRead baseRead = colon == nullptr ? numberRead::malformed
                                                 : readNumber(baseText.c_str(), false, base);
    const numberRead sizeRead = colon == nullptr ? numberRead::malformed : readNumber(colon + 1, true, size);
    if (baseRead == numberRead::malformed || sizeRead == numberRead::malformed) {
      return badValue("region", a.region, "not BASE:SIZE");
    }
    if (baseRead == numberRead::tooLarge || sizeRead == numberRead::tooLarge) {
      return badValue("region", a.region, "too large");
    }
    if (size == 0) return badValue("region", a.region, "a region of no bytes");
    if (!fits(base, size, addressSpace)) {
      return badValue("region", a.region, "passes the end of the 32-bit address space");
    }
    if (base % wordBytes != 0) {
      return badValue("region", a.region,
               ("the base is not a multiple of the " + std::to_string(wordBytes) + "-byte word").c_str());
    }
    o.hasRegion = true;
    o.base = base;
    o.size = (size + wordBytes - 1) / wordBytes * wordBytes;
  }

  if (a.depth != nullptr) {
    const numberRead read = readNumber(a.depth, true, o.depth);
    if (read == numberRead::malformed) return badValue("depth", a.depth, "not a number of words");
    if (read == numberRead::tooLarge) return badValue("depth", a.depth, "too large");
    if (o.depth == 0) return badValue("depth", a.depth, "a memory of no words");
    if (!fits(o.hasRegion ? o.base : 0, o.depth * wordBytes, addressSpace)) {
      return badValue("depth", a.depth, "passes the end of the 32-bit address space");
    }
  }

  if (a.fill != nullptr) {
    if (!parseNumber(a.fill, false, v) || v > 0xFF) return badValue("fill", a.fill, "not a byte: 0 to 0xff");
    o.fill = static_cast<uint8_t>(v);
  }

  o.lanes = 1;
  if (a.lanes != nullptr) {
    if (!parseNumber(a.lanes, false, v) || v == 0 || v > o.width || o.width % v != 0) {
      return badValue("lanes", a.lanes,
               ("does not divide the " + std::to_string(o.width) + "-bit word").c_str());
    }
    o.lanes = static_cast<uint32_t>(v);
  }
  const uint32_t laneBits = o.width / o.lanes;
  if (laneBits < o.format->minWidth) {
    return badValue("lanes", a.lanes,
             ("lanes of " + std::to_string(laneBits) + " bits: the " + o.format->name +
              " format holds words of " + std::to_string(o.format->minWidth) + " bits or more")
                 .c_str());
  }
  if (laneBits > o.format->maxWidth) {
    return badValue("format", a.format,
             ("holds words of up to " + std::to_string(o.format->maxWidth) + " bits, not " +
              std::to_string(laneBits))
                 .c_str());
  }
  if (o.format->maxDepth != 0 && o.depth > o.format->maxDepth) {
    return badValue("depth", a.depth,
             ("the " + std::string(o.format->name) + " format holds up to " +
              std::to_string(o.format->maxDepth) + " words")
                 .c_str());
  }

  if (a.output != nullptr && a.output[0] == '\0') return badValue("output", a.output, "an empty file name");
  o.output = a.output != nullptr && strcmp(a.output, "-") != 0 ? a.output : nullptr;
  if (o.lanes > 1 && (o.output == nullptr || strstr(o.output, "%d") == nullptr)) {
    return badValue("output", a.output != nullptr ? a.output : "-",
             "needs %d for the lane number with --lanes");
  }
  if (o.output == nullptr && listing) {
    return badValue("format", a.format, "-H writes to standard output already: give --output=FILE");
  }

  o.crop = a.crop != 0;
  if (o.crop && !o.hasRegion) return failure{"--crop: needs --region=BASE:SIZE to cut at\n"};
  o.quiet = a.quiet != 0;

  o.name = a.name != nullptr ? a.name : "rom_image";
  if (const char* why = nameProblem(o.name)) return badValue("name", o.name, why);
  if (a.header != nullptr) {
    if (a.header[0] == '\0') return badValue("header", a.header, "an empty file name");
    if (o.format->header == nullptr) {
      return badValue("header", a.header, ("the " + std::string(o.format->name) + " format has none").c_str());
    }
    if (o.lanes > 1 && strstr(a.header, "%d") == nullptr) {
      return badValue("header", a.header, "needs %d for the lane number with --lanes");
    }
    o.header = a.header;
  }

  // Intel HEX and S-records hold only the placed bytes unless a fill is
  // asked for; vmem only with --sparse.
  const std::string fmt = o.format->name;
  o.sparse = a.sparse != 0 || (o.format->addresses && a.fill == nullptr);
  if (a.sparse != 0 && !writesSparse(*o.format)) {
    return failuref("--sparse: the %s format writes every word\n", o.format->name);
  }
  if (a.rebase != nullptr) {
    if (!parseNumber(a.rebase, false, o.rebase) || o.rebase > 0xFFFFFFFF) {
      return badValue("rebase", a.rebase, "not an address: 0 to 0xffffffff");
    }
    if (const char* why = rebaseProblem(*o.format, o.sparse)) {
      return badValue("rebase", a.rebase, ("the " + fmt + " format " + why).c_str());
    }
    o.rebased = true;
  }
  o.recordBytes = 16;
  if (a.recordBytes != nullptr) {
    if (!parseNumber(a.recordBytes, false, v) || v == 0 || v > 255) {
      return badValue("record-bytes", a.recordBytes, "not a number of bytes: 1 to 255");
    }
    if (!o.format->addresses) {
      return badValue("record-bytes", a.recordBytes, ("the " + fmt + " format writes no data records").c_str());
    }
    o.recordBytes = static_cast<uint32_t>(v);
  }
  o.srecS3 = a.srecS3 != 0;
  if (o.srecS3 && fmt != "srec") return failuref("--srec-s3: only with --format=srec\n");
  return o;
}

namespace {

// `pattern` with every "%d" replaced by the lane number.
std::string lanePath(const char* pattern, uint32_t lane, uint32_t lanes) {
  std::string path = pattern;
  if (lanes == 1) return path;
  for (size_t at; (at = path.find("%d")) != std::string::npos;) path.replace(at, 2, std::to_string(lane));
  return path;
}

// The files of one run, with the messages that name them, kept alive until
// they are in place.
struct imageFile {
  std::string path, openMsg, writeMsg;
};

outFile fileFor(const imageFile& f) {
  return {f.path.c_str(), f.openMsg.c_str(), f.writeMsg.c_str()};
}

imageFile describe(std::string path) {
  return {path, "Unable to open image file " + path + "\n", "Unable to write image file " + path + "\n"};
}

// Which file a name stands for: the file it names when there is one (links
// followed), otherwise the real directory it would be created in and its
// last component.
struct fileIdentity {
  bool exists;
  dev_t dev;
  ino_t ino;
  bool device;  // a character device: a terminal, /dev/null
  std::string where;
};

fileIdentity identify(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) return {true, st.st_dev, st.st_ino, S_ISCHR(st.st_mode), {}};
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const std::string last = slash == std::string::npos ? path : path.substr(slash + 1);
  char* real = realpath(dir.c_str(), nullptr);
  fileIdentity id{false, 0, 0, false, (real != nullptr ? real : dir) + "/" + last};
  free(real);
  return id;
}

// Whether writing both would lose one: the same regular file, FIFO or
// block device, or the same name yet to be created. A character device is
// written in place, in order, and nothing of it is replaced.
bool sameFile(const fileIdentity& a, const fileIdentity& b) {
  if (a.exists != b.exists) return false;
  if (!a.exists) return a.where == b.where;
  return a.dev == b.dev && a.ino == b.ino && !a.device;
}

struct namedOutput {
  std::string option;  // the option that asks for it, as given
  std::string path;    // the file it writes
  std::string as;      // how a message names it as the other of two
  fileIdentity id;
};

}  // namespace

status checkDistinctOutputs(const memOptions& o, const runOutputs& run) {
  std::vector<namedOutput> outs;
  auto add = [&](std::string option, std::string path, std::string as) {
    fileIdentity id = identify(path);
    outs.push_back({std::move(option), std::move(path), std::move(as), std::move(id)});
  };
  // In the order the run writes them.
  if (run.rom) {
    add("-r", "rom.h", "rom.h by -r");
    add("-r", "rom.c", "rom.c by -r");
  }
  if (run.ROM) add("-R", "tolvek.rom", "tolvek.rom by -R");
  if (o.format != nullptr) {
    for (uint32_t lane = 0; lane < o.lanes; lane++) {
      for (const char* pattern : {o.output, o.header}) {
        if (pattern == nullptr) continue;
        const std::string option = std::string(pattern == o.output ? "--output=" : "--header=") + pattern;
        add(option, lanePath(pattern, lane, o.lanes), option);
      }
    }
  }

  for (size_t j = 0; j < outs.size(); j++) {
    for (size_t i = 0; i < j; i++) {
      if (sameFile(outs[i].id, outs[j].id)) {
        return failuref("%s: %s is also written as %s\n", outs[i].option.c_str(), outs[i].path.c_str(),
              outs[j].as.c_str());
      }
    }
  }

  // Standard output, when the run writes to it, is one more output.
  const std::string image = o.format != nullptr ? std::string("--format=") + o.format->name : "";
  const char* writer = run.listing != nullptr                  ? run.listing
                       : o.format != nullptr && o.output == nullptr ? image.c_str()
                                                                     : run.reports;
  struct stat st {};
  if (writer == nullptr || fstat(STDOUT_FILENO, &st) != 0) return done;
  const fileIdentity standardOutput{true, st.st_dev, st.st_ino, S_ISCHR(st.st_mode), {}};
  for (const namedOutput& out : outs) {
    if (sameFile(out.id, standardOutput)) {
      return failuref("%s: %s is standard output, which %s writes\n", out.option.c_str(), out.path.c_str(),
            writer);
    }
  }
  return done;
}

status dumpMemImage(const memOptions& o, const image& img) {
  const uint32_t wordBytes = o.width / 8;
  placement p;
  const placeRequest req{o.runAddresses, o.hasRegion, o.base, o.size, wordBytes, o.quiet, o.crop,
                         o.overlapLater};
  std::string notes;
  const status placed = placeSegments(p, img, req, notes);
  fputs(notes.c_str(), stderr);
  if (!placed) return placed;

  const uint64_t memWords = p.size / wordBytes;
  const uint64_t depth = o.depth != 0 ? o.depth : memWords;
  if (depth < memWords) {
    return failuref("the image needs %llu words, more than --depth=%llu\n",
                    static_cast<unsigned long long>(memWords), static_cast<unsigned long long>(depth));
  }
  if (!fits(p.base, depth * wordBytes, addressSpace)) {
    return failuref("a memory of %llu words from 0x%08x passes the end of the 32-bit address space\n",
                    static_cast<unsigned long long>(depth), static_cast<uint32_t>(p.base));
  }
  if (o.format->maxDepth != 0 && depth > o.format->maxDepth) {
    return failuref("--format=%s: holds up to %llu words, not %llu\n", o.format->name,
                    static_cast<unsigned long long>(o.format->maxDepth),
                    static_cast<unsigned long long>(depth));
  }
  if (o.format->addresses && img.entry > 0xFFFFFFFFu) {
    return failuref("--format=%s: the start address 0x%llx does not fit its 32-bit addresses\n",
                    o.format->name, static_cast<unsigned long long>(img.entry));
  }

  if (status fit = checkAddressesFit(o, p, depth, img.entry); !fit) return fit;

  const bool little = o.byteOrder != 0 ? o.byteOrder == ELFDATA2LSB : img.little;
  const uint32_t entry = static_cast<uint32_t>(img.entry);
  // Every file of the run, each lane's image then its header: all names
  // are resolved before the first is written.
  struct laneFile {
    uint32_t lane;
    bool header;
  };
  std::vector<imageFile> names;
  std::vector<laneFile> what;
  for (uint32_t lane = 0; lane < o.lanes; lane++) {
    for (const bool header : {false, true}) {
      const char* pattern = header ? o.header : o.output;
      if (pattern == nullptr) continue;
      names.push_back(describe(lanePath(pattern, lane, o.lanes)));
      what.push_back({lane, header});
    }
  }
  std::vector<outFile> files;
  for (const imageFile& f : names) files.push_back(fileFor(f));
  resolveFiles(files);

  auto laneName = [&](uint32_t lane) {
    return o.lanes == 1 ? std::string(o.name) : std::string(o.name) + "_" + std::to_string(lane);
  };
  if (o.output == nullptr) {
    for (uint32_t lane = 0; lane < o.lanes; lane++) {
      sink s{stdout, 0, true};
      if (!writeImage(s, o, p, depth, lane, little, entry, laneName(lane).c_str(), false)) {
        return failure{"Unable to write standard output\n"};
      }
    }
  }
  for (size_t i = 0; i < files.size(); i++) {
    sink s{createFile(files[i]), 0, true};
    closeFile(files[i], writeImage(s, o, p, depth, what[i].lane, little, entry,
                                   laneName(what[i].lane).c_str(), what[i].header));
  }
  replaceFiles(files);
  return done;
}

namespace {

// The start address a lane's image writes, and whether it writes one: the
// entry; with --rebase, the entry moved with the memory's addresses when it
// lies in the memory, and none when it does not.
uint64_t startAddress(const memOptions& o, const placement& p, uint64_t depth, uint64_t entry, bool& written) {
  written = true;
  if (!o.rebased) return entry;
  const uint32_t wordBytes = o.width / 8;
  written = entry >= p.base && entry - p.base < depth * wordBytes;
  if (!written) return 0;
  const uint64_t offset = entry - p.base;
  return o.rebase + (o.lanes == 1 ? offset : offset / wordBytes * ((o.width / o.lanes + 7) / 8));
}

struct laneLayout {
  memLayout m;
  wordReader r;
};

laneLayout layoutOf(const memOptions& o, const placement& p, uint64_t depth, uint32_t lane, bool little,
                    uint64_t entry, const char* name) {
  const uint32_t wordBytes = o.width / 8;
  const uint32_t laneBits = o.width / o.lanes;
  const uint32_t laneBytes = (laneBits + 7) / 8;
  bool hasStart = true;
  const uint64_t start = startAddress(o, p, depth, entry, hasStart);
  return {{laneBits, depth, o.lanes == 1 ? p.base : p.base / wordBytes * laneBytes, static_cast<uint32_t>(start),
           name, o.header, o.sparse, o.rebased, o.rebase, o.recordBytes, o.srecS3, hasStart},
          {&p, 0, p.size / wordBytes, depth, wordBytes, laneBits, lane, o.lanes, little, o.format->memoryOrder,
           o.fill, {}, {}}};
}

}  // namespace

status checkAddressesFit(const memOptions& o, const placement& p, uint64_t depth, uint64_t entry) {
  if (!o.format->addresses) return done;
  bool hasStart = true;
  const uint64_t start = startAddress(o, p, depth, entry, hasStart);
  if (hasStart && start > 0xFFFFFFFF) {
    return failuref("--format=%s: the start address 0x%llx does not fit its 32-bit addresses\n", o.format->name,
                    static_cast<unsigned long long>(start));
  }
  // Every lane's image writes the same addresses.
  laneLayout l = layoutOf(o, p, depth, 0, true, entry, "");
  l.m.hasStart = false;
  const uint64_t last = highestAddress(l.m, l.r);
  if (last > 0xFFFFFFFF) {
    return failuref("--format=%s: address 0x%llx does not fit its 32 bits\n", o.format->name,
                    static_cast<unsigned long long>(last));
  }
  return done;
}

bool writeImage(sink& s, const memOptions& o, const placement& p, uint64_t depth, uint32_t lane,
                bool little, uint32_t entry, const char* name, bool header) {
  laneLayout l = layoutOf(o, p, depth, lane, little, entry, name);
  return (header ? o.format->header : o.format->write)(s, l.m, l.r);
}
