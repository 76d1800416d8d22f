// romwright: turns the program of a 32-bit ELF executable into a hex word
// listing, C source ROM files and a raw ROM image, and reports its length,
// text address and entry address.
#include "main.hpp"

#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

#include "formats.hpp"
#include "hex.hpp"
#include "memimage.hpp"
#include "output.hpp"

// The load image. It lives until the process ends and stays reachable from
// here, so that leak checkers at any optimisation see it as in use.
elfImage* image;

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
int quiet;

[[noreturn]] void usage(int status) {
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
          "  -M NN         # extend image to this length\n",
          ProgName);
  exit(status);
}

// The full help, for --help: every option, short and long.
[[noreturn]] void help() {
  std::string formats;
  for (const memFormat& f : memFormats()) formats += std::string(formats.empty() ? "" : ", ") + f.name;
  printf("usage: %s -f FILE [options]\n"
         "Turns the program of a 32-bit ELF executable into ROM and memory images.\n"
         "\n"
         "The fixed outputs: the text image, segments placed at their run addresses\n"
         "  -f FILE              the input executable (required)\n"
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
         "Memory images, for FPGA and boot flows\n"
         "  --format=FMT         write a memory image: %s\n"
         "  --output=FILE        where it goes; - is standard output [-]\n"
         "  --addresses=load|run place segments at their load address (p_paddr) or\n"
         "                       their run address (p_vaddr, with the zero tail) [load]\n"
         "  --region=BASE:SIZE   the memory to fill [the span of the placed bytes]\n"
         "  --width=BITS         word width: 8, 16, 32, 64 or 128 [32]\n"
         "  --byte-order=little|big\n"
         "                       how bytes at rising addresses make up a word\n"
         "                       [the executable's own]\n"
         "  --depth=WORDS        words the memory has [region size / word size]\n"
         "  --fill=BYTE          value of bytes no segment provides [0x00]\n"
         "  --lanes=N            one image per lane of width/N bits, lane 0 the least\n"
         "                       significant; FILE must hold %%d for the lane number [1]\n"
         "  --name=NAME          identifier for the formats that declare one [rom_image]\n"
         "  --header=FILE        with --format=c: also write the extern declarations\n"
         "\n"
         "  --quiet              no diagnostic lines for a load that succeeds\n"
         "  --help               print this help\n"
         "  --version            print the version\n"
         "\n"
         "BASE, SIZE, WORDS and BYTE are 0x hex or decimal; SIZE and WORDS may end\n"
         "in K, M or G (powers of 1024).\n",
         ProgName, formats.c_str());
  closeStandardOutput();
  exit(0);
}

void boot_warning(uint32_t textAddr, uint32_t entryAddr) {
  fprintf(stderr,
          "This elf file has a text address of 0x%08x, entry 0x%08x\n"
          "If the file is intended to be a bootable image, this can\n"
          "cause problems, because pravunet will convert the entire\n"
          "text segment to hex, and the entry point will not be at\n"
          "the start of the booted file.   You can correct this by\n"
          "using a linker script to force the text segment and the\n"
          "entry point to the same address.\n",
          textAddr, entryAddr);
}

constexpr size_t lineLen = 9;  // "%08x\n"
constexpr char zeroLine[] = "00000000\n";

}  // namespace

// ---- The writers ------------------------------------------------------------

const char* refusal(const elfImage* img) {
  if (img->textLen == 0) return "No text segment!\n";
  if (img->dataLen != 0) return "Has a data segment!\n";
  return nullptr;
}

uint32_t hexTarget(uint32_t extent, uint32_t textAddr) {
  return textAddr < extent ? (extent - textAddr) / 4 : extent;
}

bool dumpHData(FILE* f, std::span<const uint8_t> bytes, uint32_t t) {
  // Four hex digits for every pair of bytes: two look-ups a word.
  const char(*pairs)[4] = hexPairs();
  sink s{f, 0, true};
  // The last word is completed with zero bytes on the right.
  uint8_t last[4] = {};
  const size_t whole = bytes.size() / 4;
  if (bytes.size() % 4 != 0) memcpy(last, bytes.data() + 4 * whole, bytes.size() % 4);
  const size_t count = whole + (bytes.size() % 4 != 0);
  for (size_t j = 0; j < count;) {
    if (!room(s, lineLen)) return false;
    const size_t n = std::min(count - j, (outBlock - s.pos) / lineLen);
    char* p = outBuf + s.pos;
    for (size_t k = 0; k < n; k++, j++, p += lineLen) {
      const uint8_t* b = j < whole ? bytes.data() + 4 * j : last;
      memcpy(p, pairs[b[0] << 8 | b[1]], 4);
      memcpy(p + 4, pairs[b[2] << 8 | b[3]], 4);
      p[8] = '\n';
    }
    s.pos += n * lineLen;
  }
  const uint64_t w = (uint64_t{bytes.size()} + 3) / 4;
  uint64_t fill = 0;
  if (w < t) {
    fill = t - w;
  } else if (t == 0) {
    fill = (512 - w % 512) % 512;
  }
  return repeat(s, zeroLine, lineLen, fill) && flush(s);
}

