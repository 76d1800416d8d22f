// Where a writer's bytes go: a stream that owns its buffer, builds the
// output in it and hands it on in whole blocks to a file, a vector in
// memory or a callback. Each sink has a buffer of its own, so that any
// number of them may be written at once, in one thread or several.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace romwright {

// The buffer holds a whole number of 9-byte listing lines, so that a buffer
// full of one repeated line can be written again and again as it stands.
constexpr size_t outBlock = size_t{9} << 16;

class sink {
 public:
  // Whole blocks go where `emit` puts them; it returns false when they
  // could not be written.
  using emitter = std::function<bool(const char* bytes, size_t n)>;

  explicit sink(FILE* f);
  // Appends to `out`, with room made at once for `expected` bytes.
  explicit sink(std::vector<uint8_t>& out, size_t expected = 0);
  explicit sink(emitter emit);
  sink(const sink&) = delete;
  sink& operator=(const sink&) = delete;

  // The buffer, `outBlock` bytes; bytes [0, pos) wait to be written.
  char* const buf;
  size_t pos = 0;
  // False from the first failed write on; nothing more is written after it.
  bool ok = true;
  int err = 0;  // the system's errno for that write, when it gave one

  // Hands `n` bytes over as they stand, past the buffer.
  bool emit(const char* bytes, size_t n);

 private:
  std::unique_ptr<char[]> storage_;
  emitter emit_;
  sink(std::unique_ptr<char[]> storage, emitter emit);
};

// Asks for large pages over [p, p + n) where the system gives them on
// request: touching fresh memory then costs one fault a large page.
void adviseLargePages(void* p, size_t n);

// Writes what the buffer holds.
bool flush(sink& s);

// Makes room for `n` more bytes in the buffer (`n` at most `outBlock`).
bool room(sink& s, size_t n);

// Appends `n` bytes, flushing as often as needed.
bool put(sink& s, const void* bytes, size_t n);

// Appends `count` copies of the `len` bytes at `unit` (`len` at most
// `outBlock`): the buffer is filled with copies once and written whole as
// often as needed.
bool repeat(sink& s, const char* unit, size_t len, uint64_t count);

}  // namespace romwright
