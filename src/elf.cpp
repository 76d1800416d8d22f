// ELF image loader. The file is untrusted: every file range and every address
// room is checked with fits() before it is used.
#include "elf.hpp"
#include "output.hpp"

#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string>

namespace {

constexpr uint64_t addressSpace = uint64_t{1} << 32;

// Where the loader's lines go: standard error, or, while they are held,
// a buffer that is written out only when the load fails.
FILE* diag = stderr;
char* held;
size_t heldLen;

// Writes out what a failed load held back.
void speak() {
  if (diag == stderr) return;
  fflush(diag);
  fwrite(held, 1, heldLen, stderr);
  fclose(diag);
  free(held);
  diag = stderr;
}

// The file header and program header table of the load in progress.
Elf32_Ehdr eh;
std::unique_ptr<Elf32_Phdr[]> ph;

// The open input file, and its size when it is a regular file.
FILE* in;
const char* inPath;
bool inSized;
uint64_t inSize;

// Reads `size` bytes at file offset `off` into `dst`.
bool readAt(uint64_t off, uint64_t size, void* dst) {
  if (size == 0 || (inSized && !fits(off, size, inSize))) return false;
  if (off > uint64_t{LONG_MAX} || fseek(in, static_cast<long>(off), SEEK_SET) != 0) return false;
  return fread(dst, size, 1, in) == 1;
}

// A buffer of `n` bytes that a read of file bytes will fill whole. A large
// one is aligned to huge pages, which cuts the page faults of reading a big
// text image; it is not zeroed, since the read covers every byte.
void* fileBuffer(uint64_t n) {
  constexpr uint64_t huge = uint64_t{2} << 20;
  if (n < 4 * huge) return calloc(n, 1);
  void* p = nullptr;
  if (posix_memalign(&p, huge, n) != 0) return nullptr;
  madvise(p, n, MADV_HUGEPAGE);
  return p;
}

// One of the two images while segments are merged into it. `held` records
// the ranges of the image that hold file bytes, as disjoint, non-touching
// [start, end) offsets keyed by start. Every byte outside them is zero (the
// buffers come from calloc, and a byte leaves the record only when it is
// zeroed), so zero fills, growth and the tail trim visit only these ranges:
// their work follows the file's bytes, and a room that the file leaves zero
// is never touched.
struct part {
  uint8_t** bytes;
  uint32_t* addr;
  uint32_t* len;
  uint64_t cap;
  std::map<uint64_t, uint64_t> held;
  bool taken;
};

// Records that [from, to) holds file bytes, merging it with the ranges it
// overlaps or touches.
void hold(part& p, uint64_t from, uint64_t to) {
  auto it = p.held.upper_bound(from);
  if (it != p.held.begin() && std::prev(it)->second >= from) {
    --it;
    from = it->first;
  }
  for (; it != p.held.end() && it->first <= to; it = p.held.erase(it)) {
    to = std::max(to, it->second);
  }
  p.held.emplace_hint(it, from, to);
}

// Zeroes the file bytes held in [from, to) and drops them from the record.
void clear(part& p, uint64_t from, uint64_t to) {
  if (from >= to) return;
  auto it = p.held.upper_bound(from);
  if (it != p.held.begin() && std::prev(it)->second > from) --it;
  while (it != p.held.end() && it->first < to) {
    const uint64_t start = it->first, end = it->second;
    const uint64_t lo = std::max(start, from), hi = std::min(end, to);
    memset(*p.bytes + lo, 0, hi - lo);
    it = p.held.erase(it);
    if (start < lo) p.held.emplace_hint(it, start, lo);
    if (hi < end) it = p.held.emplace_hint(it, hi, end);
  }
}

// Makes room for `need` bytes. New bytes come from calloc, which hands out
// untouched zero pages for large sizes; only the held ranges are copied over.
bool reserve(part& p, uint64_t need) {
  if (need <= p.cap) return true;
  uint64_t want = std::max(need, std::min(p.cap * 2, addressSpace - 1));
  auto* grown = static_cast<uint8_t*>(calloc(want, 1));
  if (grown == nullptr && want > need) grown = static_cast<uint8_t*>(calloc(want = need, 1));
  if (grown == nullptr) return false;
  for (const auto& [start, end] : p.held) memcpy(grown + start, *p.bytes + start, end - start);
  free(*p.bytes);
  *p.bytes = grown;
  p.cap = want;
  return true;
}

// Puts entry `i` into the text or data image; false after a message.
bool place(int i, const Elf32_Phdr& seg, part& text, part& data) {
  const uint64_t vaddr = seg.p_vaddr, filesz = seg.p_filesz, memsz = seg.p_memsz;
  if (filesz > memsz) {
    fprintf(diag, "segment %d file size 0x%x exceeds memory size 0x%x\n", i, seg.p_filesz,
            seg.p_memsz);
    return false;
  }
  const bool isText = (seg.p_flags & PF_X) != 0;
  part& p = isText ? text : data;
  // A further segment's image must stay below 2^32 bytes, so that its length
  // fits the image's 32-bit fields.
  if (!fits(vaddr, memsz, addressSpace) ||
      (p.taken && vaddr >= *p.addr && vaddr - *p.addr + memsz >= addressSpace)) {
    fprintf(diag, "segment %d exceeds the 32-bit address space\n", i);
    return false;
  }

  uint64_t off = 0;
  if (!p.taken) {
    // The first text segment's image ends after its file bytes; a data
    // segment's takes its whole room, of which only the file bytes are held.
    const uint64_t len = isText ? filesz : memsz;
    *p.bytes = static_cast<uint8_t*>(fileBuffer(std::max<uint64_t>(filesz, 1)));
    if (*p.bytes == nullptr) {
      fputs("out of mem\n", diag);
      return false;
    }
    p.cap = filesz;
    p.taken = true;
    *p.addr = seg.p_vaddr;
    *p.len = static_cast<uint32_t>(len);
  } else {
    if (isText && data.taken) {
      fputs("Mult text with intermediate Data!!!\n", diag);
      return false;
    }
    if (vaddr < *p.addr) {
      fprintf(diag, "segment %d out of address order\n", i);
      return false;
    }
    if (isText) fputs("Warning: multiple text segments...\n", diag);
    off = vaddr - *p.addr;
    const uint64_t len = std::max<uint64_t>(*p.len, off + memsz);
    // The writers need every text byte; of the data image only bytes that
    // can be nonzero are ever read (the tail trim keeps the length below
    // them), so its buffer holds just the file bytes.
    if (!reserve(p, isText ? len : off + filesz)) {
      fprintf(diag, isText ? "unable to realloc text %d\n" : "unable to realloc data %d\n", i);
      return false;
    }
    *p.len = static_cast<uint32_t>(len);
    // The room's bytes past its file bytes become zero, replacing what an
    // earlier segment put there. A hole before the room is zero already.
    clear(p, off + filesz, off + memsz);
  }

  if (filesz > 0) {
    if (!readAt(seg.p_offset, filesz, *p.bytes + off)) {
      fprintf(diag, "unable to read segment %d\n", i);
      return false;
    }
    hold(p, off, off + filesz);
  }
  return true;
}

// Merges the loadable segments of `ph` into a new image.
elfImage* eatPh() {
  auto* img = static_cast<elfImage*>(calloc(1, sizeof(elfImage)));
  if (img == nullptr) {
    fputs("out of mem\n", diag);
    return nullptr;
  }
  img->entryAddr = eh.e_entry;
  part text{&img->textBytes, &img->textAddr, &img->textLen, 0, {}, false};
  part data{&img->dataBytes, &img->dataAddr, &img->dataLen, 0, {}, false};
  for (int i = 0; i < eh.e_phnum; i++) {
    const Elf32_Phdr& seg = ph[i];
    if (seg.p_type != PT_LOAD || (seg.p_filesz == 0 && seg.p_memsz == 0)) continue;
    bool placed = false;
    try {
      placed = place(i, seg, text, data);
    } catch (const std::bad_alloc&) {  // the record of held ranges could not grow
      fputs("out of mem\n", diag);
    }
    if (!placed) {
      // The process ends after a failed load; releasing here keeps the
      // loader clean when it is run many times in one process.
      free(img->textBytes);
      free(img->dataBytes);
      free(img);
      return nullptr;
    }
  }

  // Take the zero tail off the data image; only held bytes can be nonzero,
  // so the scan goes down through them alone.
  uint64_t k = 0;
  for (auto it = data.held.rbegin(); it != data.held.rend() && k == 0; ++it) {
    for (uint64_t at = it->second; at > it->first && k == 0; at--) {
      if (img->dataBytes[at - 1] != 0) k = at;
    }
  }
  if (k < img->dataLen) {
    img->bssLen = img->dataLen - static_cast<uint32_t>(k);
    img->bssAddr = img->dataAddr + static_cast<uint32_t>(k);
    img->dataLen = static_cast<uint32_t>(k);
  }
  return img;
}

// Reads the header and table of the open file `in` into `eh` and `ph`, in
// host order; false after a message.
bool readTable() {
  if (fread(&eh, sizeof eh, 1, in) != 1) {
    fputs("unable to read elf header\n", diag);
    return false;
  }
  fprintf(diag, "before swap 0x%x machine 0x%x order 0x%x host 0x%x\n", eh.e_type,
          eh.e_machine, eh.e_ident[EI_DATA], hostorder() & 0xff);
  const bool swapped = eh.e_ident[EI_DATA] != hostorder();
  if (swapped) swapEh(&eh);
  if (eh.e_type != ET_EXEC) {
    fprintf(diag, "invalid elf header 0x%x expected 0x%x\n", eh.e_type, ET_EXEC);
    return false;
  }

  const uint32_t size = uint32_t{eh.e_phentsize} * eh.e_phnum;
  fprintf(diag, "sz 0x%x = 0x%x * 0x%x\n", size, eh.e_phnum, eh.e_phentsize);
  // The table is read as raw bytes first: its entry size is checked after
  // the read, and only then are the bytes taken as entries.
  if (size > 0 && inSized && !fits(eh.e_phoff, size, inSize)) {
    fputs("unable to read program headers\n", diag);
    return false;
  }
  ph.reset(new (std::nothrow) Elf32_Phdr[(size + sizeof(Elf32_Phdr) - 1) / sizeof(Elf32_Phdr)]);
  if (ph == nullptr) {
    fputs("out of mem\n", diag);
    return false;
  }
  if (!readAt(eh.e_phoff, size, ph.get())) {
    fputs("unable to read program headers\n", diag);
    return false;
  }
  if (eh.e_phentsize != sizeof(Elf32_Phdr)) {
    fputs("mismatch in elf prg headers\n", diag);
    return false;
  }
  if (swapped) {
    for (int i = 0; i < eh.e_phnum; i++) swapPh(&ph[i]);
  }
  return true;
}

// The whole file, for the memory-image mode: mapped when it can be, else
// read; held until elfClose.
std::span<const uint8_t> fileBytes;
void* mapped;
std::string readBytes;

}  // namespace

