// Coverage-guided fuzzing of the readers of Intel HEX and S-records.
// Whatever bytes come in, a reader must end in segments or a one-line
// refusal, its segments must hold the bytes they claim, never more bytes
// than the input's digits can give, and no address twice.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

#include "read/registry.hpp"

using namespace romwright;

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
  // A later input keeps the start address an earlier one gave.
  if (index != 0) {
    img.hasEntry = true;
    img.entry = 0x1234;
  }
  const status s = reader(in, img);
  if (!s) {
    // One line, ending in its only newline; nothing kept.
    const std::string& t = s.error().message;
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
  if (index != 0 && (!img.hasEntry || img.entry != 0x1234)) abort();
}

int digit(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Sets the count and the checksum of every line that is all hex digits
// after its ':' or 'S' and type, so that mutations reach what lies past
// those checks: addresses, runs, clashes.
void repair(std::string& t) {
  const char* hex = "0123456789ABCDEF";
  for (size_t at = 0; at < t.size();) {
    size_t end = t.find('\n', at);
    if (end == std::string::npos) end = t.size();
    const size_t from = t[at] == ':' ? at + 1 : t[at] == 'S' ? at + 2 : end;
    size_t n = 0;
    bool ok = from < end && (end - from) % 2 == 0 && end - from >= 4;
    for (size_t i = from; ok && i < end; i++) ok = digit(static_cast<uint8_t>(t[i])) >= 0;
    if (ok) {
      n = (end - from) / 2;
      const size_t count = t[at] == ':' ? n - 5 : n - 1;
      if (count < 256) {
        t[from] = hex[count >> 4];
        t[from + 1] = hex[count & 15];
        unsigned sum = 0;
        for (size_t i = 0; i + 1 < n; i++) {
          sum += static_cast<unsigned>(digit(static_cast<uint8_t>(t[from + 2 * i])) << 4 |
                                       digit(static_cast<uint8_t>(t[from + 2 * i + 1])));
        }
        const unsigned c = t[at] == ':' ? (0x100 - (sum & 0xff)) & 0xff : ~sum & 0xff;
        t[end - 2] = hex[c >> 4];
        t[end - 1] = hex[c & 15];
      }
    }
    at = end + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The last byte picks the input's place in the run and whether counts
  // and checksums are set right.
  const uint8_t pick = size > 0 ? data[size - 1] : 0;
  std::string text(reinterpret_cast<const char*>(data), size);
  if ((pick & 2) != 0) repair(text);
  const int fd = memoryFile();
  if (ftruncate(fd, 0) != 0 || pwrite(fd, text.data(), size, 0) != static_cast<ssize_t>(size)) abort();
  const std::span<const uint8_t> head(data, size < 64 ? size : 64);
  volatile bool kinds = isIhex(head) || isSrec(head);
  (void)kinds;
  const uint32_t index = pick & 1;
  check(readIhex, size, index);
  check(readSrec, size, index);
  return 0;
}
