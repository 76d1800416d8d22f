// Sinks that own their buffers.
#include "core/sink.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

namespace romwright {

sink::sink(std::unique_ptr<char[]> storage, emitter emit)
    : buf(storage.get()), storage_(std::move(storage)), emit_(std::move(emit)) {}

sink::sink(FILE* f)
    : sink(std::make_unique_for_overwrite<char[]>(outBlock),
           [f](const char* bytes, size_t n) { return fwrite(bytes, n, 1, f) == 1; }) {}

sink::sink(std::vector<uint8_t>& out, size_t expected)
    : sink(std::make_unique_for_overwrite<char[]>(outBlock), [&out](const char* bytes, size_t n) {
        out.insert(out.end(), reinterpret_cast<const uint8_t*>(bytes), reinterpret_cast<const uint8_t*>(bytes) + n);
        return true;
      }) {
  // Room for all of it at once: the vector never moves what it holds, and
  // pages it never touches cost nothing. Large pages where the system gives
  // them make the touching cheap.
  if (expected <= out.capacity()) return;
  try {
    out.reserve(expected);
  } catch (const std::bad_alloc&) {
    return;  // it grows as it goes
  }
  adviseLargePages(out.data(), out.capacity());
}

void adviseLargePages(void* p, size_t n) {
  const uintptr_t page = 4096, from = (reinterpret_cast<uintptr_t>(p) + page - 1) & ~(page - 1);
  const uintptr_t to = (reinterpret_cast<uintptr_t>(p) + n) & ~(page - 1);
  if (to > from + (size_t{2} << 20)) madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
}

sink::sink(emitter emit) : sink(std::make_unique_for_overwrite<char[]>(outBlock), std::move(emit)) {}

bool sink::emit(const char* bytes, size_t n) {
  if (ok && n > 0) {
    errno = 0;
    ok = emit_(bytes, n);
    if (!ok) err = errno;
  }
  return ok;
}

bool flush(sink& s) {
  if (s.pos > 0) s.emit(s.buf, s.pos);
  s.pos = 0;
  return s.ok;
}

bool room(sink& s, size_t n) { return s.pos + n <= outBlock || flush(s); }

bool put(sink& s, const void* bytes, size_t n) {
  const auto* p = static_cast<const char*>(bytes);
  while (n > 0) {
    if (s.pos == outBlock && !flush(s)) return false;
    const size_t k = std::min(n, outBlock - s.pos);
    memcpy(s.buf + s.pos, p, k);
    s.pos += k;
    p += k;
    n -= k;
  }
  return s.ok;
}

bool repeat(sink& s, const char* unit, size_t len, uint64_t count) {
  while (count > 0 && s.pos + len <= outBlock) {
    memcpy(s.buf + s.pos, unit, len);
    s.pos += len;
    count--;
  }
  if (count == 0) return s.ok;
  if (!flush(s)) return false;
  const size_t per = outBlock / len;
  for (size_t i = 0; i < per && i < count; i++) memcpy(s.buf + i * len, unit, len);
  for (; count >= per; count -= per) {
    if (!s.emit(s.buf, per * len)) return false;
  }
  s.pos = static_cast<size_t>(count) * len;
  return true;
}

}  // namespace romwright
