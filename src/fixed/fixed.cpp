// The fixed outputs: the hex word listing, the C source ROM files and the
// raw ROM image, each from the text image of a 32-bit executable.
#include "fixed/fixed.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "core/bytes.hpp"
#include "core/hex.hpp"
#include "out/files.hpp"
#include "core/sink.hpp"

namespace romwright {

namespace {

constexpr size_t lineLen = 9;  // "%08x\n"
constexpr char zeroLine[] = "00000000\n";

}  // namespace

std::string boot_warning(uint32_t textAddr, uint32_t entryAddr) {
  return strf(
          "This elf file has a text address of 0x%08x, entry 0x%08x\n"
          "If the file is intended to be a bootable image, this can\n"
          "cause problems, because pravunet will convert the entire\n"
          "text segment to hex, and the entry point will not be at\n"
          "the start of the booted file.   You can correct this by\n"
          "using a linker script to force the text segment and the\n"
          "entry point to the same address.\n",
          textAddr, entryAddr);
}

const char* refusal(const elfImage& img) {
  if (img.textLen == 0) return "No text segment!\n";
  if (img.dataLen != 0) return "Has a data segment!\n";
  return nullptr;
}

uint32_t hexTarget(uint32_t extent, uint32_t textAddr) {
  return textAddr < extent ? (extent - textAddr) / 4 : extent;
}

namespace {

// The bytes of a span as a source, for callers that hold them whole.
struct spanSource {
  byteMap map;
  byteSource source;
  explicit spanSource(std::span<const uint8_t> bytes) : source{&map, 0, bytes.size()} {
    map.paint(0, bytes.size(), bytes.data(), 0);
  }
};

// The text is read in blocks of this many bytes at most: a multiple of 4
// (a listing word) and of 13 (a row of the C array), near 1 MiB.
constexpr size_t textBlock = 4 * 13 * 20165;

}  // namespace

bool dumpHData(FILE* f, const byteSource& bytes, uint32_t t) {
  // Four hex digits for every pair of bytes: two look-ups a word.
  const char(*pairs)[4] = hexPairs();
  sink s(f);
  std::vector<uint8_t> block(static_cast<size_t>(std::min<uint64_t>(bytes.size, textBlock)) + 4);
  for (uint64_t off = 0; off < bytes.size;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(textBlock, bytes.size - off));
    bytes.read(off, n, block.data());
    // The last word is completed with zero bytes on the right.
    memset(block.data() + n, 0, 4);
    off += n;
    const size_t count = (n + 3) / 4;
    for (size_t j = 0; j < count;) {
      if (!room(s, lineLen)) return false;
      const size_t k = std::min(count - j, (outBlock - s.pos) / lineLen);
      char* p = s.buf + s.pos;
      for (size_t i = 0; i < k; i++, j++, p += lineLen) {
        const uint8_t* b = block.data() + 4 * j;
        memcpy(p, pairs[b[0] << 8 | b[1]], 4);
        memcpy(p + 4, pairs[b[2] << 8 | b[3]], 4);
        p[8] = '\n';
      }
      s.pos += k * lineLen;
    }
  }
  const uint64_t w = (bytes.size + 3) / 4;
  uint64_t fill = 0;
  if (w < t) {
    fill = t - w;
  } else if (t == 0) {
    fill = (512 - w % 512) % 512;
  }
  return repeat(s, zeroLine, lineLen, fill) && flush(s);
}

bool dumpHData(FILE* f, std::span<const uint8_t> bytes, uint32_t t) {
  const spanSource src(bytes);
  return dumpHData(f, src.source, t);
}

bool dumpRomHeader(FILE* f, uint32_t len) {
  return fprintf(f,
                 "/* Generated File, do not edit */\n\n"
                 "#include <types.h>\n\n"
                 "#define ROM_SIZE     0x%08x\n"
                 "extern u8 romData[];\n",
                 len) > 0;
}

