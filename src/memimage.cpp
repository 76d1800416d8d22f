// The memory-image mode: checks its options, places the segments, shapes the
// memory into words and lanes, and has the chosen format write each image.
#include "memimage.hpp"

#include <elf.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "elf.hpp"
#include "formats.hpp"
#include "output.hpp"
#include "place.hpp"

namespace {

constexpr uint64_t addressSpace = uint64_t{1} << 32;

// ---- Option values ----------------------------------------------------------

[[noreturn]] void badValue(const char* option, const char* value, const char* why) {
  failf("--%s=%s: %s\n", option, value, why);
}

// Reads `s` whole as 0x-prefixed hex or as decimal (a leading 0 is still
// decimal), with a K, M or G suffix (powers of 1024) when `scaled`. False
// for anything else, or for a value above 2^40.
bool number(const char* s, bool scaled, uint64_t& v) {
  const bool hexDigits = s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
  if (hexDigits) s += 2;
  const char* first = s;
  v = 0;
  for (;; s++) {
    const unsigned char c = static_cast<unsigned char>(*s);
    if (!(hexDigits ? isxdigit(c) : isdigit(c))) break;
    v = v * (hexDigits ? 16 : 10) + (c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
    if (v > uint64_t{1} << 40) return false;
  }
  if (s == first) return false;
  if (scaled && *s != '\0') {
    const char* units = "kmg";
    const char* unit = strchr(units, *s++ | 0x20);
    if (unit == nullptr) return false;
    v <<= 10 * (unit - units + 1);
  }
  return *s == '\0' && v <= uint64_t{1} << 40;
}

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

// Why `name` cannot name an image in C and VHDL, or null when it can: a
// letter, then letters, digits and single underscores, not ending in one,
// and no keyword.
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
  return nullptr;
}

}  // namespace

memOptions checkMemArgs(const memArgs& a, bool listing) {
  memOptions o{};
  const std::pair<const char*, const char*> given[] = {
      {"output", a.output},       {"addresses", a.addresses}, {"region", a.region},
      {"width", a.width},         {"byte-order", a.byteOrder}, {"depth", a.depth},
      {"fill", a.fill},           {"lanes", a.lanes},         {"name", a.name},
      {"header", a.header}};
  if (a.format == nullptr) {
    for (const auto& [option, value] : given) {
      if (value != nullptr) badValue(option, value, "only with --format");
    }
    return o;
  }

  o.format = findFormat(a.format);
  if (o.format == nullptr) {
    std::string known;
    for (const memFormat& f : memFormats()) known += std::string(known.empty() ? "" : ", ") + f.name;
    badValue("format", a.format, ("not a format: " + known).c_str());
  }

  uint64_t v = 32;
  if (a.width != nullptr && (!number(a.width, false, v) || (v != 8 && v != 16 && v != 32 && v != 64 &&
                                                            v != 128))) {
    badValue("width", a.width, "not a word width: 8, 16, 32, 64 or 128");
  }
  o.width = static_cast<uint32_t>(v);
  const uint32_t wordBytes = o.width / 8;

  if (a.byteOrder != nullptr) {
    if (strcmp(a.byteOrder, "little") == 0) {
      o.byteOrder = ELFDATA2LSB;
    } else if (strcmp(a.byteOrder, "big") == 0) {
      o.byteOrder = ELFDATA2MSB;
    } else {
      badValue("byte-order", a.byteOrder, "not little or big");
    }
  }

  if (a.addresses != nullptr) {
    o.runAddresses = strcmp(a.addresses, "run") == 0;
    if (!o.runAddresses && strcmp(a.addresses, "load") != 0) {
      badValue("addresses", a.addresses, "not load or run");
    }
  }

  if (a.region != nullptr) {
    const char* colon = strchr(a.region, ':');
    const std::string baseText(a.region, colon == nullptr ? 0 : static_cast<size_t>(colon - a.region));
    uint64_t base = 0, size = 0;
    if (colon == nullptr || !number(baseText.c_str(), false, base) || !number(colon + 1, true, size)) {
      badValue("region", a.region, "not BASE:SIZE");
    }
    if (size == 0) badValue("region", a.region, "a region of no bytes");
    if (!fits(base, size, addressSpace)) {
      badValue("region", a.region, "passes the end of the 32-bit address space");
    }
    if (base % wordBytes != 0) {
      badValue("region", a.region,
               ("the base is not a multiple of the " + std::to_string(wordBytes) + "-byte word").c_str());
    }
    o.hasRegion = true;
    o.base = base;
    o.size = (size + wordBytes - 1) / wordBytes * wordBytes;
  }

  if (a.depth != nullptr) {
    if (!number(a.depth, true, o.depth)) badValue("depth", a.depth, "not a number of words");
    if (o.depth == 0) badValue("depth", a.depth, "a memory of no words");
    if (!fits(o.hasRegion ? o.base : 0, o.depth * wordBytes, addressSpace)) {
      badValue("depth", a.depth, "passes the end of the 32-bit address space");
    }
  }

  if (a.fill != nullptr) {
    if (!number(a.fill, false, v) || v > 0xFF) badValue("fill", a.fill, "not a byte: 0 to 0xff");
    o.fill = static_cast<uint8_t>(v);
  }

  o.lanes = 1;
  if (a.lanes != nullptr) {
    if (!number(a.lanes, false, v) || v == 0 || v > o.width || o.width % v != 0) {
      badValue("lanes", a.lanes,
               ("does not divide the " + std::to_string(o.width) + "-bit word").c_str());
    }
    o.lanes = static_cast<uint32_t>(v);
  }
  const uint32_t laneBits = o.width / o.lanes;
  if (laneBits < o.format->minWidth) {
    badValue("lanes", a.lanes,
             ("lanes of " + std::to_string(laneBits) + " bits: the " + o.format->name +
              " format holds words of " + std::to_string(o.format->minWidth) + " bits or more")
                 .c_str());
  }
  if (laneBits > o.format->maxWidth) {
    badValue("format", a.format,
             ("holds words of up to " + std::to_string(o.format->maxWidth) + " bits, not " +
              std::to_string(laneBits))
                 .c_str());
  }
  if (o.format->maxDepth != 0 && o.depth > o.format->maxDepth) {
    badValue("depth", a.depth,
             ("the " + std::string(o.format->name) + " format holds up to " +
              std::to_string(o.format->maxDepth) + " words")
                 .c_str());
  }

  o.output = a.output != nullptr && strcmp(a.output, "-") != 0 ? a.output : nullptr;
  if (o.lanes > 1 && (o.output == nullptr || strstr(o.output, "%d") == nullptr)) {
    badValue("output", a.output != nullptr ? a.output : "-",
             "needs %d for the lane number with --lanes");
  }
  if (o.output == nullptr && listing) {
    badValue("format", a.format, "-H writes to standard output already: give --output=FILE");
  }

  o.name = a.name != nullptr ? a.name : "rom_image";
  if (const char* why = nameProblem(o.name)) badValue("name", o.name, why);
  if (a.header != nullptr) {
    if (o.format->header == nullptr) {
      badValue("header", a.header, ("the " + std::string(o.format->name) + " format has none").c_str());
    }
    if (o.lanes > 1 && strstr(a.header, "%d") == nullptr) {
      badValue("header", a.header, "needs %d for the lane number with --lanes");
    }
    o.header = a.header;
  }
  return o;
}

