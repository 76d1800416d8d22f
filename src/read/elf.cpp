// The ELF reader and the fixed outputs' merger. The file is untrusted:
// every file range and every address room is checked with fits() before it
// is used. 32- and 64-bit files go through one reader, a template over the
// class's records.
#include "read/elf.hpp"

#include <fnmatch.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <new>

namespace romwright {

namespace {

template <class T>
void swapField(T& v) {
  if constexpr (sizeof(T) == 2) {
    v = swap16(v);
  } else if constexpr (sizeof(T) == 4) {
    v = swap32(v);
  } else {
    v = swap64(v);
  }
}

template <class Ehdr>
void swapHeader(Ehdr* h) {
  swapField(h->e_type);
  swapField(h->e_machine);
  swapField(h->e_version);
  swapField(h->e_entry);
  swapField(h->e_phoff);
  swapField(h->e_shoff);
  swapField(h->e_flags);
  swapField(h->e_ehsize);
  swapField(h->e_phentsize);
  swapField(h->e_phnum);
  swapField(h->e_shentsize);
  swapField(h->e_shnum);
  swapField(h->e_shstrndx);
}

template <class Phdr>
void swapEntry(Phdr* p) {
  swapField(p->p_type);
  swapField(p->p_offset);
  swapField(p->p_vaddr);
  swapField(p->p_paddr);
  swapField(p->p_filesz);
  swapField(p->p_memsz);
  swapField(p->p_flags);
  swapField(p->p_align);
}

template <class Shdr>
void swapSection(Shdr* s) {
  swapField(s->sh_name);
  swapField(s->sh_type);
  swapField(s->sh_flags);
  swapField(s->sh_addr);
  swapField(s->sh_offset);
  swapField(s->sh_size);
  swapField(s->sh_link);
  swapField(s->sh_info);
  swapField(s->sh_addralign);
  swapField(s->sh_entsize);
}

// The records of one ELF class.
template <class Ehdr, class Phdr, class Shdr>
struct elfClass {
  using ehdr = Ehdr;
  using phdr = Phdr;
  using shdr = Shdr;
};
using elf32 = elfClass<Elf32_Ehdr, Elf32_Phdr, Elf32_Shdr>;
using elf64 = elfClass<Elf64_Ehdr, Elf64_Phdr, Elf64_Shdr>;

// A record of the file at `off`, in host order.
template <class T>
T record(std::span<const uint8_t> file, uint64_t off, bool swapped, void (*swap)(T*)) {
  T r;
  memcpy(&r, file.data() + off, sizeof r);
  if (swapped) swap(&r);
  return r;
}

bool matches(const std::vector<std::string>& patterns, std::vector<size_t>& hits,
             std::string_view name) {
  const std::string n(name);
  bool any = false;
  for (size_t i = 0; i < patterns.size(); i++) {
    if (fnmatch(patterns[i].c_str(), n.c_str(), 0) == 0) {
      hits[i]++;
      any = true;
    }
  }
  return any;
}

// Replaces the segments of input `in` in `img` (from `first` on) by its
// chosen allocated sections, each placed where its segment puts it.
template <class C>
status chooseSections(std::span<const uint8_t> file, const typename C::ehdr& eh, bool swapped,
                      const inputSource& in, image& img, size_t first, sectionChoice& choice) {
  using Shdr = typename C::shdr;
  auto bad = [&] { return failuref("%s: the section header table is malformed\n", in.name.c_str()); };
  if (eh.e_shnum == 0) return failuref("%s has no section header table\n", in.name.c_str());
  if (eh.e_shentsize != sizeof(Shdr)) return bad();
  const uint64_t tableSize = uint64_t{eh.e_shnum} * sizeof(Shdr);
  if (!fits(eh.e_shoff, tableSize, file.size()) || eh.e_shstrndx >= eh.e_shnum) return bad();
  auto section = [&](size_t i) {
    return record<Shdr>(file, eh.e_shoff + i * sizeof(Shdr), swapped, swapSection<Shdr>);
  };
  const Shdr names = section(eh.e_shstrndx);
  if (!fits(names.sh_offset, names.sh_size, file.size())) return bad();
  const std::string_view table(reinterpret_cast<const char*>(file.data() + names.sh_offset),
                               static_cast<size_t>(names.sh_size));

  choice.keepHits.resize(choice.keep.size());
  choice.removeHits.resize(choice.remove.size());
  std::vector<segment> chosen;
  const std::span<const segment> segs(img.segments.data() + first, img.segments.size() - first);
  for (size_t i = 1; i < eh.e_shnum; i++) {
    const Shdr sh = section(i);
    if (sh.sh_name >= table.size()) return bad();
    std::string_view name = table.substr(sh.sh_name);
    name = name.substr(0, name.find('\0'));
    const bool kept = choice.keep.empty() || matches(choice.keep, choice.keepHits, name);
    const bool removed = matches(choice.remove, choice.removeHits, name);
    if ((sh.sh_flags & SHF_ALLOC) == 0 || sh.sh_size == 0 || !kept || removed) continue;
    const bool stored = sh.sh_type != SHT_NOBITS;
    // The loadable segment the section lies in: by file offset for a
    // section with contents, by run address for one without.
    for (const segment& s : segs) {
      const bool inside =
          stored ? sh.sh_offset >= s.fileOffset && fits(sh.sh_offset - s.fileOffset, sh.sh_size, s.fileSize)
                 : sh.sh_addr >= s.run && fits(sh.sh_addr - s.run, sh.sh_size, s.memSize);
      if (!inside) continue;
      segment c = s;
      const uint64_t at = stored ? sh.sh_offset - s.fileOffset : sh.sh_addr - s.run;
      c.load = s.load + at;
      c.run = sh.sh_addr;
      c.fileOffset = stored ? sh.sh_offset : s.fileOffset + s.fileSize;
      c.fileSize = stored ? sh.sh_size : 0;
      c.memSize = sh.sh_size;
      c.bytes = stored && s.readable ? s.bytes.subspan(static_cast<size_t>(at), static_cast<size_t>(sh.sh_size))
                                     : std::span<const uint8_t>{};
      c.section = name;
      chosen.push_back(c);
      break;
    }
  }
  img.segments.resize(first);
  img.segments.insert(img.segments.end(), chosen.begin(), chosen.end());
  return done;
}

// Records which stored bytes of the loadable segments of input `in` (from
// `first` on) its allocated sections with contents hold, for placement
// that leaves out the rest (the ELF header and program header table at a
// segment's head, alignment padding). Only a clean picture is recorded:
// with no usable section header table, segments whose stored bytes
// overlap, or a section that lies partly in a segment, the input's
// segments are placed whole. Time follows the tables: one sort of each.
template <class C>
void findSectionParts(std::span<const uint8_t> file, const typename C::ehdr& eh, bool swapped,
                      const inputSource& in, image& img, size_t first) {
  using Shdr = typename C::shdr;
  if (eh.e_shnum == 0 || eh.e_shentsize != sizeof(Shdr) ||
      !fits(eh.e_shoff, uint64_t{eh.e_shnum} * sizeof(Shdr), file.size()) || eh.e_shstrndx >= eh.e_shnum) {
    return;
  }
  auto section = [&](size_t i) {
    return record<Shdr>(file, eh.e_shoff + i * sizeof(Shdr), swapped, swapSection<Shdr>);
  };
  const Shdr names = section(eh.e_shstrndx);
  if (!fits(names.sh_offset, names.sh_size, file.size())) return;
  const std::string_view table(reinterpret_cast<const char*>(file.data() + names.sh_offset),
                               static_cast<size_t>(names.sh_size));

  // The segments with stored bytes, by file offset; none may share a byte.
  std::vector<uint32_t> order;
  for (size_t k = first; k < img.segments.size(); k++) {
    if (img.segments[k].fileSize > 0) order.push_back(static_cast<uint32_t>(k));
  }
  auto at = [&](uint32_t k) -> const segment& { return img.segments[k]; };
  std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return at(a).fileOffset < at(b).fileOffset; });
  for (size_t i = 1; i < order.size(); i++) {
    const segment& prev = at(order[i - 1]);
    if (prev.fileSize > at(order[i]).fileOffset - prev.fileOffset) return;
  }

