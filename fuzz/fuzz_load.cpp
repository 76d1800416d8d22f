// Coverage-guided fuzzing of the loader and the three output formats.
// Whatever bytes come in, the load must end in an image or a refusal, and
// formatting an image it accepts must stay inside its buffers.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "elf.hpp"
#include "main.hpp"

namespace {

FILE* sink() {
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

  elfImage* img = elfRead(path.c_str());
  if (img == nullptr) return 0;

  // What the driver computes and checks before it writes anything.
  volatile uint32_t len = img->dataLen != 0 ? img->dataAddr + img->dataLen - img->textAddr
                                            : img->textLen;
  (void)len;
  // Formatting cost grows with the image, and an image may declare up to
  // 4 GiB: format the ones that keep each run short. The last bytes of the
  // input pick the listing's extent and the ROM length.
  if (refusal(img) == nullptr && img->textLen <= (1u << 20)) {
    const std::span<const uint8_t> text(img->textBytes, img->textLen);
    const uint8_t pick = size > 0 ? data[size - 1] : 0;
    const uint32_t t = hexTarget(static_cast<uint32_t>(pick) << 8, img->textAddr & 0xFFF);
    dumpHData(sink(), text, t);
    dumpCData(sink(), "rom", text);
    dumpROMFill(sink(), img->textLen, static_cast<uint32_t>(pick) << 10);
  }
  free(img->textBytes);
  free(img->dataBytes);
  free(img);
  return 0;
}
