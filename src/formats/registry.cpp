// The table of formats: what each is called, which function writes it, and
// what it can hold and do.
#include "formats/registry.hpp"

#include <strings.h>

#include <cstring>

#include "formats/text.hpp"
#include "formats/writers.hpp"
#include "patch/seed.hpp"

namespace romwright {

namespace {

using namespace formats;

constexpr uint64_t noLimit = 0;
constexpr rebasing never = rebasing::never, always = rebasing::always, whenSparse = rebasing::whenSparse;

constexpr unsigned text = useLines;  // every format of text lines

// name, writer, header, memory order, narrowest, widest, deepest, 32-bit
// addresses, options read, byte span, sparse, rebase, highest address,
// sparse whatever the fill, 32-bit block addresses, placeholder.
constexpr memFormat table[] = {
    {"vmem", writeVmem, nullptr, false, 1, 1024, noLimit, false, text | useBinary, false, true, whenSparse},
    {"bin", writeBin, nullptr, true, 8, 1024, noLimit, false, 0, true, false, never},
    {"coe", writeCoe, nullptr, false, 1, 1024, noLimit, false, text, false, false, never},
    {"mif", writeMif, nullptr, false, 1, 1024, noLimit, false, text, false, false, always},
    {"ihex", writeIhex, nullptr, true, 8, 1024, noLimit, true, text | useRecords | useStart, false, true, always,
     recordsHighestAddress},
    {"ihex-words", writeIhexWords, nullptr, false, 8, 1024, noLimit, false, text, false, false, always},
    {"srec", writeSrec, nullptr, true, 8, 1024, noLimit, true, text | useRecords | useS3 | useS0 | useStart, false,
     true, always, recordsHighestAddress},
    {"lattice-mem", writeLatticeMem, nullptr, false, 1, 256, 65536, false, text | useBinary, false, false, never},
    {"updatemem", writeUpdatemem, nullptr, false, 8, 1024, noLimit, false, text, false, true, never},
    {"gowin-mi", writeGowinMi, nullptr, false, 1, 1024, noLimit, false, text | useBinary, false, false, never},
    {"uf2", writeUf2, nullptr, true, 8, 1024, noLimit, false, useFamily, false, true, never, nullptr, true, true},
    // A VHDL natural is only sure to reach 2^31 - 1.
    {"vhdl", writeVhdl, nullptr, false, 1, 1024, 0x7fffffff, false, text | useName, false, false, never},
    // NAME_words is a uint32_t.
    {"c", writeC, writeCHeader, false, 8, 64, 0xffffffff, false, text | useName, false, false, never},
    {"dfu", writeDfu, nullptr, true, 8, 1024, noLimit, false, useDfu, true, false, never},
    {"dfuse", writeDfuse, nullptr, true, 8, 1024, noLimit, true, useDfu, false, true, never, dataHighestAddress},
    {"ti-txt", writeTiTxt, nullptr, true, 8, 1024, noLimit, true, text | useRecords, false, true, always,
     dataHighestAddress},
    // The placeholder of a memory an iCE40 design is built with, for --patch.
    {"ice40-seed", writeIce40Seed, nullptr, false, 3, 64, maxSeedDepth, false, text | useName, false, false, never,
     nullptr, false, false, true},
};

// The IDs that the UF2 bootloaders of these chips check.
constexpr uf2FamilyName families[] = {
    {"rp2040", 0xe48bff56},      {"rp2350-arm-s", 0xe48bff59}, {"rp2350-arm-ns", 0xe48bff5b},
    {"rp2350-riscv", 0xe48bff5a}, {"rp2xxx-absolute", 0xe48bff57}, {"rp2xxx-data", 0xe48bff58},
    {"samd21", 0x68ed2b88},      {"samd51", 0x55114460},       {"nrf52840", 0xada52840},
    {"nrf52", 0x1b57745f},       {"stm32f4", 0x57755a57},      {"stm32f407", 0x6d0922fa},
    {"stm32f411xe", 0x2dc309c5}, {"stm32f411xc", 0x06d1097b},  {"esp32", 0x1c5f21b0},
    {"esp32s2", 0xbfdd4eee},     {"esp32s3", 0xc47e5767},
};

}  // namespace

std::span<const memFormat> memFormats() { return table; }

const memFormat* findFormat(const char* name) {
  for (const memFormat& f : table) {
    if (strcmp(f.name, name) == 0) return &f;
  }
  return nullptr;
}

uint64_t highestWordAddress(const memFormat& f, const memLayout& m, const wordReader& r) {
  const uint64_t origin = m.rebased ? m.rebase : 0;
  if (f.rebase == rebasing::whenSparse && m.sparse) {
    const std::vector<stretch> placed = placedStretches(r, r.wordBytes, m.depth, true);
    return placed.empty() ? origin : origin + placed.back().end - 1;
  }
  return origin + (m.depth > 0 ? m.depth - 1 : 0);
}

const char* rebaseProblem(const memFormat& f, bool sparse) {
  switch (f.rebase) {
    case rebasing::always: return nullptr;
    case rebasing::whenSparse: return sparse ? nullptr : "writes no addresses without --sparse";
    case rebasing::never: break;
  }
  return "writes no addresses";
}

std::span<const uf2FamilyName> uf2Families() { return families; }

const uf2FamilyName* findUf2Family(const char* name) {
  for (const uf2FamilyName& f : families) {
    if (strcasecmp(f.name, name) == 0) return &f;
  }
  return nullptr;
}

}  // namespace romwright