// ---- Words and lanes --------------------------------------------------------

struct wordReader {
  const placement* p;
  uint64_t next;         // index of the next word
  uint64_t memWords;     // words the placement covers; the rest up to depth is fill
  uint64_t depth;
  uint32_t wordBytes;    // of the whole memory word
  uint32_t laneBits;     // of the words handed out
  uint32_t lane;
  uint32_t lanes;
  bool little;           // the memory's byte order
  bool memoryOrder;      // hand out memory bytes, not word values
  uint8_t fill;
  std::vector<uint8_t> mem;
  std::vector<uint8_t> out;
};

namespace {

// Copies the `n` bytes at `from` to `to` in reverse order, with byte swaps
// for the word sizes.
template <class T>
void swapCopy(const uint8_t* from, uint8_t* to, T (*swap)(T)) {
  T v;
  memcpy(&v, from, sizeof v);
  v = swap(v);
  memcpy(to, &v, sizeof v);
}

void reverseCopy(const uint8_t* from, size_t n, uint8_t* to) {
  switch (n) {
    case 2: return swapCopy<uint16_t>(from, to, [](uint16_t v) { return __builtin_bswap16(v); });
    case 4: return swapCopy<uint32_t>(from, to, [](uint32_t v) { return __builtin_bswap32(v); });
    case 8: return swapCopy<uint64_t>(from, to, [](uint64_t v) { return __builtin_bswap64(v); });
    case 16:
      reverseCopy(from, 8, to + 8);
      return reverseCopy(from + 8, 8, to);
    default: std::reverse_copy(from, from + n, to);
  }
}

// `n` words of `Bytes` bytes from `from` to `to`, each reversed: with the
// size known, the compiler turns the loop into vector byte shuffles.
template <size_t Bytes>
void reverseWords(const uint8_t* from, uint8_t* to, size_t n) {
  for (size_t k = 0; k < n; k++) {
    for (size_t i = 0; i < Bytes; i++) to[k * Bytes + i] = from[k * Bytes + Bytes - 1 - i];
  }
}

}  // namespace