int hostorder() {
  return std::endian::native == std::endian::little ? ELFDATA2LSB : ELFDATA2MSB;
}

uint16_t swap16(uint16_t v) { return static_cast<uint16_t>(v << 8 | v >> 8); }

uint32_t swap32(uint32_t v) {
  return v << 24 | (v & 0xff00) << 8 | (v >> 8 & 0xff00) | v >> 24;
}

void swapEh(Elf32_Ehdr* h) {
  h->e_type = swap16(h->e_type);
  h->e_machine = swap16(h->e_machine);
  h->e_version = swap32(h->e_version);
  h->e_entry = swap32(h->e_entry);
  h->e_phoff = swap32(h->e_phoff);
  h->e_shoff = swap32(h->e_shoff);
  h->e_flags = swap32(h->e_flags);
  h->e_ehsize = swap16(h->e_ehsize);
  h->e_phentsize = swap16(h->e_phentsize);
  h->e_phnum = swap16(h->e_phnum);
  h->e_shentsize = swap16(h->e_shentsize);
  h->e_shnum = swap16(h->e_shnum);
  h->e_shstrndx = swap16(h->e_shstrndx);
}

void swapPh(Elf32_Phdr* p) {
  for (Elf32_Word* w : {&p->p_type, &p->p_offset, &p->p_vaddr, &p->p_paddr, &p->p_filesz,
                        &p->p_memsz, &p->p_flags, &p->p_align}) {
    *w = swap32(*w);
  }
}

