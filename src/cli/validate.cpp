// The checks of the memory-image options.
#include "cli/validate.hpp"

#include <elf.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "core/bytes.hpp"
#include "core/numbers.hpp"
#include "fields/checksum.hpp"
#include "fields/fields.hpp"
#include "formats/identifiers.hpp"
#include "formats/registry.hpp"
#include "patch/seed.hpp"

namespace romwright {

namespace {

// ---- Option values ----------------------------------------------------------

Error badValue(const char* option, const char* value, const char* why) {
  return errorf(ErrorKind::bad_argument, std::string("--") + option, "--%s=%s: %s\n", option, value, why);
}

// A number past the limit every number has, which is refused as too large
// whatever else the option asks of its value.
bool tooLarge(const char* text, bool scaled = false) {
  uint64_t v = 0;
  return readNumber(text, scaled, v) == numberRead::tooLarge;
}

// ---- Placeholders and --patch ----------------------------------------------

// The placeholder options given without --patch or a format that writes
// placeholders, which nothing would read.
status placeholderOptionsAlone(const memArgs& a) {
  if (a.seed != nullptr) return badValue("seed", a.seed, "only with --format=ice40-seed or --patch");
  if (a.placeholder != nullptr) return badValue("placeholder", a.placeholder, "only with --patch");
  if (a.copies != nullptr) return badValue("copies", a.copies, "only with --patch");
  return done;
}

// The placeholder options of a memory that writes or is patched with its
// placeholder: the seed, and for a patched memory its placeholder file and
// copies; such a memory needs its size given, as the placeholder depends
// on it.
status checkPlaceholderOptions(const memArgs& a, memOptions& o) {
  if (a.seed != nullptr) {
    const numberRead read = readNumber(a.seed, false, o.seed, ~uint64_t{0});
    if (read == numberRead::tooLarge) return badValue("seed", a.seed, "too large");
    if (read != numberRead::ok) return badValue("seed", a.seed, "not a number");
  }
  if (!o.patched) {
    if (a.copies != nullptr && a.patch == nullptr) return badValue("copies", a.copies, "only with --patch");
    if (a.placeholder != nullptr) {
      return badValue("placeholder", a.placeholder,
                      a.patch == nullptr ? "only with --patch"
                                         : "a memory with a format of its own writes its image and is not patched");
    }
  } else {
    if (a.copies != nullptr) {
      uint64_t v = 0;
      if (tooLarge(a.copies)) return badValue("copies", a.copies, "too large");
      if (!parseNumber(a.copies, false, v) || v == 0 || v > 64) {
        return badValue("copies", a.copies, "not a number of copies: 1 to 64");
      }
      o.copies = static_cast<uint32_t>(v);
    }
    if (a.placeholder != nullptr) {
      if (a.placeholder[0] == '\0') return badValue("placeholder", a.placeholder, "an empty file name");
      if (o.lanes > 1 && strstr(a.placeholder, "%d") == nullptr) {
        return badValue("placeholder", a.placeholder, "needs %d for the lane number with --lanes");
      }
      o.placeholder = a.placeholder;
    }
  }
  if (!o.hasRegion && a.depth == nullptr) {
    const std::string what = o.patched ? std::string("--patch=") + a.patch : std::string("--format=") + a.format;
    return failuref("%s: give the memory's size: --region=BASE:SIZE or --depth=WORDS\n", what.c_str());
  }
  return done;
}

// The rest of the checks of a memory that is only patched: the options of
// an image are refused, as it has none.
Result<memOptions> checkPatched(const memArgs& a, memOptions& o) {
  const struct {
    const char* option;
    const char* value;
  } imageOnly[] = {{"header", a.header},        {"radix", a.radix},         {"uf2-family", a.uf2Family},
                   {"rebase", a.rebase},        {"record-bytes", a.recordBytes}, {"line-ending", a.lineEnding},
                   {"srec-header", a.srecHeader}, {"dfu-vid", a.dfuVid},     {"dfu-pid", a.dfuPid},
                   {"dfu-bcd", a.dfuBcd}};
  const char* why = "a patched memory has no image of its own (with --memory, format=FMT gives one)";
  for (const auto& opt : imageOnly) {
    if (opt.value != nullptr) return badValue(opt.option, opt.value, why);
  }
  if (a.sparse != 0) return failuref("--sparse: %s\n", why);
  if (a.srecS3 != 0) return failuref("--srec-s3: %s\n", why);
  if (a.dense != 0) return failuref("--dense: %s\n", why);
  o.crop = a.crop != 0;
  o.empty = a.empty != 0;
  if (o.crop && !o.hasRegion) return Error{"--crop: needs --region=BASE:SIZE to cut at\n"};
  o.quiet = a.quiet != 0;
  o.name = a.name != nullptr ? a.name : "rom_image";
  if (*o.name == '\0') return badValue("name", o.name, "an empty name");
  if (status s = checkPlaceholderOptions(a, o); !s) return s.error();
  return o;
}

// Each lane of each bank of a memory that writes or is patched with its
// placeholder is a memory of its own, whose placeholder must be possible.
status checkPlaceholderShape(const memOptions& o) {
  if (!o.patched && (o.format == nullptr || !o.format->placeholder)) return done;
  const uint64_t depth = o.depth != 0 ? o.depth : o.size / (o.width / 8);
  // A bank count that does not divide the depth is refused once placed.
  if (depth % o.banks != 0) return done;
  return checkSeedShape(o.width / o.lanes, depth / o.banks);
}

}  // namespace

bool standardOutputName(const char* name) {
  for (const char* same : {"-", "/dev/stdout", "/dev/fd/1", "/proc/self/fd/1"}) {
    if (strcmp(name, same) == 0) return true;
  }
  return false;
}

Result<unsigned> checkLockTimeout(const memArgs& a) {
  if (a.lockTimeout == nullptr) return 30u;
  uint64_t v = 0;
  const numberRead read = readNumber(a.lockTimeout, false, v);
  if (read == numberRead::tooLarge) return badValue("lock-timeout", a.lockTimeout, "too large");
  if (read != numberRead::ok || v > maxLockTimeout) {
    return badValue("lock-timeout", a.lockTimeout, "not a number of seconds: 0 to 86400");
  }
  return static_cast<unsigned>(v);
}

Result<memOptions> checkMemArgs(const memArgs& a, bool listing) {
  memOptions o{};
  if (a.format == nullptr && a.patch == nullptr) {
    for (const optionRow& opt : options()) {
      if (!opt.needsFormat) continue;
      const char* value = opt.text != nullptr                             ? a.*opt.text
                          : opt.list != nullptr && !(a.*opt.list).empty() ? (a.*opt.list)[0]
                          : opt.flag != nullptr && a.*opt.flag != 0       ? ""
                                                                          : nullptr;
      if (value == nullptr) continue;
      if (opt.flag != nullptr) return failuref("--%s: only with --format\n", opt.name);
      return badValue(opt.name, value, "only with --format");
    }
    if (status s = placeholderOptionsAlone(a); !s) return s.error();
    return o;
  }

  o.banks = 1;
  // In a --patch run a memory without a format of its own is patched: it
  // has no image, and its shape is its options'.
  o.patched = a.format == nullptr;
  o.format = o.patched ? nullptr : findFormat(a.format);
  if (!o.patched && o.format == nullptr) {
    std::string known;
    for (const memFormat& f : memFormats()) known += std::string(known.empty() ? "" : ", ") + f.name;
    return badValue("format", a.format, ("not a format: " + known).c_str());
  }

  uint64_t v = 32;
  if (a.width != nullptr && tooLarge(a.width)) return badValue("width", a.width, "too large");
  if (a.width != nullptr && (!parseNumber(a.width, false, v) || v < 8 || v > 1024 || v % 8 != 0)) {
    return badValue("width", a.width, "not a word width: a multiple of 8 from 8 to 1024");
  }
  // A format of bytes keeps the placed span to the byte unless an option
  // asks for whole words.
  if (o.format != nullptr && o.format->byteSpan && a.width == nullptr && a.depth == nullptr && a.region == nullptr &&
      a.lanes == nullptr) {
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
    // Any 64-bit base; a size of up to 2^40 bytes.
    const numberRead baseRead = colon == nullptr ? numberRead::malformed
                                                 : readNumber(baseText.c_str(), false, base, UINT64_MAX);
    const numberRead sizeRead = colon == nullptr ? numberRead::malformed : readNumber(colon + 1, true, size);
    if (baseRead == numberRead::malformed || sizeRead == numberRead::malformed) {
      return badValue("region", a.region, "not BASE:SIZE");
    }
    if (baseRead == numberRead::tooLarge || sizeRead == numberRead::tooLarge) {
      return badValue("region", a.region, "too large");
    }
    if (size == 0) return badValue("region", a.region, "a region of no bytes");
    // In whole words, it may end at 2^64, not past it.
    const uint64_t words = (size + wordBytes - 1) / wordBytes * wordBytes;
    if (words - 1 > UINT64_MAX - base) {
      return badValue("region", a.region, "passes the end of the 64-bit address space");
    }
    if (base % wordBytes != 0) {
      return badValue("region", a.region,
               ("the base is not a multiple of the " + std::to_string(wordBytes) + "-byte word").c_str());
    }
    o.hasRegion = true;
    o.base = base;
    o.size = words;
  }

  if (a.depth != nullptr) {
    const numberRead read = readNumber(a.depth, true, o.depth);
    if (read == numberRead::malformed) return badValue("depth", a.depth, "not a number of words");
    if (read == numberRead::tooLarge) return badValue("depth", a.depth, "too large");
    if (o.depth == 0) return badValue("depth", a.depth, "a memory of no words");
    if (o.depth * wordBytes - 1 > UINT64_MAX - (o.hasRegion ? o.base : 0)) {
      return badValue("depth", a.depth, "passes the end of the 64-bit address space");
    }
  }

  if (a.fill != nullptr) {
    if (tooLarge(a.fill)) return badValue("fill", a.fill, "too large");
    if (!parseNumber(a.fill, false, v) || v > 0xFF) return badValue("fill", a.fill, "not a byte: 0 to 0xff");
    o.fill = static_cast<uint8_t>(v);
  }

  o.lanes = 1;
  if (a.lanes != nullptr) {
    if (tooLarge(a.lanes)) return badValue("lanes", a.lanes, "too large");
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
  if (o.patched) return checkPatched(a, o);
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
  o.output = a.output != nullptr && !standardOutputName(a.output) ? a.output : nullptr;
  // A run that verifies writes no file: its lanes need no names.
  if (o.lanes > 1 && a.verify == nullptr && (o.output == nullptr || strstr(o.output, "%d") == nullptr)) {
    return badValue("output", a.output != nullptr ? a.output : "-",
             "needs %d for the lane number with --lanes");
  }
  if (o.output == nullptr && listing) {
    if (a.output != nullptr && strcmp(a.output, "-") != 0) {
      return badValue("output", a.output, (std::string(a.output) + " is standard output, which -H writes").c_str());
    }
    return badValue("format", a.format, "-H writes to standard output already: give --output=FILE");
  }

  o.crop = a.crop != 0;
  if (o.crop && !o.hasRegion) return Error{"--crop: needs --region=BASE:SIZE to cut at\n"};
  o.quiet = a.quiet != 0;

  o.name = a.name != nullptr ? a.name : "rom_image";
  if (o.format->placeholder) {
    // A placeholder's name is only a name: the design's memory is called
    // anything.
    if (*o.name == '\0') return badValue("name", o.name, "an empty name");
    if (status s = checkPlaceholderOptions(a, o); !s) return s.error();
  } else {
    if (const char* why = nameProblem(o.name)) return badValue("name", o.name, why);
    if (a.seed != nullptr && a.patch == nullptr) {
      return badValue("seed", a.seed, ("the " + std::string(o.format->name) + " format writes no placeholder").c_str());
    }
    if (a.copies != nullptr && a.patch == nullptr) return badValue("copies", a.copies, "only with --patch");
    if (a.placeholder != nullptr) {
      return badValue("placeholder", a.placeholder,
                      a.patch == nullptr ? "only with --patch"
                                         : "a memory with a format of its own writes its image and is not patched");
    }
  }

  o.radix = 16;
  if (a.radix != nullptr) {
    if (tooLarge(a.radix)) return badValue("radix", a.radix, "too large");
    if (!parseNumber(a.radix, false, v) || (v != 2 && v != 16)) return badValue("radix", a.radix, "not 2 or 16");
    o.radix = static_cast<uint32_t>(v);
  }
  if (a.uf2Family != nullptr) {
    if (const uf2FamilyName* f = findUf2Family(a.uf2Family)) {
      o.uf2Family = f->id;
    } else if (tooLarge(a.uf2Family)) {
      return badValue("uf2-family", a.uf2Family, "too large");
    } else if (parseNumber(a.uf2Family, false, v) && v <= 0xFFFFFFFF) {
      o.uf2Family = static_cast<uint32_t>(v);
    } else {
      std::string known;
      for (const uf2FamilyName& family : uf2Families()) known += std::string(known.empty() ? "" : ", ") + family.name;
      return badValue("uf2-family", a.uf2Family, ("not a number or a family: " + known).c_str());
    }
    o.hasUf2Family = true;
  }

  if (a.lineEnding != nullptr) {
    o.crlf = strcmp(a.lineEnding, "crlf") == 0;
    if (!o.crlf && strcmp(a.lineEnding, "lf") != 0) return badValue("line-ending", a.lineEnding, "not lf or crlf");
  }
  if (a.srecHeader != nullptr) {
    // The count byte of an S0 record covers its 2 address bytes, the text
    // and the checksum.
    if (strlen(a.srecHeader) > 252) return badValue("srec-header", a.srecHeader, "longer than the 252 bytes of an S0 record");
    o.srecHeader = a.srecHeader;
  }
  const struct {
    const char* option;
    const char* value;
    uint16_t memOptions::*field;
  } dfuIds[] = {{"dfu-vid", a.dfuVid, &memOptions::dfuVid},
                {"dfu-pid", a.dfuPid, &memOptions::dfuPid},
                {"dfu-bcd", a.dfuBcd, &memOptions::dfuBcd}};
  for (const auto& id : dfuIds) {
    if (id.value == nullptr) continue;
    if (tooLarge(id.value)) return badValue(id.option, id.value, "too large");
    if (!parseNumber(id.value, false, v) || v > 0xFFFF) return badValue(id.option, id.value, "not a number: 0 to 0xffff");
    o.*id.field = static_cast<uint16_t>(v);
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
      {"line-ending", o.crlf ? a.lineEnding : nullptr, useLines, "writes no lines"},
      {"srec-header", a.srecHeader, useS0, "has no S0 record"},
      {"dfu-vid", a.dfuVid, useDfu, "has no DFU suffix"},
      {"dfu-pid", a.dfuPid, useDfu, "has no DFU suffix"},
      {"dfu-bcd", a.dfuBcd, useDfu, "has no DFU suffix"},
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

  // The formats of bytes at addresses (Intel HEX, S-records, TI-TXT, DfuSe)
  // hold only the placed bytes unless a fill or --dense is asked for; UF2
  // only the pages that hold them unless --dense is; vmem only with
  // --sparse.
  const std::string fmt = o.format->name;
  const bool dense = a.dense != 0;
  o.sparse = !dense && (a.sparse != 0 || o.format->sparseAlways || (o.format->addresses && a.fill == nullptr));
  if (a.sparse != 0 && !o.format->sparse) {
    return failuref("--sparse: the %s format writes every word\n", o.format->name);
  }
  if (dense && !o.format->sparse) return failuref("--dense: the %s format writes every word already\n", o.format->name);
  if (dense && a.sparse != 0) return Error{"--dense: not with --sparse\n"};
  if (a.rebase != nullptr) {
    if (tooLarge(a.rebase)) return badValue("rebase", a.rebase, "too large");
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
    if (tooLarge(a.recordBytes)) return badValue("record-bytes", a.recordBytes, "too large");
    if (!parseNumber(a.recordBytes, false, v) || v == 0 || v > 255) {
      return badValue("record-bytes", a.recordBytes, "not a number of bytes: 1 to 255");
    }
    if ((o.format->uses & useRecords) == 0) {
      return badValue("record-bytes", a.recordBytes, ("the " + fmt + " format writes no data records").c_str());
    }
    o.recordBytes = static_cast<uint32_t>(v);
  }
  o.srecS3 = a.srecS3 != 0;
  if (o.srecS3 && (o.format->uses & useS3) == 0) return failuref("--srec-s3: only with --format=srec\n");
  o.empty = a.empty != 0;
  return o;
}

namespace {

// --start and --no-start into the plan.
status checkStart(const memArgs& a, memoryPlan& plan) {
  if (a.noStart != 0) {
    if (a.start != nullptr) return badValue("start", a.start, "and --no-start: give one of them");
    plan.start = memoryPlan::startFrom::none;
    return done;
  }
  if (a.start == nullptr) return done;
  plan.start = memoryPlan::startFrom::given;
  const std::string_view text(a.start);
  if (text.starts_with("sym:")) {
    plan.startSymbol = text.substr(4);
    if (plan.startSymbol.empty()) return badValue("start", a.start, "not an address or sym:NAME");
    plan.symbols = true;
    return done;
  }
  switch (readNumber(a.start, false, plan.startAddress, UINT64_MAX)) {
    case numberRead::ok: return done;
    case numberRead::tooLarge: return badValue("start", a.start, "too large");
    case numberRead::malformed: break;
  }
  return badValue("start", a.start, "not an address or sym:NAME");
}

// --map, --map-format, --verify and --verify-ignore into the plan, once the
// memories are known. A run that verifies writes nothing: the files the
// options name (the images, the map, the digest) are what a build of the
// same command line writes, and are left alone.
status checkMapAndVerify(const memArgs& a, memoryPlan& plan) {
  if (a.mapFormat != nullptr) {
    plan.mapJson = strcmp(a.mapFormat, "json") == 0;
    if (!plan.mapJson && strcmp(a.mapFormat, "text") != 0) return badValue("map-format", a.mapFormat, "not text or json");
    if (a.map == nullptr) return badValue("map-format", a.mapFormat, "needs --map=FILE");
  }
  if (a.map != nullptr) {
    if (a.map[0] == '\0') return badValue("map", a.map, "an empty file name");
    if (a.verify == nullptr && strcmp(a.map, "-") == 0) {
      for (const memOptions& o : plan.memories) {
        if (o.output != nullptr) continue;
        return badValue("map", a.map,
                        o.label != nullptr
                            ? strf("--memory=%s writes to standard output already: give it output=FILE", o.label).c_str()
                            : "the image goes to standard output already: give --output=FILE or --map=FILE");
      }
    }
  }
  if (a.verify == nullptr) {
    if (!a.verifyIgnore.empty()) return badValue("verify-ignore", a.verifyIgnore[0], "only with --verify=DUMP");
    if (a.map != nullptr) {
      plan.map = a.map;
      plan.symbols = true;  // the map lists them
    }
    return done;
  }
  if (a.verify[0] == '\0') return badValue("verify", a.verify, "an empty file name");
  plan.verify = a.verify;
  plan.digestOut = nullptr;
  for (const char* text : a.verifyIgnore) {
    const std::string_view range(text);
    const size_t dots = range.find("..");
    uint64_t first = 0, last = 0;
    const numberRead from = dots == std::string_view::npos
                                ? numberRead::malformed
                                : readNumber(std::string(range.substr(0, dots)).c_str(), false, first, UINT64_MAX);
    const numberRead to = dots == std::string_view::npos
                              ? numberRead::malformed
                              : readNumber(std::string(range.substr(dots + 2)).c_str(), false, last, UINT64_MAX);
    if (from == numberRead::malformed || to == numberRead::malformed) {
      return badValue("verify-ignore", text, "not FROM..TO: two addresses, TO included");
    }
    if (from == numberRead::tooLarge || to == numberRead::tooLarge) return badValue("verify-ignore", text, "too large");
    if (last < first) return badValue("verify-ignore", text, "TO is below FROM");
    plan.verifyIgnore.emplace_back(first, last);
  }
  return done;
}

// The design of --patch and where the patched design goes: --output,
// which is then no memory's. A memory's own image needs its format=
// and output= keys of --memory, so --format is refused beside --patch.
status checkPatchRun(const memArgs& a, bool listing, memoryPlan& plan) {
  if (a.patch == nullptr) return done;
  if (a.patch[0] == '\0') return badValue("patch", a.patch, "an empty file name");
  if (a.format != nullptr) {
    return badValue("format", a.format,
                    "with --patch, --output is the patched design: write a memory's image with "
                    "--memory=NAME:BASE:SIZE,format=FMT,output=FILE");
  }
  if (a.output == nullptr) return failuref("--patch=%s: give --output=FILE for the patched design\n", a.patch);
  if (a.output[0] == '\0') return badValue("output", a.output, "an empty file name");
  plan.patch.design = a.patch;
  plan.patch.output = !standardOutputName(a.output) ? a.output : nullptr;
  if (plan.patch.output == nullptr && listing) {
    return badValue("output", a.output, "-H writes to standard output already: give --output=FILE");
  }
  plan.patch.verbose = a.verbose != 0;
  return done;
}

Result<memoryPlan> checkPlan(const memArgs& a, bool listing) {
  memoryPlan plan{};
  plan.allowUnplaced = a.allowUnplaced != 0;
  plan.wholeSegments = a.wholeSegments != 0;
  plan.verbose = a.verbose != 0;
  if (a.format != nullptr || !a.memory.empty()) {
    if (status s = checkStart(a, plan); !s) return s.error();
  }
  // The fields, once the memories are known to be asked for.
  auto fields = [&]() -> status {
    for (const char* text : a.insert) {
      Result<insertField> f = parseInsert(text);
      if (!f) return f.error();
      plan.symbols = plan.symbols || f->usesSymbols();
      plan.inserts.push_back(std::move(*f));
    }
    if (a.digestOut != nullptr) {
      size_t digests = 0;
      for (const insertField& f : plan.inserts) digests += f.kind.what == fieldKind::type::digest ? 1 : 0;
      if (digests != 1) {
        return badValue("digest-out", a.digestOut,
                        digests == 0 ? "no --insert stores a digest (sha256@WHERE, ...) to write"
                                     : "more than one --insert stores a digest; it writes the one");
      }
      plan.digestOut = a.digestOut;
    }
    return checkMapAndVerify(a, plan);
  };
  if (status s = checkPatchRun(a, listing, plan); !s) return s.error();
  if (a.memory.empty()) {
    memArgs one = a;
    if (a.patch != nullptr) one.output = nullptr;  // the patched design's
    Result<memOptions> o = checkMemArgs(one, listing);
    if (!o) return o.error();
    if (status s = checkPlaceholderShape(*o); !s) {
      return Error{"memory " + std::string(o->name) + ": " + s.error().message};
    }
    if (o->format != nullptr || o->patched) plan.memories.push_back(*o);
    if (status s = fields(); !s) return s.error();
    return plan;
  }
  plan.several = true;
  // Each memory has its own region: one given beside them would be lost.
  if (a.region != nullptr) {
    return badValue("region", a.region, "with --memory, each memory's BASE:SIZE is its region");
  }
  if (a.crop != 0) return Error{"--crop: with --memory, every memory takes what lies in it\n"};
  if (a.placeholder != nullptr) {
    return badValue("placeholder", a.placeholder, "with --memory, give each memory its placeholder=FILE");
  }
  for (const char* spec : a.memory) {
    memArgs m = a;  // every memory starts from the options given beside it
    m.memory.clear();
    if (a.patch != nullptr) m.output = nullptr;  // the patched design's
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
      const bool bare = eq == std::string_view::npos;  // a flag's name alone says yes
      const std::string key(item.substr(0, eq));
      const char* value = plan.text.emplace_back(bare ? "" : item.substr(eq + 1)).c_str();
      if (key == "banks") {
        uint64_t k = 0;
        if (tooLarge(value)) return failuref("--memory=%s: banks=%s: too large\n", label, value);
        if (!parseNumber(value, false, k) || k == 0 || k > 65536) {
          return failuref("--memory=%s: banks=%s: not a number of banks: 1 to 65536\n", label, value);
        }
        banks = static_cast<uint32_t>(k);
        continue;
      }
      const optionRow* opt = nullptr;
      for (const optionRow& o : options()) {
        if (o.perMemory && key == o.name) opt = &o;
      }
      if (opt == nullptr) {
        std::string keys;
        for (const char* k : memoryOnlyKeys()) keys += std::string(keys.empty() ? "" : ", ") + k;
        for (const optionRow& o : options()) {
          if (o.perMemory) keys += std::string(", ") + o.name;
        }
        return failuref("--memory=%s: %s: not a key of a memory: %s\n", label, key.c_str(), keys.c_str());
      }
      if (opt->text != nullptr) {
        m.*opt->text = value;
      } else if (bare || strcmp(value, "yes") == 0 || strcmp(value, "no") == 0) {
        m.*opt->flag = bare || strcmp(value, "yes") == 0 ? 1 : 0;
      } else {
        return failuref("--memory=%s: %s=%s: not yes or no\n", label, key.c_str(), value);
      }
    }
    if (m.format == nullptr && m.patch == nullptr) {
      return failuref("--memory=%s: no format: give format=FMT or --format=FMT\n", label);
    }
    Result<memOptions> o = checkMemArgs(m, listing);
    if (!o) return Error{std::string("--memory=") + label + ": " + o.error().message};
    o->label = label;
    o->banks = banks;
    // A placeholder is the memory's NAME's unless a name is given.
    const bool placeholder = o->patched || o->format->placeholder;
    if (placeholder && m.name == nullptr) o->name = label;
    if (status s = checkPlaceholderShape(*o); !s) {
      return Error{std::string("--memory=") + label + ": " + s.error().message};
    }
    if (banks > 1 && o->placeholder != nullptr && strstr(o->placeholder, "%b") == nullptr) {
      return failuref("--memory=%s: placeholder=%s: needs %%b for the bank number with banks=%u\n", label,
                      o->placeholder, banks);
    }
    if (banks > 1 && !o->patched && a.verify == nullptr && (o->output == nullptr || strstr(o->output, "%b") == nullptr)) {
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
    if (o.output != nullptr || o.patched || a.verify != nullptr) continue;
    if (plan.patch.design != nullptr && plan.patch.output == nullptr) {
      return failuref("--memory=%s: give output=FILE: --patch writes the patched design to standard output\n",
                      o.label);
    }
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
      // Each region's last address: one may end at 2^64.
      const uint64_t lo = std::max(x.base, y.base), hi = std::min(x.base + (x.size - 1), y.base + (y.size - 1));
      if (lo <= hi) {
        return failuref("--memory=%s and --memory=%s overlap at 0x%08llx..0x%08llx\n", x.label, y.label,
                        static_cast<unsigned long long>(lo), static_cast<unsigned long long>(hi));
      }
    }
  }
  if (plan.patch.design != nullptr &&
      std::none_of(plan.memories.begin(), plan.memories.end(), [](const memOptions& o) { return o.patched; })) {
    return failuref("--patch=%s: no memory to patch: every --memory has a format of its own\n", a.patch);
  }
  if (status s = fields(); !s) return s.error();
  return plan;
}

}  // namespace

Result<memoryPlan> checkMemories(const memArgs& a, bool listing) {
  Result<memoryPlan> plan = checkPlan(a, listing);
  if (!plan) return withKind(std::move(plan.error()), ErrorKind::bad_argument);
  return plan;
}

std::span<const char* const> memoryOnlyKeys() {
  static constexpr const char* keys[] = {"banks"};
  return keys;
}

}  // namespace romwright
