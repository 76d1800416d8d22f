// Writes the fuzzing seed corpus: representative fixtures and the inputs
// whose address span dwarfs their file bytes, each built for both byte
// orders. Usage: romwright_make_seeds DIR [ENTRIES]
//
// ENTRIES (3 to 65535) is the table size of the span inputs that fill a
// table. The default, 120, keeps every seed within the 4 KiB that libFuzzer
// takes whole when given no -max_len (a 65,535-entry table is 2 MiB, which
// it would cut to 1 MiB, and it would then let every input grow that far);
// the benchmark asks for 65535.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "elf_fixture.hpp"

using namespace fixture;

int main(int argc, char** argv) {
  const unsigned long entries = argc == 3 ? strtoul(argv[2], nullptr, 10) : 120;
  if (argc < 2 || argc > 3 || entries < 3 || entries > 0xFFFF) {
    fprintf(stderr, "usage: %s DIR [ENTRIES]\n", argv[0]);
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
  auto write = [&dir](const std::string& stem, std::span<const Seg> segs, const Header& h) {
    for (Order o : {Order::Little, Order::Big}) {
      writeFile(dir / (stem + "-" + name(o) + ".elf"), build(o, segs, h));
    }
  };
  for (const Seed& s : seeds) write(s.name, s.segs, s.h);
  for (const Named& s : spanInputs(static_cast<uint16_t>(entries))) {
    write("hostile-" + s.name, s.segs, {});
  }
  return 0;
}