  std::vector<sectionPart> parts;
  for (size_t i = 1; i < eh.e_shnum; i++) {
    const Shdr sh = section(i);
    if ((sh.sh_flags & SHF_ALLOC) == 0 || sh.sh_type == SHT_NOBITS || sh.sh_type == SHT_NULL || sh.sh_size == 0) {
      continue;
    }
    // The last segment that starts at or before the section, and the next.
    auto next = std::upper_bound(order.begin(), order.end(), sh.sh_offset,
                                 [&](uint64_t off, uint32_t k) { return off < at(k).fileOffset; });
    const bool straddlesNext = next != order.end() && (at(*next).fileOffset - sh.sh_offset < sh.sh_size);
    if (straddlesNext) return;
    if (next == order.begin()) continue;  // before every segment
    const uint32_t k = *(next - 1);
    const segment& seg = at(k);
    const uint64_t offset = sh.sh_offset - seg.fileOffset;
    if (offset >= seg.fileSize) continue;  // between segments
    if (sh.sh_size > seg.fileSize - offset) return;  // runs past its segment's stored bytes
    std::string_view name;
    if (sh.sh_name < table.size()) {
      name = table.substr(sh.sh_name);
      name = name.substr(0, name.find('\0'));
    }
    parts.push_back({k, offset, sh.sh_size, name});
  }
  std::sort(parts.begin(), parts.end(), [](const sectionPart& a, const sectionPart& b) {
    return a.seg != b.seg ? a.seg < b.seg : a.offset < b.offset;
  });
  // Sections that share bytes become one stretch, named by the first.
  std::vector<sectionPart> merged;
  for (const sectionPart& p : parts) {
    if (!merged.empty() && merged.back().seg == p.seg && p.offset - merged.back().offset < merged.back().size) {
      sectionPart& m = merged.back();
      m.size = std::max(m.size, p.offset - m.offset + p.size);
      continue;
    }
    merged.push_back(p);
  }
  if (in.index >= img.inputs.size()) return;
  img.inputs[in.index].bySection = true;
  img.sectionParts.insert(img.sectionParts.end(), merged.begin(), merged.end());
}

