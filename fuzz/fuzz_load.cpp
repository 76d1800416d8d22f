// Coverage-guided fuzzing of the loader, the three fixed output formats and
// the memory-image mode. Whatever bytes come in, the load must end in an
// image or a refusal, and placing and formatting what it accepts must stay
// inside its buffers.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <string>

#include "read/elf.hpp"
#include "formats/registry.hpp"
#include "read/registry.hpp"
#include "fixed/fixed.hpp"
#include "formats/render.hpp"
#include "out/images.hpp"
#include "place/place.hpp"

using namespace romwright;

namespace {

FILE* devNull() {
  static FILE* devNull = fopen("/dev/null", "wb");
  if (devNull == nullptr) abort();
  return devNull;
}

// The input as a file that is never in the working directory.
int memoryFile() {
  static int fd = memfd_create("romwright-fuzz", 0);
  if (fd < 0) abort();
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = memoryFile();
  if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) abort();
  const std::string path = "/proc/self/fd/" + std::to_string(fd);

  // The last bytes of the input pick the options: the listing's extent,
  // the ROM length, and the memory image's addresses, shape and format.
  const uint8_t pick = size > 0 ? data[size - 1] : 0;
  const uint8_t shape = size > 1 ? data[size - 2] : 0;

  // The input read as the fixed outputs read it (any file as ELF), and by
  // its content as a memory image reads it, with sections chosen or not.
  image img;
  std::string log;
  sectionChoice sections;
  if ((pick & 8) != 0) sections.remove.push_back(".no*");
  readContext ctx{log, sections};
  if (!readInput(path, (pick & 16) != 0 ? readAs::recognised : readAs::elf, 0, img, ctx)) return 0;

  // The memory-image mode, with and without a region; formatting cost
  // grows with the memory, so only small ones are written.
  const std::span<const memFormat> formats = memFormats();
  memOptions o{};
  o.format = &formats[shape % formats.size()];
  o.width = std::max(uint32_t{8} << (shape >> 5 & 3), o.format->minWidth);
  o.lanes = (shape & 0x10) != 0 && o.width / 2 >= o.format->minWidth ? 2 : 1;
  o.runAddresses = (pick & 1) != 0;
  o.hasRegion = (pick & 2) != 0;
  o.crop = o.hasRegion && (pick & 32) != 0;
  o.base = (uint64_t{pick} << 8) & ~uint64_t{15};
  o.size = 0x1000;
  o.fill = pick;
  o.name = "rom_image";
  // The defaults the option checks give.
  o.banks = 1;
  o.radix = 16;
  o.recordBytes = 16;
  o.sparse = (pick & 64) != 0;
  placement p;
  const placeRequest req{o.runAddresses, o.hasRegion, o.base, o.size, o.width / 8, true, o.crop, false, false};
  std::string notes;
  if (placeSegments(p, img, req, notes) && p.size <= (1u << 16)) {
    // Some fill words past the placed ones, where the address space has them.
    const uint64_t words = p.size / (o.width / 8) + (pick & 3);
    const uint64_t depth = fits(p.base, words * (o.width / 8), uint64_t{1} << 32) ? words
                                                                                  : p.size / (o.width / 8);
    for (uint32_t lane = 0; lane < o.lanes; lane++) {
      sink s(devNull());
      writeImage(s, o, p, depth, lane, (pick & 4) != 0, static_cast<uint32_t>(img.entry), o.name, false);
    }
  }

  if (img.elfClass != 32) return 0;
  Result<elfImage> merged = eatPh(img, log);
  if (!merged) return 0;
  const elfImage& im = *merged;
  // What the driver computes and checks before it writes anything.
  volatile uint32_t len = im.dataLen != 0 ? im.dataAddr + im.dataLen - im.textAddr : im.textLen;
  (void)len;
  // Formatting cost grows with the image, and an image may declare up to
  // 4 GiB: format the ones that keep each run short. The last bytes of the
  // input pick the listing's extent and the ROM length.
  if (refusal(im) == nullptr && im.textLen <= (1u << 20)) {
    const uint32_t t = hexTarget(static_cast<uint32_t>(pick) << 8, im.textAddr & 0xFFF);
    dumpHData(devNull(), im.textBytes(), t);
    dumpCData(devNull(), "rom", im.textBytes());
    dumpROMFill(devNull(), im.textLen, static_cast<uint32_t>(pick) << 10);
  }
  return 0;
}
