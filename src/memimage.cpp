// The memory-image mode: checks its options, places the segments, shapes the
// memory into words and lanes, and has the chosen format write each image.
#include "memimage.hpp"

#include <elf.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <tuple>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "checksum.hpp"
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

  o.banks = 1;
  o.format = findFormat(a.format);
  if (o.format == nullptr) {
    std::string known;
    for (const memFormat& f : memFormats()) known += std::string(known.empty() ? "" : ", ") + f.name;
    return badValue("format", a.format, ("not a format: " + known).c_str());
  }

  uint64_t v = 32;
  if (a.width != nullptr && (!parseNumber(a.width, false, v) || v < 8 || v > 1024 || v % 8 != 0)) {
    return badValue("width", a.width, "not a word width: a multiple of 8 from 8 to 1024");
  }
  // A format of bytes keeps the placed span to the byte unless an option
  // asks for whole words.
  if (o.format->byteSpan && a.width == nullptr && a.depth == nullptr && a.region == nullptr && a.lanes == nullptr) {
    v = 8;
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
  // A lane is whole bytes of the word, or bits of one byte.
  if (laneBits < 8 ? laneBits == 3 || laneBits > 4 : laneBits % 8 != 0) {
    return badValue("lanes", a.lanes,
             ("lanes of " + std::to_string(laneBits) + " bits: a lane is 1, 2 or 4 bits or whole bytes").c_str());
  }
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

  o.radix = 16;
  if (a.radix != nullptr) {
    if (!parseNumber(a.radix, false, v) || (v != 2 && v != 16)) return badValue("radix", a.radix, "not 2 or 16");
    o.radix = static_cast<uint32_t>(v);
  }
  if (a.uf2Family != nullptr) {
    if (const uf2FamilyName* f = findUf2Family(a.uf2Family)) {
      o.uf2Family = f->id;
    } else if (parseNumber(a.uf2Family, false, v) && v <= 0xFFFFFFFF) {
      o.uf2Family = static_cast<uint32_t>(v);
    } else {
      std::string known;
      for (const uf2FamilyName& family : uf2Families()) known += std::string(known.empty() ? "" : ", ") + family.name;
      return badValue("uf2-family", a.uf2Family, ("not a number or a family: " + known).c_str());
    }
    o.hasUf2Family = true;
  }

  // The options that only some formats read are refused for the others.
  const struct {
    const char* option;
    const char* value;  // as given, or null when not given or the same for every format
    unsigned use;
    const char* without;
  } formatOptions[] = {
      {"name", a.name, useName, "has no name"},
      {"radix", o.radix == 2 ? a.radix : nullptr, useBinary, "writes hex only"},
      {"uf2-family", a.uf2Family, useFamily, "has no family ID"},
  };
  for (const auto& f : formatOptions) {
    if (f.value != nullptr && (o.format->uses & f.use) == 0) {
      return badValue(f.option, f.value, ("the " + std::string(o.format->name) + " format " + f.without).c_str());
    }
  }
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

// Reads an address of --insert: 0x hex or decimal, or sym:NAME or
// sym:NAME+N.
bool parseAddress(std::string_view text, insertAddress& a) {
  if (text.starts_with("sym:")) {
    text.remove_prefix(4);
    const size_t plus = text.find('+');
    a.symbol = std::string(text.substr(0, plus));
    if (a.symbol.empty()) return false;
    if (plus == std::string_view::npos) return true;
    return parseNumber(std::string(text.substr(plus + 1)).c_str(), false, a.value);
  }
  return !text.empty() && parseNumber(std::string(text).c_str(), false, a.value);
}

// Reads KIND@WHERE[,over=FROM..TO][,order=little|big].
result<insertField> parseInsert(const char* text) {
  insertField f;
  f.text = text;
  auto bad = [&](const std::string& why) { return failuref("--insert=%s: %s\n", text, why.c_str()); };
  const std::string_view all(text);
  const size_t at = all.find('@');
  if (at == std::string_view::npos) return bad("not KIND@WHERE[,over=FROM..TO][,order=little|big]");
  result<checksumKind> kind = parseChecksumKind(all.substr(0, at));
  if (!kind) return bad(kind.error().text);
  f.kind = *kind;
  const size_t comma = all.find(',', at);
  if (!parseAddress(all.substr(at + 1, comma == std::string_view::npos ? comma : comma - at - 1), f.where)) {
    return bad("WHERE is an address or sym:NAME[+N]");
  }
  for (size_t next = comma; next != std::string_view::npos;) {
    const size_t end = all.find(',', next + 1);
    const std::string_view item = all.substr(next + 1, end == std::string_view::npos ? end : end - next - 1);
    next = end;
    if (item.starts_with("over=")) {
      const std::string_view range = item.substr(5);
      const size_t dots = range.find("..");
      if (dots == std::string_view::npos || !parseAddress(range.substr(0, dots), f.from) ||
          !parseAddress(range.substr(dots + 2), f.to)) {
        return bad("over= is FROM..TO, each an address or sym:NAME[+N]");
      }
      f.over = true;
    } else if (item == "order=little" || item == "order=big") {
      f.order = item == "order=little" ? ELFDATA2LSB : ELFDATA2MSB;
    } else {
      return bad("not over=FROM..TO or order=little|big: " + std::string(item));
    }
  }
  return f;
}

}  // namespace