bool dumpRomHeader(FILE* f, uint32_t len) {
  return fprintf(f,
                 "/* Generated File, do not edit */\n\n"
                 "#include <types.h>\n\n"
                 "#define ROM_SIZE     0x%08x\n"
                 "extern u8 romData[];\n",
                 len) > 0;
}

bool dumpCData(FILE* f, const char* name, std::span<const uint8_t> bytes) {
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
  sink s{f, 0, true};
  for (size_t j = 0; j < bytes.size(); j += perRow) {
    if (!room(s, rowLen)) return false;
    const size_t n = std::min(perRow, bytes.size() - j);
    char* p = outBuf + s.pos;
    memcpy(p, "   ", 3);
    p += 3;
    for (size_t k = 0; k < n; k++, p += 5) memcpy(p, c.d[bytes[j + k]], 5);
    if (j + n == bytes.size()) p--;  // no comma after the very last byte
    *p++ = '\n';
    s.pos = static_cast<size_t>(p - outBuf);
  }
  if (!room(s, 3)) return false;
  memcpy(outBuf + s.pos, "};\n", 3);
  s.pos += 3;
  return flush(s);
}

bool dumpROMFill(FILE* f, uint32_t textLen, uint32_t romLen) {
  static const uint8_t pad[4] = {};
  if (textLen % 4 != 0 && fwrite(pad, 4 - textLen % 4, 1, f) != 1) return false;
  const uint64_t start = (uint64_t{textLen} + 3) & ~uint64_t{3};
  constexpr size_t perBlock = outBlock / 4;
  for (uint64_t a = start; a < romLen;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(perBlock, (romLen - a + 3) / 4));
    for (size_t k = 0; k < n; k++) {
      uint32_t v = static_cast<uint32_t>(a + 4 * k) | 0xFFF00000u;
      if constexpr (std::endian::native != std::endian::little) v = swap32(v);
      memcpy(outBuf + 4 * k, &v, 4);
    }
    if (fwrite(outBuf, 4 * n, 1, f) != 1) return false;
    a += 4 * uint64_t{n};
  }
  return true;
}

uint32_t parseHex32(const char* s) {
  while (*s == ' ' || (*s >= '\t' && *s <= '\r')) s++;
  const bool negative = *s == '-';
  if (*s == '-' || *s == '+') s++;
  if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X') && isxdigit(static_cast<unsigned char>(s[2]))) {
    s += 2;
  }
  uint64_t v = 0;
  for (; isxdigit(static_cast<unsigned char>(*s)); s++) {
    const int d = *s <= '9' ? *s - '0' : (*s | 0x20) - 'a' + 10;
    v = std::min<uint64_t>(v * 16 + d, uint64_t{1} << 32);
  }
  if (v > 0xFFFFFFFFu) return 0xFFFFFFFFu;
  return negative ? static_cast<uint32_t>(0 - v) : static_cast<uint32_t>(v);
}

namespace {

void checkWritable(const elfImage* img) {
  if (const char* msg = refusal(img)) fail(msg);
}

std::span<const uint8_t> text(const elfImage* img) { return {img->textBytes, img->textLen}; }

// Writes "rom.h" and "rom.c" completely, then puts both in place, "rom.h"
// first: a failure on the way leaves both earlier files as they were, so a
// new ROM_SIZE never meets an old array.
void dumpRom(const elfImage* img) {
  checkWritable(img);
  outFile pair[] = {
      {"rom.h", "Unable to open ROM hdr file\n", "Unable to write ROM hdr file\n"},
      {"rom.c", "Unable to open ROM data file\n", "Unable to write ROM data file\n"},
  };
  resolveFiles(pair);
  closeFile(pair[0], dumpRomHeader(createFile(pair[0]), img->textLen));
  FILE* f = createFile(pair[1]);
  closeFile(pair[1], fputs("/* Generated File, do not edit */\n\n", f) >= 0 &&
                         dumpCData(f, "rom", text(img)));
  replaceFiles(pair);
}

// Writes the raw ROM image "tolvek.rom" of ROMLen bytes.
void dumpROM(const elfImage* img) {
  checkWritable(img);
  outFile rom{"tolvek.rom", "Unable to open ROM data file\n", "Unable to write ROM data file\n"};
  FILE* f = createFile(rom);
  if (fwrite(img->textBytes, img->textLen, 1, f) != 1 || fflush(f) != 0) {
    fail("Unable to write ROM text data\n");
  }
  closeFile(rom, dumpROMFill(f, img->textLen, ROMLen));
  replaceFiles({&rom, 1});
}

[[noreturn]] void stdoutFailed() { fail("Unable to write standard output\n"); }

// Writes the hex word listing to standard output.
void dumpHex(const elfImage* img, uint32_t extent) {
  checkWritable(img);
  if (verbose) fprintf(stderr, "max 0x%x text 0x%x\n", extent, img->textAddr);
  const uint32_t t = hexTarget(extent, img->textAddr);
  if (verbose) fprintf(stderr, "max 0x%x\n", t);
  if (!dumpHData(stdout, text(img), t)) stdoutFailed();
}

}  // namespace

