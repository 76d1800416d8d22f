// Integrity fields: finding each field's memory and ranges, computing its
// value and storing it.
#include "fields/fields.hpp"

#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <string_view>

#include "core/bytes.hpp"

namespace romwright {

namespace {

// The address `a` stands for in a memory that places bytes at run
// addresses or at load addresses: a symbol's value is its run address, and
// its load address is where the segment holding it is stored.
Result<uint64_t> addressOf(const insertAddress& a, const image& img, bool run, const std::string& text) {
  if (a.symbol.empty()) return a.value;
  for (const symbolInfo& sym : img.symbols) {
    if (sym.name != a.symbol) continue;
    uint64_t at = sym.value;
    if (!run) {
      for (const segment& seg : img.segments) {
        if (seg.input == sym.input && sym.value >= seg.run && sym.value - seg.run < std::max(seg.memSize, uint64_t{1})) {
          at = seg.load + (sym.value - seg.run);
          // A load address past the end of the address space is none.
          if (at < seg.load) return failuref("--insert=%s: %s lies past the end of the address space\n", text.c_str(),
                                             a.symbol.c_str());
          break;
        }
      }
    }
    if (!fits(at, a.value, UINT64_MAX)) {
      return failuref("--insert=%s: %s+0x%llx lies past the end of the address space\n", text.c_str(),
                      a.symbol.c_str(), static_cast<unsigned long long>(a.value));
    }
    return at + a.value;
  }
  return failuref("--insert=%s: no ELF input defines the symbol %s\n", text.c_str(), a.symbol.c_str());
}

// The first address of memory `m` and its last: a memory may end at 2^64.
uint64_t firstOf(const fieldMemory& m) { return m.p->address(); }
uint64_t lastOf(const fieldMemory& m) { return m.p->address() + (m.depth * m.wordBytes - 1); }

// The first memory whose words hold the `size` bytes at the address `a`
// stands for in it (set in `at`), or null.
fieldMemory* holding(std::span<fieldMemory> placed, const image& img, const insertAddress& a, uint64_t size,
                      const std::string& text, uint64_t& at) {
  for (fieldMemory& m : placed) {
    const Result<uint64_t> addr = addressOf(a, img, m.runAddresses, text);
    if (!addr) continue;
    if (*addr >= firstOf(m) && *addr <= lastOf(m) && size - 1 <= lastOf(m) - *addr) {
      at = *addr;
      return &m;
    }
  }
  return nullptr;
}

// Feeds the memory's bytes [a, b) to `e`: placed bytes as they are, the
// rest as the fill the memory will hold.
void feedRange(fieldEngine& e, const fieldMemory& m, uint64_t a, uint64_t b) {
  m.p->map.walk(
      a, b, m.fill, [&](const uint8_t* p, uint64_t n) { e.feed({p, static_cast<size_t>(n)}); },
      [&](uint8_t byte, uint64_t n) { e.feedRepeated(byte, n); });
}

// The memory's placed bytes from its first to its last, [a, b), with the
// field's own bytes [where, where + width) among them when `withField`;
// a == b when there are none.
std::pair<uint64_t, uint64_t> placedSpan(const fieldMemory& m, uint64_t where, uint64_t width, bool withField) {
  uint64_t a = 0, b = 0;
  if (!m.p->map.empty()) {
    const auto& runs = m.p->map.runs();
    a = std::max(runs.begin()->first, m.p->base);
    b = std::min(runs.rbegin()->second.end, m.p->base + m.p->size);
  }
  if (withField && width > 0) {
    if (a >= b) return {where, where + width};
    a = std::min(a, where);
    b = std::max(b, where + width);
  }
  return {a, b};
}

// The ranges a computed field covers, [a, b) each, in the order given.
Result<std::vector<std::pair<uint64_t, uint64_t>>> rangesOf(const insertField& f, const fieldMemory& m,
                                                            const image& img, uint64_t where, uint64_t width) {
  const char* text = f.text.c_str();
  const auto [placedFrom, placedTo] = placedSpan(m, where, width, f.self == selfBytes::zero);
  std::vector<std::pair<uint64_t, uint64_t>> ranges;
  if (f.over.empty()) {
    if (placedFrom < placedTo) ranges.emplace_back(placedFrom, placedTo);
    return ranges;
  }
  const uint64_t memEnd = m.p->base + m.depth * m.wordBytes;
  for (size_t i = 0; i < f.over.size(); i++) {
    const insertRange& r = f.over[i];
    const std::string name = f.over.size() == 1 ? std::string("over=") : strf("over= range %zu", i + 1);
    const Result<uint64_t> a = addressOf(r.from, img, m.runAddresses, f.text);
    if (!a) return a.error();
    uint64_t last = 0;
    if (r.toEnd) {
      if (placedFrom >= placedTo) {
        return failuref("--insert=%s: %s ends at end, but no byte is placed in the memory holding the field\n", text,
                        name.c_str());
      }
      last = placedTo - 1;
    } else {
      const Result<uint64_t> b = addressOf(r.to, img, m.runAddresses, f.text);
      if (!b) return b.error();
      if (*b < m.p->shift) {
        return failuref("--insert=%s: %s covers bytes outside the memory holding the field\n", text, name.c_str());
      }
      last = *b - m.p->shift;
    }
    if (*a < m.p->shift) {
      return failuref("--insert=%s: %s covers bytes outside the memory holding the field\n", text, name.c_str());
    }
    const uint64_t first = *a - m.p->shift;
    if (last < first) return failuref("--insert=%s: %s ends before it starts\n", text, name.c_str());
    if (first < m.p->base || last >= memEnd) {
      return failuref("--insert=%s: %s covers bytes outside the memory holding the field, 0x%08llx..0x%08llx\n",
                      text, name.c_str(), static_cast<unsigned long long>(m.p->base),
                      static_cast<unsigned long long>(memEnd - 1));
    }
    ranges.emplace_back(first, last + 1);
  }
  return ranges;
}

// The bytes of a file: field, when no memory has room for more than
// `limit` bytes: a longer file is refused having read limit + 1 bytes.
Result<std::vector<uint8_t>> readFieldFile(const insertField& f, uint64_t limit) {
  const char* path = f.kind.path.c_str();
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    return Error{strf("--insert=%s: %s: cannot open it: %s\n", f.text.c_str(), path, reasonOf(err).c_str()),
                 ErrorKind::unreadable, f.kind.path, err};
  }
  std::vector<uint8_t> bytes;
  uint8_t block[65536];
  for (;;) {
    const ssize_t n = read(fd, block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int err = errno;
      close(fd);
      return Error{strf("--insert=%s: %s: cannot read it: %s\n", f.text.c_str(), path, reasonOf(err).c_str()),
                   ErrorKind::unreadable, f.kind.path, err};
    }
    if (n == 0) break;
    bytes.insert(bytes.end(), block, block + n);
    if (bytes.size() > limit) {
      close(fd);
      return failuref("--insert=%s: %s is larger than any memory of the run (%llu bytes)\n", f.text.c_str(), path,
                      static_cast<unsigned long long>(limit));
    }
  }
  close(fd);
  if (bytes.empty()) return failuref("--insert=%s: %s is empty\n", f.text.c_str(), path);
  return bytes;
}

// The signature of the digest field stored before `f` at its of= address.
Result<std::vector<uint8_t>> signField(const insertField& f, const image& img, const std::vector<storedField>& stored) {
  const char* text = f.text.c_str();
  for (const storedField& s : stored) {
    if (s.field->kind.what != fieldKind::type::digest) continue;
    const Result<uint64_t> at = addressOf(f.of, img, s.runAddresses, f.text);
    if (!at) return at.error();
    if (*at != s.address) continue;
    Result<signer> sig = signer::open(f.kind.signature);
    if (!sig) return failuref("--insert=%s: %s\n", text, sig.error().message.c_str());
    Result<std::vector<uint8_t>> v = sig->signDigest(s.bytes);
    if (!v) return failuref("--insert=%s: %s\n", text, v.error().message.c_str());
    return v;
  }
  return failuref("--insert=%s: of= names no digest field stored before it\n", text);
}

// Computes a field's value over its ranges.
Result<std::vector<uint8_t>> compute(const insertField& f, const fieldMemory& m, const image& img, uint64_t where,
                                     uint64_t width, bool little) {
  const char* text = f.text.c_str();
  Result<std::vector<std::pair<uint64_t, uint64_t>>> ranges = rangesOf(f, m, img, where, width);
  if (!ranges) return ranges.error();
  // The field's own bytes in each range: left out, or fed as zeros.
  const bool zero = f.self == selfBytes::zero;
  for (const auto& [a, b] : *ranges) {
    const uint64_t own = std::clamp(where + width, a, b) - std::clamp(where, a, b);
    const uint64_t fed = b - a - (zero ? 0 : own);
    if (fed % f.unitBytes != 0) {
      return failuref("--insert=%s: unit=%u takes whole %u-byte words, not the %llu bytes of 0x%08llx..0x%08llx\n",
                      text, f.unitBytes * 8, f.unitBytes, static_cast<unsigned long long>(fed),
                      static_cast<unsigned long long>(a), static_cast<unsigned long long>(b - 1));
    }
  }
  Result<std::unique_ptr<fieldEngine>> made = engineFor(f, little);
  if (!made) return failuref("--insert=%s: %s\n", text, made.error().message.c_str());
  fieldEngine* e = made->get();
  for (const auto& [a, b] : *ranges) {
    const uint64_t cut = std::clamp(where, a, b), resume = std::clamp(where + width, a, b);
    feedRange(*e, m, a, cut);
    if (zero && resume > cut) e->feedRepeated(0, resume - cut);
    feedRange(*e, m, resume, b);
  }
  Result<std::vector<uint8_t>> value = e->finish();
  if (!value) return failuref("--insert=%s: %s\n", text, value.error().message.c_str());
  return value;
}

}  // namespace