result<memoryPlan> checkMemories(const memArgs& a, bool listing) {
  memoryPlan plan{};
  plan.allowUnplaced = a.allowUnplaced != 0;
  // The fields, once the memories are known to be asked for.
  auto fields = [&]() -> status {
    for (const char* text : a.insert) {
      result<insertField> f = parseInsert(text);
      if (!f) return f.error();
      plan.symbols = plan.symbols || !f->where.symbol.empty() || !f->from.symbol.empty() || !f->to.symbol.empty();
      plan.inserts.push_back(std::move(*f));
    }
    return done;
  };
  if (a.memory.empty()) {
    result<memOptions> o = checkMemArgs(a, listing);
    if (!o) return o.error();
    if (o->format != nullptr) plan.memories.push_back(*o);
    if (status s = fields(); !s) return s.error();
    return plan;
  }
  plan.several = true;
  // Each memory has its own region: one given beside them would be lost.
  if (a.region != nullptr) {
    return badValue("region", a.region, "with --memory, each memory's BASE:SIZE is its region");
  }
  if (a.crop != 0) return failure{"--crop: with --memory, every memory takes what lies in it\n"};
  for (const char* spec : a.memory) {
    memArgs m = a;  // every memory starts from the options given beside it
    m.memory.clear();
    const std::string_view all(spec);
    const std::string_view head = all.substr(0, all.find(','));
    const size_t colon = head.find(':');
    if (colon == 0 || colon == std::string_view::npos || head.find(':', colon + 1) == std::string_view::npos) {
      return failuref("--memory=%s: not NAME:BASE:SIZE[,KEY=VALUE...]\n", spec);
    }
    const char* label = plan.text.emplace_back(head.substr(0, colon)).c_str();
    for (const memOptions& earlier : plan.memories) {
      if (strcmp(earlier.label, label) == 0) return failuref("--memory=%s: a second memory of that name\n", spec);
    }
    m.region = plan.text.emplace_back(head.substr(colon + 1)).c_str();
    uint32_t banks = 1;
    for (size_t at = head.size(); at < all.size();) {
      const size_t end = std::min(all.find(',', at + 1), all.size());
      const std::string_view item = all.substr(at + 1, end - at - 1);
      at = end;
      const size_t eq = item.find('=');
      const std::string key(item.substr(0, eq));
      const char* value = plan.text.emplace_back(eq == std::string_view::npos ? "" : item.substr(eq + 1)).c_str();
      if (key == "banks") {
        uint64_t k = 0;
        if (!parseNumber(value, false, k) || k == 0 || k > 65536) {
          return failuref("--memory=%s: banks=%s: not a number of banks: 1 to 65536\n", label, value);
        }
        banks = static_cast<uint32_t>(k);
        continue;
      }
      const longOption* opt = nullptr;
      for (const longOption& o : longOptions()) {
        if (o.perMemory && key == o.name) opt = &o;
      }
      if (opt == nullptr) {
        std::string keys = "banks";
        for (const longOption& o : longOptions()) {
          if (o.perMemory) keys += std::string(", ") + o.name;
        }
        return failuref("--memory=%s: %s: not a key of a memory: %s\n", label, key.c_str(), keys.c_str());
      }
      if (opt->text != nullptr) {
        m.*opt->text = value;
      } else if (strcmp(value, "yes") == 0 || strcmp(value, "no") == 0) {
        m.*opt->flag = strcmp(value, "yes") == 0 ? 1 : 0;
      } else {
        return failuref("--memory=%s: %s=%s: not yes or no\n", label, key.c_str(), value);
      }
    }
    if (m.format == nullptr) return failuref("--memory=%s: no format: give format=FMT or --format=FMT\n", label);
    result<memOptions> o = checkMemArgs(m, listing);
    if (!o) return failure{std::string("--memory=") + label + ": " + o.error().text};
    o->label = label;
    o->banks = banks;
    if (banks > 1 && (o->output == nullptr || strstr(o->output, "%b") == nullptr)) {
      return failuref("--memory=%s: output=%s: needs %%b for the bank number with banks=%u\n", label,
                      o->output != nullptr ? o->output : "-", banks);
    }
    if (banks > 1 && o->header != nullptr && strstr(o->header, "%b") == nullptr) {
      return failuref("--memory=%s: header=%s: needs %%b for the bank number with banks=%u\n", label, o->header,
                      banks);
    }
    plan.memories.push_back(*o);
  }
  const memOptions* onStdout = nullptr;
  for (const memOptions& o : plan.memories) {
    if (o.output != nullptr) continue;
    if (onStdout != nullptr) {
      return failuref("--memory=%s: give output=FILE: --memory=%s takes standard output already\n", o.label,
                      onStdout->label);
    }
    onStdout = &o;
  }
  for (size_t j = 0; j < plan.memories.size(); j++) {
    for (size_t i = 0; i < j; i++) {
      const memOptions& x = plan.memories[i];
      const memOptions& y = plan.memories[j];
      const uint64_t lo = std::max(x.base, y.base), hi = std::min(x.base + x.size, y.base + y.size);
      if (lo < hi) {
        return failuref("--memory=%s and --memory=%s overlap at 0x%08llx..0x%08llx\n", x.label, y.label,
                        static_cast<unsigned long long>(lo), static_cast<unsigned long long>(hi - 1));
      }
    }
  }
  if (status s = fields(); !s) return s.error();
  return plan;
}

