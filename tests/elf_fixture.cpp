#include "elf_fixture.hpp"

#include <cstdio>

#include "read/registry.hpp"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace fixture {

LoadedElf* elfRead(const char* path) {
  auto loaded = std::make_unique<LoadedElf>();
  std::string log;
  sectionChoice none;
  readContext ctx{log, none};
  status s = readInput(path, readAs::elf, 0, loaded->model, ctx);
  if (s) {
    Result<elfImage> merged = eatPh(loaded->model, log);
    if (merged) {
      static_cast<elfImage&>(*loaded) = std::move(*merged);
    } else {
      s = merged.error();
    }
  }
  fputs(log.c_str(), stderr);
  if (!s) {
    fputs(s.error().message.c_str(), stderr);
    return nullptr;
  }
  return loaded.release();
}

std::vector<uint8_t> bytesOf(const byteSource& s, size_t n) {
  std::vector<uint8_t> out(n);
  s.read(0, n, out.data());
  return out;
}


namespace {

// Appends `v` in the fixture's byte order.
struct writer {
  Order order;
  std::vector<uint8_t>& out;
  void put(uint64_t v, int width) {
    for (int i = 0; i < width; i++) {
      const int shift = order == Order::Little ? 8 * i : 8 * (width - 1 - i);
      out.push_back(static_cast<uint8_t>(v >> shift));
    }
  }
  void u16(uint32_t v) { put(v, 2); }
  void u32(uint32_t v) { put(v, 4); }
};

}  // namespace

std::vector<uint8_t> counting(size_t n, uint8_t first) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; i++) v[i] = static_cast<uint8_t>(first + i);
  return v;
}

std::vector<Named> spanInputs(uint16_t entries) {
  constexpr uint32_t top = 0xFFFFFF00;
  const std::string n = std::to_string(entries);
  // One byte at each end, then rooms from 0 to the top byte without file
  // bytes: each room once zeroed its whole span.
  auto zeroRooms = [](Seg (*kind)(uint32_t, std::vector<uint8_t>, std::optional<uint32_t>),
                      size_t rooms) {
    std::vector<Seg> segs = {kind(0, {0x11}, {}), kind(top, {0x22}, {})};
    segs.resize(2 + rooms, kind(0, {}, top));
    return segs;
  };
  // Single bytes 64 KiB apart, byte i being i * 7 (some of them zero).
  std::vector<Seg> farBytes, farText;
  for (uint32_t i = 0; i < entries; i++) {
    farBytes.push_back(data(i << 16, {static_cast<uint8_t>(i * 7)}));
    farText.push_back(text(i << 16, {static_cast<uint8_t>(i * 7)}));
  }
  return {
      {"zero-room", zeroRooms(data, 1)},
      {"zero-rooms-" + n, zeroRooms(data, entries - 2)},
      {"text-zero-room", zeroRooms(text, 1)},
      // The top byte is zero: the trim once scanned every byte below it.
      {"zero-tail", {data(0, {0x11}), data(top, {0})}},
      // The third segment grows the image past 2 GiB, which once copied all
      // of it.
      {"grow-copy", {data(0, {0x11}), data(0x7FFFFFFF, {0x22}), data(top, {0x33})}},
      {"text-grow-copy", {text(0, {0x11}), text(0x7FFFFFFF, {0x22}), text(top, {0x33})}},
      {"far-bytes-" + n, std::move(farBytes)},
      // The same as text: a text image of almost 4 GiB whose reports need
      // only its length.
      {"far-text-" + n, std::move(farText)},
  };
}

std::vector<uint8_t> build(Order order, std::span<const Seg> segs, const Header& h) {
  const uint32_t entSize = h.phentsize.value_or(sizeof(Elf32_Phdr));
  const uint32_t phoff = h.phoff.value_or(sizeof(Elf32_Ehdr));
  std::vector<uint8_t> out = {
      ELFMAG0, ELFMAG1, ELFMAG2, ELFMAG3, ELFCLASS32,
      h.dataByte.value_or(order == Order::Little ? ELFDATA2LSB : ELFDATA2MSB), EV_CURRENT};
  out.resize(EI_NIDENT);
  writer w{order, out};
  w.u16(h.type);
  w.u16(h.machine);
  w.u32(EV_CURRENT);
  w.u32(h.entry);
  w.u32(phoff);
  w.u32(0);  // no section headers
  w.u32(0);
  w.u16(sizeof(Elf32_Ehdr));
  w.u16(entSize);
  w.u16(h.phnum.value_or(static_cast<uint16_t>(segs.size())));
  w.u16(0);
  w.u16(0);
  w.u16(0);

  // The table goes at phoff (padding with zeros up to it); each entry is
  // entSize bytes, the standard's eight words first. Segment bytes follow.
  // Segment bytes go after where the table would be by default, wherever
  // an override puts it.
  uint32_t next = sizeof(Elf32_Ehdr) + entSize * static_cast<uint32_t>(segs.size());
  std::vector<uint8_t> table;
  std::vector<std::pair<uint32_t, const std::vector<uint8_t>*>> placed;
  writer t{order, table};
  for (const Seg& s : segs) {
    const uint32_t filesz = s.filesz.value_or(static_cast<uint32_t>(s.bytes.size()));
    const uint32_t offset = s.offset.value_or(s.bytes.empty() ? 0 : next);
    if (!s.offset) next += static_cast<uint32_t>(s.bytes.size());
    if (!s.bytes.empty()) placed.emplace_back(offset, &s.bytes);
    const size_t at = table.size();
    t.u32(s.type);
    t.u32(offset);
    t.u32(s.vaddr);
    t.u32(s.paddr.value_or(s.vaddr));
    t.u32(filesz);
    t.u32(s.memsz.value_or(filesz));
    t.u32(s.flags);
    t.u32(4);
    table.resize(at + entSize);
  }
  // Everything is placed at its offset, over zero padding where needed.
  // A part that starts past the cut is left out.
  auto place = [&out, &h](uint64_t off, std::span<const uint8_t> bytes) {
    if (bytes.empty() || (h.truncate && off >= *h.truncate)) return;
    if (out.size() < off + bytes.size()) out.resize(off + bytes.size());
    std::memcpy(out.data() + off, bytes.data(), bytes.size());
  };
  place(phoff, table);
  for (const auto& [off, bytes] : placed) place(off, *bytes);
  if (h.truncate) out.resize(*h.truncate);
  return out;
}

void writeFile(const std::filesystem::path& path, std::span<const uint8_t> bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!f) throw std::runtime_error("cannot write " + path.string());
}

std::vector<uint8_t> readFile(const std::filesystem::path& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot read " + path.string());
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "romwright-test-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::permissions(path, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path, ec);
}

}  // namespace fixture