bool fits(uint64_t off, uint64_t size, uint64_t limit) {
  return size <= limit && off <= limit - size;
}

bool elfOpen(const char* path) {
  in = fopen(path, "rb");
  inPath = path;
  if (in == nullptr) {
    fprintf(diag, "unable to open %s\n", path);
    speak();
    return false;
  }
  struct stat st {};
  inSized = fstat(fileno(in), &st) == 0 && S_ISREG(st.st_mode);
  inSize = inSized ? static_cast<uint64_t>(st.st_size) : 0;
  if (readTable()) return true;
  speak();
  elfClose();
  return false;
}

elfImage* elfMerge() {
  elfImage* img = eatPh();
  if (img == nullptr) speak();
  return img;
}

void elfHold() {
  if (diag != stderr) return;
  FILE* f = open_memstream(&held, &heldLen);
  if (f != nullptr) diag = f;
}

uint32_t elfEntry() { return eh.e_entry; }

int elfOrder() { return eh.e_ident[EI_DATA] == ELFDATA2LSB ? ELFDATA2LSB : ELFDATA2MSB; }

std::span<const Elf32_Phdr> elfSegments() { return {ph.get(), ph == nullptr ? 0u : eh.e_phnum}; }

std::span<const uint8_t> elfFileBytes() {
  if (fileBytes.data() != nullptr || in == nullptr) return fileBytes;
  if (inSized && inSize > 0 && inSize <= SIZE_MAX) {
    void* p = mmap(nullptr, inSize, PROT_READ, MAP_PRIVATE, fileno(in), 0);
    if (p != MAP_FAILED) {
      mapped = p;
      guardMappedInput(p, static_cast<size_t>(inSize), inPath);
      return fileBytes = {static_cast<const uint8_t*>(p), static_cast<size_t>(inSize)};
    }
  }
  // Not a mappable file: read it whole, as far as it goes.
  char buf[65536];
  rewind(in);
  for (size_t n; (n = fread(buf, 1, sizeof buf, in)) > 0;) readBytes.append(buf, n);
  return fileBytes = {reinterpret_cast<const uint8_t*>(readBytes.data()), readBytes.size()};
}

void elfClose() {
  if (mapped != nullptr) {
    releaseMappedInput(mapped);
    munmap(mapped, fileBytes.size());
  }
  mapped = nullptr;
  readBytes.clear();
  readBytes.shrink_to_fit();
  fileBytes = {};
  ph.reset();
  if (in != nullptr) fclose(in);
  in = nullptr;
}

elfImage* elfRead(const char* path) {
  if (!elfOpen(path)) return nullptr;
  elfImage* img = elfMerge();
  elfClose();
  return img;
}

void dumpImage(const elfImage* img) {
  printf("text 0x%08x:0x%08x\n", img->textAddr, img->textLen);
  printf("data 0x%08x:0x%08x\n", img->dataAddr, img->dataLen);
  printf("bss  0x%08x:0x%08x\n", img->bssAddr, img->bssLen);
  printf("entry 0x%x\n", img->entryAddr);
}