bool dumpCData(FILE* f, const char* name, const byteSource& bytes) {
  // "0xNN," for every byte value.
  static constexpr struct cTable {
    char d[256][5];
    constexpr cTable() : d{} {
      for (int b = 0; b < 256; b++) {
        d[b][0] = '0';
        d[b][1] = 'x';
        d[b][2] = hex.d[b][0];
        d[b][3] = hex.d[b][1];
        d[b][4] = ',';
      }
    }
  } c;
  constexpr size_t perRow = 13;
  constexpr size_t rowLen = 3 + 5 * perRow + 1;

  if (fprintf(f, "#include \"rom.h\"\n\n\nu8 %sData[ROM_SIZE] = {\n", name) < 0) return false;
  sink s(f);
  std::vector<uint8_t> block(static_cast<size_t>(std::min<uint64_t>(bytes.size, textBlock)));
  for (uint64_t off = 0; off < bytes.size;) {
    const size_t len = static_cast<size_t>(std::min<uint64_t>(textBlock, bytes.size - off));
    bytes.read(off, len, block.data());
    off += len;
    for (size_t j = 0; j < len; j += perRow) {
      if (!room(s, rowLen)) return false;
      const size_t n = std::min(perRow, len - j);
      char* p = s.buf + s.pos;
      memcpy(p, "   ", 3);
      p += 3;
      for (size_t k = 0; k < n; k++, p += 5) memcpy(p, c.d[block[j + k]], 5);
      if (off == bytes.size && j + n == len) p--;  // no comma after the very last byte
      *p++ = '\n';
      s.pos = static_cast<size_t>(p - s.buf);
    }
  }
  if (!room(s, 3)) return false;
  memcpy(s.buf + s.pos, "};\n", 3);
  s.pos += 3;
  return flush(s);
}

bool dumpCData(FILE* f, const char* name, std::span<const uint8_t> bytes) {
  const spanSource src(bytes);
  return dumpCData(f, name, src.source);
}

bool dumpROMFill(FILE* f, uint32_t textLen, uint32_t romLen) {
  static const uint8_t pad[4] = {};
  if (textLen % 4 != 0 && fwrite(pad, 4 - textLen % 4, 1, f) != 1) return false;
  const uint64_t start = (uint64_t{textLen} + 3) & ~uint64_t{3};
  sink s(f);
  constexpr size_t perBlock = outBlock / 4;
  for (uint64_t a = start; a < romLen;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(perBlock, (romLen - a + 3) / 4));
    for (size_t k = 0; k < n; k++) {
      uint32_t v = static_cast<uint32_t>(a + 4 * k) | 0xFFF00000u;
      if constexpr (std::endian::native != std::endian::little) v = swap32(v);
      memcpy(s.buf + 4 * k, &v, 4);
    }
    if (!s.emit(s.buf, 4 * n)) return false;
    a += 4 * uint64_t{n};
  }
  return true;
}

status dumpRom(const elfImage& img) {
  if (const char* msg = refusal(img)) return Error{msg};
  outFile pair[] = {
      {"rom.h", "Unable to open ROM hdr file\n", "Unable to write ROM hdr file\n"},
      {"rom.c", "Unable to open ROM data file\n", "Unable to write ROM data file\n"},
  };
  if (status s = resolveFiles(pair); !s) return s;
  Result<FILE*> h = createFile(pair[0]);
  if (!h) return h.error();
  if (status s = closeFile(pair[0], dumpRomHeader(*h, img.textLen)); !s) return s;
  Result<FILE*> c = createFile(pair[1]);
  if (!c) return c.error();
  const bool wrote = fputs("/* Generated File, do not edit */\n\n", *c) >= 0 && dumpCData(*c, "rom", img.textBytes());
  if (status s = closeFile(pair[1], wrote); !s) return s;
  return replaceFiles(pair);
}

status dumpROM(const elfImage& img, uint32_t romLen) {
  if (const char* msg = refusal(img)) return Error{msg};
  outFile rom{"tolvek.rom", "Unable to open ROM data file\n", "Unable to write ROM data file\n"};
  Result<FILE*> opened = createFile(rom);
  if (!opened) return opened.error();
  FILE* f = *opened;
  const byteSource text = img.textBytes();
  std::vector<uint8_t> block(static_cast<size_t>(std::min<uint64_t>(text.size, textBlock)));
  bool wrote = true;
  for (uint64_t off = 0; off < text.size && wrote;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(textBlock, text.size - off));
    text.read(off, n, block.data());
    wrote = fwrite(block.data(), n, 1, f) == 1;
    off += n;
  }
  if (!wrote || fflush(f) != 0) return Error{"Unable to write ROM text data\n"};
  if (status s = closeFile(rom, dumpROMFill(f, img.textLen, romLen)); !s) return s;
  return replaceFiles({&rom, 1});
}

status dumpHex(const elfImage& img, uint32_t extent, bool verbose, FILE* out, const noteFn& note) {
  if (const char* msg = refusal(img)) return Error{msg};
  if (verbose) tell(note, strf("max 0x%x text 0x%x\n", extent, img.textAddr));
  const uint32_t t = hexTarget(extent, img.textAddr);
  if (verbose) tell(note, strf("max 0x%x\n", t));
  if (!dumpHData(out, img.textBytes(), t)) return Error{"Unable to write standard output\n"};
  return done;
}

}  // namespace romwright