template <class Sym>
void swapSymbol(Sym* s) {
  swapField(s->st_name);
  swapField(s->st_value);
  swapField(s->st_size);
  swapField(s->st_shndx);
}

// The defined symbols of the file's symbol table, for addresses given by
// name. A table that is missing or malformed gives none: a load that needs
// no symbol does not fail on it.
template <class C, class Sym>
void readSymbols(std::span<const uint8_t> file, const typename C::ehdr& eh, bool swapped, uint32_t input,
                 image& img) {
  using Shdr = typename C::shdr;
  if (eh.e_shnum == 0 || eh.e_shentsize != sizeof(Shdr) ||
      !fits(eh.e_shoff, uint64_t{eh.e_shnum} * sizeof(Shdr), file.size())) {
    return;
  }
  auto section = [&](size_t i) {
    return record<Shdr>(file, eh.e_shoff + i * sizeof(Shdr), swapped, swapSection<Shdr>);
  };
  for (size_t i = 1; i < eh.e_shnum; i++) {
    const Shdr tab = section(i);
    if (tab.sh_type != SHT_SYMTAB || tab.sh_entsize != sizeof(Sym) || tab.sh_link >= eh.e_shnum ||
        !fits(tab.sh_offset, tab.sh_size, file.size())) {
      continue;
    }
    const Shdr str = section(tab.sh_link);
    if (!fits(str.sh_offset, str.sh_size, file.size())) continue;
    const std::string_view names(reinterpret_cast<const char*>(file.data() + str.sh_offset),
                                 static_cast<size_t>(str.sh_size));
    for (uint64_t at = sizeof(Sym); at + sizeof(Sym) <= tab.sh_size; at += sizeof(Sym)) {
      const Sym sym = record<Sym>(file, tab.sh_offset + at, swapped, swapSymbol<Sym>);
      if (sym.st_shndx == SHN_UNDEF || sym.st_name >= names.size()) continue;
      std::string_view name = names.substr(sym.st_name);
      name = name.substr(0, name.find('\0'));
      if (!name.empty()) img.symbols.push_back({std::string(name), sym.st_value, input, sym.st_size, sym.st_info, sym.st_shndx});
    }
  }
}