int main(int argc, char** argv) {
  guardStandardStreams();
  guardAllocation();
  // With no argument vector (the kernel then hands over an empty argv[0])
  // the usage text still names the program.
  ProgName = argc > 0 && argv[0] != nullptr && argv[0][0] != '\0' ? argv[0] : "romwright";
  int rejected = 0;
  // The memory-image mode has long options only; the short ones are as they
  // always were.
  enum { optFormat = 256, optOutput, optAddresses, optRegion, optWidth, optByteOrder, optDepth,
         optFill, optLanes, optName, optHeader, optQuiet, optHelp, optVersion };
  static const option longOptions[] = {
      {"format", required_argument, nullptr, optFormat},
      {"output", required_argument, nullptr, optOutput},
      {"addresses", required_argument, nullptr, optAddresses},
      {"region", required_argument, nullptr, optRegion},
      {"width", required_argument, nullptr, optWidth},
      {"byte-order", required_argument, nullptr, optByteOrder},
      {"depth", required_argument, nullptr, optDepth},
      {"fill", required_argument, nullptr, optFill},
      {"lanes", required_argument, nullptr, optLanes},
      {"name", required_argument, nullptr, optName},
      {"header", required_argument, nullptr, optHeader},
      {"quiet", no_argument, nullptr, optQuiet},
      {"help", no_argument, nullptr, optHelp},
      {"version", no_argument, nullptr, optVersion},
      {nullptr, 0, nullptr, 0}};
  for (int c; (c = getopt_long(argc, argv, "hHf:ardmM:DRL:letv", longOptions, nullptr)) != -1;) {
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
      case 'h': usage(0);
      case optFormat: memArg.format = optarg; break;
      case optOutput: memArg.output = optarg; break;
      case optAddresses: memArg.addresses = optarg; break;
      case optRegion: memArg.region = optarg; break;
      case optWidth: memArg.width = optarg; break;
      case optByteOrder: memArg.byteOrder = optarg; break;
      case optDepth: memArg.depth = optarg; break;
      case optFill: memArg.fill = optarg; break;
      case optLanes: memArg.lanes = optarg; break;
      case optName: memArg.name = optarg; break;
      case optHeader: memArg.header = optarg; break;
      case optQuiet: quiet++; break;
      case optHelp: help();
      case optVersion:
        puts("romwright " ROMWRIGHT_VERSION);
        closeStandardOutput();
        exit(0);
      default:
        fprintf(stderr, "unknown option %c\n", c);
        rejected++;
        break;
    }
  }
  if (inFile == nullptr || rejected != 0) usage(1);
  // The default length is a multiple of 4, so only a -L value can fail here.
  if (ROMLen % 4 != 0) {
    fprintf(stderr, "ROM length 0x%x is not a multiple of 4\n", ROMLen);
    exit(1);
  }

  const memOptions mem = checkMemArgs(memArg, hexOut != 0);

  // The load: the fixed outputs and the reports need the merged image (and
  // so does a run that asks for nothing else); a memory image needs only the
  // segment table.
  const bool merge = romOut || ROMOut || hexOut || dumpLen || dumpDest || dumpEntry ||
                     mem.format == nullptr;
  if (quiet) elfHold();
  if (!elfOpen(inFile) || (merge && (image = elfMerge()) == nullptr)) {
    fprintf(stderr, "unable to load elf file %s\n", inFile);
    exit(1);
  }
  // Null when only a memory image is asked for, and then no step below
  // but the memory image runs.
  const elfImage* img = image;

  if (romOut) dumpRom(img);
  if (ROMOut) dumpROM(img);
  if (hexOut) {
    if (img->textAddr != img->entryAddr) boot_warning(img->textAddr, img->entryAddr);
    dumpHex(img, hexMax);
  }
  if (mem.format != nullptr) dumpMemImage(mem, quiet != 0);
  if (dumpLen) {
    // The text+data length, in 32-bit arithmetic.
    const uint32_t len = img->dataLen != 0 ? img->dataAddr + img->dataLen - img->textAddr
                                           : img->textLen;
    printf("len %d\n", static_cast<int32_t>(len));
  }
  if (dumpDest) printf("text %d 0x%08x\n", static_cast<int32_t>(img->textAddr), img->textAddr);
  if (dumpEntry) printf("entry %d 0x%08x\n", static_cast<int32_t>(img->entryAddr), img->entryAddr);

  // Every write to standard output is checked once, at the end.
  closeStandardOutput();
  return 0;
}
