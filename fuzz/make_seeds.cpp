// Writes the fuzzing seed corpus: representative fixtures, each built for
// both byte orders. Usage: romwright_make_seeds DIR
#include <cstdio>
#include <string>

#include "elf_fixture.hpp"

using namespace fixture;

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  struct Seed {
    const char* name;
    std::vector<Seg> segs;
    Header h;
  };
  std::vector<uint8_t> zeroTail = counting(0x20);
  zeroTail.resize(0x30, 0);
  Seg note = text(0x50, {1, 2, 3, 4});
  note.type = PT_NOTE;
  const Seed seeds[] = {
      {"text", {text(0x100, counting(24))}, {.entry = 0x100}},
      {"text-late-entry", {text(0x1000, counting(10))}, {.entry = 0x1004}},
      {"text-data-bss", {text(0x100, counting(16)), data(0x4000, zeroTail, 0x100)}, {}},
      {"data-first", {data(0x8000, {1, 2}), text(0x100, counting(8))}, {}},
      {"text-hole", {text(0x100, counting(16)), text(0x200, counting(8))}, {}},
      {"text-overlap", {text(0x100, counting(0x40)), text(0x110, counting(8), 0x20)}, {}},
      {"data-holes", {data(0x2000, {1}), data(0x2010, {2}, 0x20), data(0x2100, {}, 8)}, {}},
      {"empty-first-text", {text(0x300, {}, 0x40), text(0x340, {1})}, {}},
      {"top-of-space", {text(0xFFFFFFF0, counting(16))}, {}},
      {"note-and-load", {note, text(0x100, {1, 2, 3})}, {}},
      {"entsize-16", {text(0x100, {1})}, {.phentsize = 16}},
      {"entsize-64", {text(0x100, {1})}, {.phentsize = 64}},
  };
  for (const Seed& s : seeds) {
    for (Order o : {Order::Little, Order::Big}) {
      writeFile(dir / (std::string(s.name) + "-" + name(o) + ".elf"), build(o, s.segs, s.h));
    }
  }
  return 0;
}