template <class C>
status readClass(std::span<const uint8_t> file, inputSource& in, image& img, std::string& log,
                 sectionChoice& choice, bool wantSymbols) {
  using Ehdr = typename C::ehdr;
  using Phdr = typename C::phdr;
  if (file.size() < sizeof(Ehdr)) return Error{"unable to read elf header\n"};
  Ehdr eh;
  memcpy(&eh, file.data(), sizeof eh);
  log += strf("before swap 0x%x machine 0x%x order 0x%x host 0x%x\n", eh.e_type, eh.e_machine,
              eh.e_ident[EI_DATA], hostorder() & 0xff);
  const bool swapped = eh.e_ident[EI_DATA] != hostorder();
  if (swapped) swapEh(&eh);
  const unsigned bits = sizeof(Ehdr) == sizeof(Elf64_Ehdr) ? 64 : 32;
  if (in.index == 0) {
    img.elfType = eh.e_type;
    img.elfClass = bits;
    img.little = eh.e_ident[EI_DATA] == ELFDATA2LSB;
  }
  if (in.index < img.inputs.size()) {
    img.inputs[in.index].elfType = eh.e_type;
    img.inputs[in.index].elfClass = bits;
  }
  if (eh.e_type != ET_EXEC) return failuref("invalid elf header 0x%x expected 0x%x\n", eh.e_type, ET_EXEC);

  const uint32_t size = uint32_t{eh.e_phentsize} * eh.e_phnum;
  log += strf("sz 0x%x = 0x%x * 0x%x\n", size, eh.e_phnum, eh.e_phentsize);
  if (size == 0 || !fits(eh.e_phoff, size, file.size())) return Error{"unable to read program headers\n"};
  if (eh.e_phentsize != sizeof(Phdr)) return Error{"mismatch in elf prg headers\n"};

  // The run's start address is the first input's that has one.
  if (!img.hasEntry) {
    img.entry = eh.e_entry;
    img.hasEntry = true;
  }
  const size_t first = img.segments.size();
  img.segments.reserve(first + eh.e_phnum);
  for (int i = 0; i < eh.e_phnum; i++) {
    const Phdr p = record<Phdr>(file, eh.e_phoff + uint64_t{sizeof(Phdr)} * i, swapped, swapPh);
    if (p.p_type != PT_LOAD) continue;
    segment s;
    s.load = p.p_paddr;
    s.run = p.p_vaddr;
    s.fileSize = p.p_filesz;
    s.memSize = p.p_memsz;
    s.fileOffset = p.p_offset;
    s.flags = p.p_flags;
    s.type = p.p_type;
    s.readable = fits(p.p_offset, p.p_filesz, file.size());
    if (s.readable) s.bytes = file.subspan(static_cast<size_t>(p.p_offset), static_cast<size_t>(p.p_filesz));
    s.input = in.index;
    s.index = i;
    img.segments.push_back(s);
  }
  if (wantSymbols) {
    if constexpr (sizeof(typename C::ehdr) == sizeof(Elf64_Ehdr)) {
      readSymbols<C, Elf64_Sym>(file, eh, swapped, in.index, img);
    } else {
      readSymbols<C, Elf32_Sym>(file, eh, swapped, in.index, img);
    }
  }
  if (choice.active()) return chooseSections<C>(file, eh, swapped, in, img, first, choice);
  findSectionParts<C>(file, eh, swapped, in, img, first);
  return done;
}

}  // namespace

bool isElf(std::span<const uint8_t> head) {
  return head.size() >= SELFMAG && memcmp(head.data(), ELFMAG, SELFMAG) == 0;
}

status readElf(inputSource& in, image& img, std::string& log, sectionChoice& sections, bool symbols) {
  const Result<std::span<const uint8_t>> file = inputBytes(in, img);
  if (!file) return file.error();
  const bool wide = isElf(*file) && file->size() > EI_CLASS && (*file)[EI_CLASS] == ELFCLASS64;
  return wide ? readClass<elf64>(*file, in, img, log, sections, symbols)
              : readClass<elf32>(*file, in, img, log, sections, symbols);
}

int hostorder() {
  return std::endian::native == std::endian::little ? ELFDATA2LSB : ELFDATA2MSB;
}

void swapEh(Elf32_Ehdr* h) { swapHeader(h); }
void swapEh(Elf64_Ehdr* h) { swapHeader(h); }
void swapPh(Elf32_Phdr* p) { swapEntry(p); }
void swapPh(Elf64_Phdr* p) { swapEntry(p); }

}  // namespace romwright