std::span<const uint8_t> nextWords(wordReader& r, size_t max) {
  const size_t chunk = std::max<size_t>(1, (size_t{1} << 20) / r.wordBytes);
  const size_t n = static_cast<size_t>(std::min<uint64_t>({max, r.depth - r.next, chunk}));
  const size_t wb = r.wordBytes;
  // Grown to the words asked for, not to a whole chunk up front: zeroing
  // (and faulting in) a megabyte that a small image never uses cost more
  // than writing its words.
  r.mem.resize(std::max(r.mem.size(), n * wb));
  uint8_t* mem = r.mem.data();
  const size_t placed = static_cast<size_t>(std::min<uint64_t>(n, r.memWords - std::min(r.next, r.memWords)));
  placedBytes(*r.p, r.p->base + r.next * wb, placed * wb, r.fill, mem);
  memset(mem + placed * wb, r.fill, (n - placed) * wb);
  r.next += n;

  const bool reverse = r.little && !r.memoryOrder;
  if (r.lanes == 1 && (!reverse || wb == 1)) return {mem, n * wb};
  const size_t lb = (r.laneBits + 7) / 8;
  r.out.resize(std::max(r.out.size(), n * lb));
  uint8_t* out = r.out.data();
  if (r.lanes == 1) {
    switch (wb) {
      case 2: reverseWords<2>(mem, out, n); break;
      case 4: reverseWords<4>(mem, out, n); break;
      case 8: reverseWords<8>(mem, out, n); break;
      default: reverseWords<16>(mem, out, n); break;
    }
    return {out, n * wb};
  }
  if (r.laneBits < 8) {
    // A lane of 1, 2 or 4 bits: its bits of the word's value.
    const size_t bit = size_t{r.lane} * r.laneBits;
    const size_t at = r.little ? bit / 8 : wb - 1 - bit / 8;
    const unsigned mask = (1u << r.laneBits) - 1;
    for (size_t k = 0; k < n; k++) out[k] = static_cast<uint8_t>(mem[k * wb + at] >> bit % 8 & mask);
    return {out, n};
  }
  // The lane's bytes sit at the same offset in every word: the low-order
  // end of a little-endian word, the high-order end of a big-endian one.
  const size_t at = r.little ? r.lane * lb : wb - (r.lane + 1) * lb;
  for (size_t k = 0; k < n; k++) {
    const uint8_t* from = mem + k * wb + at;
    uint8_t* to = out + k * lb;
    if (reverse) {
      reverseCopy(from, lb, to);
    } else {
      memcpy(to, from, lb);
    }
  }
  return {out, n * lb};
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

}  // namespace

void dumpMemImage(const memOptions& o, bool quiet) {
  const std::span<const uint8_t> file = elfFileBytes();
  if (file.empty()) fail("unable to read elf file\n");
  const uint32_t wordBytes = o.width / 8;
  placement p;
  const placeRequest req{o.runAddresses, o.hasRegion, o.base, o.size, wordBytes, quiet};
  if (!placeSegments(p, elfSegments(), file, req)) exit(1);

  const uint64_t memWords = p.size / wordBytes;
  const uint64_t depth = o.depth != 0 ? o.depth : memWords;
  if (depth < memWords) {
    failf("the image needs %llu words, more than --depth=%llu\n",
          static_cast<unsigned long long>(memWords), static_cast<unsigned long long>(depth));
  }
  if (!fits(p.base, depth * wordBytes, addressSpace)) {
    failf("a memory of %llu words from 0x%08x passes the end of the 32-bit address space\n",
          static_cast<unsigned long long>(depth), static_cast<uint32_t>(p.base));
  }
  if (o.format->maxDepth != 0 && depth > o.format->maxDepth) {
    failf("--format=%s: holds up to %llu words, not %llu\n", o.format->name,
          static_cast<unsigned long long>(o.format->maxDepth), static_cast<unsigned long long>(depth));
  }

  const bool little = (o.byteOrder != 0 ? o.byteOrder : elfOrder()) == ELFDATA2LSB;
  std::vector<imageFile> names;
  std::vector<outFile> files;
  names.reserve(2 * size_t{o.lanes});
  for (uint32_t lane = 0; lane < o.lanes; lane++) {
    const std::string name = o.lanes == 1 ? o.name : std::string(o.name) + "_" + std::to_string(lane);
    if (o.output == nullptr) {
      sink s{stdout, 0, true};
      if (!writeImage(s, o, p, depth, lane, little, name.c_str(), false)) {
        fail("Unable to write standard output\n");
      }
    } else {
      names.push_back(describe(lanePath(o.output, lane, o.lanes)));
      files.push_back(fileFor(names.back()));
      sink s{createFile(files.back()), 0, true};
      closeFile(files.back(), writeImage(s, o, p, depth, lane, little, name.c_str(), false));
    }
    if (o.header != nullptr) {
      names.push_back(describe(lanePath(o.header, lane, o.lanes)));
      files.push_back(fileFor(names.back()));
      sink s{createFile(files.back()), 0, true};
      closeFile(files.back(), writeImage(s, o, p, depth, lane, little, name.c_str(), true));
    }
  }
  replaceFiles(files);
}

bool writeImage(sink& s, const memOptions& o, const placement& p, uint64_t depth, uint32_t lane,
                bool little, const char* name, bool header) {
  const uint32_t wordBytes = o.width / 8;
  const uint32_t laneBits = o.width / o.lanes;
  const uint32_t laneBytes = (laneBits + 7) / 8;
  const memLayout m{laneBits, depth, o.lanes == 1 ? p.base : p.base / wordBytes * laneBytes,
                    elfEntry(), name, o.header};
  wordReader r{&p, 0, p.size / wordBytes, depth, wordBytes, laneBits, lane, o.lanes, little,
               o.format->memoryOrder, o.fill, {}, {}};
  return (header ? o.format->header : o.format->write)(s, m, r);
}
