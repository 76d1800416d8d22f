// Builds small 32-bit ELF executables from a description held as data: a few
// header fields and a table of segments. Offsets are laid out sanely unless a
// field is overridden, and one description builds for either byte order.
#pragma once

#include <elf.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/image.hpp"
#include "fixed/merge.hpp"
#include "read/elf.hpp"

namespace fixture {

// The tests speak of the library's own names.
using namespace romwright;

// A load image as the fixed outputs get it, with the image model its bytes
// point into, owned by a test.
struct LoadedElf : elfImage {
  image model;
};
using OwnedImage = std::unique_ptr<LoadedElf>;

// Reads `path` as an ELF file and merges it as the tool does for the fixed
// outputs, writing the loader's lines and any failure to standard error;
// null when the load fails.
LoadedElf* elfRead(const char* path);

// The first `n` bytes of an image.
std::vector<uint8_t> bytesOf(const byteSource& s, size_t n);

enum class Order { Little, Big };

inline const char* name(Order o) { return o == Order::Little ? "Little" : "Big"; }

struct Seg {
  uint32_t flags = PF_R | PF_X;
  uint32_t vaddr = 0;
  std::vector<uint8_t> bytes;           // the file bytes
  std::optional<uint32_t> memsz;        // default: the number of file bytes
  uint32_t type = PT_LOAD;
  std::optional<uint32_t> filesz;       // default: the number of file bytes
  std::optional<uint32_t> offset;       // default: laid out after the table
  std::optional<uint32_t> paddr;        // load address; default: vaddr
};

struct Header {
  uint16_t type = ET_EXEC;
  uint16_t machine = EM_MIPS;
  uint32_t entry = 0;
  std::optional<uint32_t> phoff;        // default: right after the header
  std::optional<uint16_t> phentsize;    // default: 32
  std::optional<uint16_t> phnum;        // default: the number of segments
  std::optional<uint8_t> dataByte;      // default: what the order says
  std::optional<size_t> truncate;       // cut the file to this many bytes
};

// Text segment helper: executable, at `vaddr`, holding `bytes`.
inline Seg text(uint32_t vaddr, std::vector<uint8_t> bytes, std::optional<uint32_t> memsz = {}) {
  return Seg{PF_R | PF_X, vaddr, std::move(bytes), memsz};
}

// Data segment helper: readable and writable, at `vaddr`.
inline Seg data(uint32_t vaddr, std::vector<uint8_t> bytes, std::optional<uint32_t> memsz = {}) {
  return Seg{PF_R | PF_W, vaddr, std::move(bytes), memsz};
}

// `n` bytes counting up from `first`.
std::vector<uint8_t> counting(size_t n, uint8_t first = 1);

// Inputs whose address span dwarfs their file bytes: bytes near both ends of
// the address space, rooms without file bytes across it, or many far-apart
// single bytes. Each once cost time or memory in proportion to the span; the
// loader's tests, the fuzzing seeds and the benchmark are made from them.
// Three of them fill a table of `entries` entries (at least 3), which their
// names end with.
struct Named {
  std::string name;
  std::vector<Seg> segs;
};
std::vector<Named> spanInputs(uint16_t entries);

std::vector<uint8_t> build(Order order, std::span<const Seg> segs, const Header& h = {});

void writeFile(const std::filesystem::path& path, std::span<const uint8_t> bytes);
std::vector<uint8_t> readFile(const std::filesystem::path& path);

// A fresh empty directory, removed when the object goes.
struct TempDir {
  std::filesystem::path path;
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
};

}  // namespace fixture
