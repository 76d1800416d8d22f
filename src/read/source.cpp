// The bytes of an input: mapped, or read whole.
#include "read/source.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "read/mapped.hpp"

namespace romwright {

Result<std::span<const uint8_t>> inputBytes(inputSource& in, image& img) {
  if (in.regular && in.size > 0 && in.size <= SIZE_MAX) {
    const size_t size = static_cast<size_t>(in.size);
    void* p = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, in.fd, 0);
    if (p != MAP_FAILED) {
      // A file that shrinks while it is read would end the run by SIGBUS:
      // the guard turns that into a message.
      listMappedInput(p, size, in.name.c_str());
      img.held.push_back(std::shared_ptr<const void>(p, [size](const void* q) {
        unlistMappedInput(q);
        munmap(const_cast<void*>(q), size);
      }));
      return std::span<const uint8_t>(static_cast<const uint8_t*>(p), size);
    }
  }
  // Not a mappable file (a pipe, a device, an empty file): read it whole.
  std::vector<uint8_t>& buf = img.owned.emplace_back(in.head.begin(), in.head.end());
  uint8_t block[65536];
  for (;;) {
    const ssize_t n = read(in.fd, block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) break;
    if (n < 0) {
      // A file that cannot be read at all (a directory) holds no bytes, and
      // its reader says what it misses; one that fails part way is an
      // error, never a shorter input.
      if (buf.empty()) break;
      return failuref("%s: cannot read it: %s\n", in.name.c_str(), reasonOf(errno).c_str());
    }
    buf.insert(buf.end(), block, block + n);
  }
  return std::span<const uint8_t>(buf);
}

}  // namespace romwright
