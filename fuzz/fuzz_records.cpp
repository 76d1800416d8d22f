// Coverage-guided fuzzing of the readers of Intel HEX and S-records.
// Whatever bytes come in, a reader must end in segments or a one-line
// refusal, its segments must hold the bytes they claim, never more bytes
// than the input's digits can give, and no address twice.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <map>

#include "inputs.hpp"

namespace {

// The input as a file that is never in the working directory.
int memoryFile() {
  static int fd = memfd_create("romwright-fuzz-records", 0);
  if (fd < 0) abort();
  return fd;
}

void check(inputReader reader, size_t size, uint32_t index) {
  const int fd = memoryFile();
  if (lseek(fd, 0, SEEK_SET) != 0) abort();
  inputSource in{"in", index, fd, true, size};
  image img;
  const status s = reader(in, img);
  if (!s) {
    // One line, ending in its only newline; nothing kept.
    const std::string& t = s.error().text;
    if (t.empty() || t.back() != '\n' || t.find('\n') != t.size() - 1) abort();
    if (!img.segments.empty() || !img.owned.empty()) abort();
    return;
  }
  uint64_t total = 0;
  std::map<uint64_t, uint64_t> ranges;
  for (const segment& seg : img.segments) {
    if (seg.bytes.size() != seg.fileSize || seg.fileSize == 0 || seg.memSize != seg.fileSize) abort();
    if (seg.fileSize > (1u << 20) || seg.load != seg.run || seg.input != index) abort();
    total += seg.fileSize;
    if (!ranges.emplace(seg.load, seg.load + seg.fileSize).second) abort();
  }
  if (total > size / 2) abort();
  uint64_t end = 0;
  for (const auto& [first, last] : ranges) {
    if (first < end) abort();
    end = last;
  }
  if (index != 0 && img.hasEntry) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = memoryFile();
  if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) abort();
  const std::span<const uint8_t> head(data, size < 64 ? size : 64);
  volatile bool kinds = isIhex(head) || isSrec(head);
  (void)kinds;
  const uint32_t index = size > 0 ? data[size - 1] & 1 : 0;
  check(readIhex, size, index);
  check(readSrec, size, index);
  return 0;
}