namespace {

// `pattern` with every "%d" replaced by the lane number and every "%b" by
// the bank number, each only when there are several.
std::string filePath(const char* pattern, uint32_t lane, uint32_t lanes, uint32_t bank = 0,
                     uint32_t banks = 1) {
  std::string path = pattern;
  for (const auto& [mark, n, count] : {std::tuple{"%d", lane, lanes}, std::tuple{"%b", bank, banks}}) {
    if (count == 1) continue;
    for (size_t at; (at = path.find(mark)) != std::string::npos;) path.replace(at, 2, std::to_string(n));
  }
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

status checkDistinctOutputs(std::span<const memOptions> mems, const runOutputs& run) {
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
  for (const memOptions& o : mems) {
    for (uint32_t bank = 0; bank < o.banks; bank++) {
      for (uint32_t lane = 0; lane < o.lanes; lane++) {
        for (const char* pattern : {o.output, o.header}) {
          if (pattern == nullptr) continue;
          std::string option = std::string(pattern == o.output ? "--output=" : "--header=") + pattern;
          if (o.label != nullptr) option = std::string("--memory=") + o.label + ": " + option.substr(2);
          add(option, filePath(pattern, lane, o.lanes, bank, o.banks), option);
        }
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
  std::string image;
  for (const memOptions& o : mems) {
    if (o.output == nullptr && image.empty()) image = std::string("--format=") + o.format->name;
  }
  const char* writer = run.listing != nullptr ? run.listing : !image.empty() ? image.c_str() : run.reports;
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

namespace {

// A memory placed and checked, ready to be written.
struct placedMemory {
  const memOptions* o;
  placement p;
  uint64_t depth;
  bool little;
};

result<placedMemory> placeMemory(const memOptions& o, const image& img, bool several) {
  const uint32_t wordBytes = o.width / 8;
  placedMemory m{&o, {}, 0, false};
  placement& p = m.p;
  // Several memories each take what lies in them; what lands in none is
  // found afterwards.
  // A memory of a system in which nothing lands is still written.
  const placeRequest req{o.runAddresses, o.hasRegion,          o.base,       o.size, wordBytes,
                         o.quiet || several, o.crop || several, o.overlapLater, several};
  std::string notes;
  const status placed = placeSegments(p, img, req, notes);
  fputs(notes.c_str(), stderr);
  if (!placed) return placed.error();

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
  if (o.format->maxDepth != 0 && depth / o.banks > o.format->maxDepth) {
    return failuref("--format=%s: holds up to %llu words, not %llu\n", o.format->name,
                    static_cast<unsigned long long>(o.format->maxDepth),
                    static_cast<unsigned long long>(depth / o.banks));
  }
  if (depth % o.banks != 0) {
    return failuref("banks=%u does not divide its %llu words\n", o.banks,
                    static_cast<unsigned long long>(depth));
  }
  if (status fit = checkAddressesFit(o, p, depth, img.entry); !fit) return fit.error();
  m.depth = depth;
  m.little = o.byteOrder != 0 ? o.byteOrder == ELFDATA2LSB : img.little;
  return m;
}

unsigned long long ull(uint64_t v) { return v; }

// The stored bytes of the image that land in no memory, one line per range,
// at the addresses of the memories' own kind (load addresses unless every
// memory takes run addresses).
std::string unplaced(const image& img, std::span<const memOptions> mems) {
  const bool allRun = std::all_of(mems.begin(), mems.end(), [](const memOptions& o) { return o.runAddresses; });
  std::string lines;
  for (const segment& seg : img.segments) {
    if (seg.type != PT_LOAD || seg.fileSize == 0) continue;
    std::vector<std::pair<uint64_t, uint64_t>> covered;  // offsets into the stored bytes
    for (const memOptions& o : mems) {
      const uint64_t start = o.runAddresses ? seg.run : seg.load;
      const uint64_t lo = std::max(start, o.base);
      const uint64_t hi = std::min(start + seg.fileSize, o.base + o.size);
      if (lo < hi) covered.emplace_back(lo - start, hi - start);
    }
    std::sort(covered.begin(), covered.end());
    const uint64_t at = allRun ? seg.run : seg.load;
    uint64_t next = 0;  // offsets below it are covered
    auto gap = [&](uint64_t a, uint64_t b) {
      lines += strf("%s: 0x%08llx..0x%08llx lands in no memory\n", origin(img, seg).c_str(), ull(at + a),
                    ull(at + b - 1));
    };
    for (const auto& [a, b] : covered) {
      if (a > next) gap(next, a);
      next = std::max(next, b);
    }
    if (next < seg.fileSize) gap(next, seg.fileSize);
  }
  return lines;
}

}  // namespace

namespace {

// The address `a` stands for in a memory that places bytes at run
// addresses or at load addresses: a symbol's value is its run address, and
// its load address is where the segment holding it is stored.
result<uint64_t> addressOf(const insertAddress& a, const image& img, bool run, const std::string& text) {
  if (a.symbol.empty()) return a.value;
  for (const symbolInfo& sym : img.symbols) {
    if (sym.name != a.symbol) continue;
    uint64_t at = sym.value;
    if (!run) {
      for (const segment& seg : img.segments) {
        if (seg.input == sym.input && sym.value >= seg.run && sym.value - seg.run < std::max(seg.memSize, uint64_t{1})) {
          at = seg.load + (sym.value - seg.run);
          // A load address past the end of the address space is none.
          if (at < seg.load) return failuref("--insert=%s: %s lies past the end of the address space\n", text.c_str(),
                                             a.symbol.c_str());
          break;
        }
      }
    }
    if (!fits(at, a.value, UINT64_MAX)) {
      return failuref("--insert=%s: %s+0x%llx lies past the end of the address space\n", text.c_str(),
                      a.symbol.c_str(), static_cast<unsigned long long>(a.value));
    }
    return at + a.value;
  }
  return failuref("--insert=%s: no ELF input defines the symbol %s\n", text.c_str(), a.symbol.c_str());
}

// The first memory whose words hold the `size` bytes at the address `a`
// stands for in it (set in `at`), or null.
placedMemory* holding(std::vector<placedMemory>& placed, const image& img, const insertAddress& a, uint64_t size,
                      const std::string& text, uint64_t& at) {
  for (placedMemory& m : placed) {
    const result<uint64_t> addr = addressOf(a, img, m.o->runAddresses, text);
    if (!addr) continue;
    const uint64_t end = m.p.base + m.depth * (m.o->width / 8);
    if (*addr >= m.p.base && *addr <= end && size <= end - *addr) {
      at = *addr;
      return &m;
    }
  }
  return nullptr;
}

// Feeds the memory's bytes [a, b) to `sum`: placed bytes as they are, the
// rest as the fill the memory will hold.
void feedRange(checksum& sum, const placedMemory& m, uint64_t a, uint64_t b) {
  m.p.map.walk(
      a, b, m.o->fill, [&](const uint8_t* p, uint64_t n) { sum.feed({p, static_cast<size_t>(n)}); },
      [&](uint8_t byte, uint64_t n) { sum.feedRepeated(byte, n); });
}

// Computes each --insert over its memory and paints the value into it, in
// command-line order, so that a later field covers an earlier one's value.
status storeInserts(const std::vector<insertField>& fields, std::vector<placedMemory>& placed, const image& img,
                    std::deque<std::vector<uint8_t>>& values) {
  std::vector<std::pair<uint64_t, uint64_t>> taken;  // fields stored so far
  for (const insertField& f : fields) {
    const char* text = f.text.c_str();
    const uint64_t width = f.kind.width();
    uint64_t where = 0;
    placedMemory* m = holding(placed, img, f.where, width, f.text, where);
    if (m == nullptr) {
      if (!f.where.symbol.empty()) {
        for (const placedMemory& any : placed) {
          if (result<uint64_t> r = addressOf(f.where, img, any.o->runAddresses, f.text); !r) return r.error();
        }
      }
      return failuref("--insert=%s: its %llu bytes lie in no memory\n", text, static_cast<unsigned long long>(width));
    }
    for (const auto& [lo, hi] : taken) {
      if (where < hi && lo < where + width) {
        return failuref("--insert=%s: overlaps the field at 0x%08llx..0x%08llx\n", text,
                        static_cast<unsigned long long>(lo), static_cast<unsigned long long>(hi - 1));
      }
    }
    uint64_t from = 0, to = 0;  // [from, to)
    if (f.over) {
      const result<uint64_t> a = addressOf(f.from, img, m->o->runAddresses, f.text);
      if (!a) return a.error();
      const result<uint64_t> b = addressOf(f.to, img, m->o->runAddresses, f.text);
      if (!b) return b.error();
      const uint64_t end = m->p.base + m->depth * (m->o->width / 8);
      if (*b < *a) return failuref("--insert=%s: over= ends before it starts\n", text);
      if (*a < m->p.base || *b >= end) {
        return failuref("--insert=%s: over= covers bytes outside the memory holding the field, "
                        "0x%08llx..0x%08llx\n",
                        text, static_cast<unsigned long long>(m->p.base), static_cast<unsigned long long>(end - 1));
      }
      from = *a;
      to = *b + 1;
    } else if (!m->p.map.empty()) {
      // The placed bytes of the memory: from its first to its last.
      const auto& runs = m->p.map.runs();
      from = std::max(runs.begin()->first, m->p.base);
      to = std::min(runs.rbegin()->second.end, m->p.base + m->p.size);
    }
    const bool little = f.order != 0 ? f.order == ELFDATA2LSB : m->little;
    checksum sum(f.kind, little);
    // The field's own bytes are left out of what it covers.
    const uint64_t cut = std::clamp(where, from, to), resume = std::clamp(where + width, from, to);
    feedRange(sum, *m, from, cut);
    feedRange(sum, *m, resume, to);
    if (sum.overflowed()) {
      return failuref("--insert=%s: %llu bytes are more than it can count\n", text,
                      static_cast<unsigned long long>(to - from));
    }
    const uint64_t v = sum.value();
    std::vector<uint8_t>& bytes = values.emplace_back(width);
    for (uint64_t i = 0; i < width; i++) {
      bytes[little ? i : width - 1 - i] = static_cast<uint8_t>(v >> (8 * i));
    }
    placedMemory& target = *m;
    target.p.map.paint(where, where + width, bytes.data(), 0);
    // A field in the memory's padding words makes them part of what the
    // writers read of the runs.
    const uint32_t wordBytes = target.o->width / 8;
    const uint64_t reach = (where + width - target.p.base + wordBytes - 1) / wordBytes * wordBytes;
    target.p.size = std::max(target.p.size, reach);
    taken.emplace_back(where, where + width);
  }
  return done;
}

}  // namespace

status dumpMemImages(const memoryPlan& plan, const image& img) {
  std::vector<placedMemory> placed;
  for (const memOptions& o : plan.memories) {
    result<placedMemory> m = placeMemory(o, img, plan.several);
    if (!m) {
      if (o.label == nullptr) return m.error();
      return failure{std::string("--memory=") + o.label + ": " + m.error().text};
    }
    placed.push_back(std::move(*m));
  }
  if (plan.several && !plan.allowUnplaced) {
    if (std::string lines = unplaced(img, plan.memories); !lines.empty()) return failure{lines};
  }
  // The stored values, which the memories' runs point into.
  std::deque<std::vector<uint8_t>> values;
  if (status s = storeInserts(plan.inserts, placed, img, values); !s) return s;

  // Every file of the run, each memory's banks, each bank's lanes, each
  // lane's image then its header: all names are resolved before the first
  // is written, and all are put in place as one group.
  struct memoryFile {
    placedMemory* m;
    uint32_t bank;
    uint32_t lane;
    bool header;
  };
  std::vector<imageFile> names;
  std::vector<memoryFile> what;
  for (placedMemory& m : placed) {
    const memOptions& o = *m.o;
    for (uint32_t bank = 0; bank < o.banks; bank++) {
      for (uint32_t lane = 0; lane < o.lanes; lane++) {
        for (const bool header : {false, true}) {
          const char* pattern = header ? o.header : o.output;
          if (pattern == nullptr) continue;
          names.push_back(describe(filePath(pattern, lane, o.lanes, bank, o.banks)));
          what.push_back({&m, bank, lane, header});
        }
      }
    }
  }
  std::vector<outFile> files;
  for (const imageFile& f : names) files.push_back(fileFor(f));
  if (status s = resolveFiles(files); !s) return s;

  const uint32_t entry = static_cast<uint32_t>(img.entry);
  // Writes one bank and lane of a memory to `s`.
  auto write = [&](sink& s, placedMemory& m, uint32_t bank, uint32_t lane, bool header) {
    const memOptions& o = *m.o;
    std::string name = o.name;
    if (o.banks > 1) name.append("_b").append(std::to_string(bank));
    if (o.lanes > 1) name.append("_").append(std::to_string(lane));
    if (o.banks == 1) return writeImage(s, o, m.p, m.depth, lane, m.little, entry, name.c_str(), header);
    // A bank is the memory's words [bank * depth / banks, ...): a memory of
    // its own from its first word's address.
    const uint32_t wordBytes = o.width / 8;
    const uint64_t words = m.depth / o.banks;
    const uint64_t skip = uint64_t{bank} * words * wordBytes;
    // The bank borrows the memory's runs while it is written.
    placement part;
    part.map = std::move(m.p.map);
    part.base = m.p.base + skip;
    part.size = m.p.size > skip ? std::min(m.p.size - skip, words * wordBytes) : 0;
    const bool wrote = writeImage(s, o, part, words, lane, m.little, entry, name.c_str(), header);
    m.p.map = std::move(part.map);
    return wrote;
  };
  for (placedMemory& m : placed) {
    if (m.o->output != nullptr) continue;
    for (uint32_t lane = 0; lane < m.o->lanes; lane++) {
      sink s{stdout, 0, true};
      if (!write(s, m, 0, lane, false)) return failure{"Unable to write standard output\n"};
    }
  }
  for (size_t i = 0; i < files.size(); i++) {
    result<FILE*> f = createFile(files[i]);
    if (!f) return f.error();
    sink s{*f, 0, true};
    const bool wrote = write(s, *what[i].m, what[i].bank, what[i].lane, what[i].header);
    if (status c = closeFile(files[i], wrote); !c) return c;
  }
  return replaceFiles(files);
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
           name, o.header, o.radix, o.uf2Family, o.hasUf2Family, o.sparse, o.rebased, o.rebase, o.recordBytes, o.srecS3, hasStart},
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