Result<std::unique_ptr<fieldEngine>> engineFor(const insertField& f, bool little) {
  switch (f.kind.what) {
    case fieldKind::type::checksum: return checksumEngine(f.kind.sum, little, f.unitBytes);
    case fieldKind::type::digest: return digestEngine(f.kind.digest);
    case fieldKind::type::signature: return signatureEngine(f.kind.signature);
    case fieldKind::type::number:
    case fieldKind::type::bytes:
    case fieldKind::type::file: break;
  }
  return failuref("%s is no value computed over ranges", f.text.c_str());
}

status storeInserts(const std::vector<insertField>& fields, std::span<fieldMemory> placed, const image& img,
                    std::deque<std::vector<uint8_t>>& values, std::vector<storedField>& stored) {
  uint64_t largest = 0;  // the bytes of the largest memory
  for (const fieldMemory& m : placed) largest = std::max(largest, m.depth * m.wordBytes);
  for (const insertField& f : fields) {
    const char* text = f.text.c_str();
    std::vector<uint8_t> fileBytes;
    if (f.kind.what == fieldKind::type::file) {
      Result<std::vector<uint8_t>> read = readFieldFile(f, largest);
      if (!read) return read.error();
      fileBytes = std::move(*read);
    }
    const uint64_t width = f.kind.what == fieldKind::type::file ? fileBytes.size() : f.kind.width();
    uint64_t where = 0;
    fieldMemory* m = holding(placed, img, f.where, width, f.text, where);
    if (m == nullptr) {
      if (!f.where.symbol.empty()) {
        for (const fieldMemory& any : placed) {
          if (Result<uint64_t> r = addressOf(f.where, img, any.runAddresses, f.text); !r) return r.error();
        }
      }
      return failuref("--insert=%s: its %llu bytes lie in no memory\n", text, static_cast<unsigned long long>(width));
    }
    // Fields are [lo, hi], inclusive: one may end at 2^64.
    for (const storedField& s : stored) {
      const uint64_t lo = s.address, hi = s.address + (s.bytes.size() - 1);
      if (where <= hi && lo <= where + (width - 1)) {
        return failuref("--insert=%s: overlaps the field at 0x%08llx..0x%08llx\n", text,
                        static_cast<unsigned long long>(lo), static_cast<unsigned long long>(hi));
      }
    }
    const bool little = f.order != 0 ? f.order == ELFDATA2LSB : m->little;
    // From here on, addresses are those of the memory's runs: the memory's
    // own less its shift (not 0 only for a memory that ends at 2^64).
    const uint64_t shift = m->p->shift;
    const uint64_t at = where - shift;
    std::vector<uint8_t>& bytes = values.emplace_back();
    if (f.kind.what == fieldKind::type::file) {
      bytes = std::move(fileBytes);
    } else if (f.signsField) {
      Result<std::vector<uint8_t>> v = signField(f, img, stored);
      if (!v) return v.error();
      bytes = std::move(*v);
    } else if (f.kind.computed()) {
      Result<std::vector<uint8_t>> v = compute(f, *m, img, at, width, little);
      if (!v) return v.error();
      bytes = std::move(*v);
    } else {
      bytes = constantBytes(f.kind, little);
    }
    fieldMemory& target = *m;
    target.p->map.paint(at, at + width, bytes.data(), 0);
    // A field in the memory's padding words makes them part of what the
    // writers read of the runs.
    const uint32_t wordBytes = target.wordBytes;
    const uint64_t reach = (at + width - target.p->base + wordBytes - 1) / wordBytes * wordBytes;
    target.p->size = std::max(target.p->size, reach);
    stored.push_back({&f, target.runAddresses, where, bytes});
  }
  return done;
}

}  // namespace romwright
