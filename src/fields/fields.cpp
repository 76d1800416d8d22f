// Integrity fields: parsing --insert, finding each field's memory and
// range, computing its value and storing it.
#include "fields/fields.hpp"

#include <elf.h>

#include <algorithm>
#include <string_view>

#include "core/bytes.hpp"
#include "core/numbers.hpp"

namespace romwright {

namespace {

// Reads an address of --insert: 0x hex or decimal, or sym:NAME or
// sym:NAME+N. `number` is set to the number's text.
numberRead parseAddress(std::string_view text, insertAddress& a, std::string& number) {
  if (text.starts_with("sym:")) {
    text.remove_prefix(4);
    const size_t plus = text.find('+');
    a.symbol = std::string(text.substr(0, plus));
    if (a.symbol.empty()) return numberRead::malformed;
    if (plus == std::string_view::npos) return numberRead::ok;
    text.remove_prefix(plus + 1);
  }
  number = text;
  return readNumber(number.c_str(), false, a.value, UINT64_MAX);
}

}  // namespace

Result<insertField> parseInsert(const char* text) {
  insertField f;
  f.text = text;
  auto bad = [&](const std::string& why) {
    return errorf(ErrorKind::bad_argument, "--insert", "--insert=%s: %s\n", text, why.c_str());
  };
  const std::string_view all(text);
  const size_t at = all.find('@');
  if (at == std::string_view::npos) return bad("not KIND@WHERE[,over=FROM..TO][,order=little|big]");
  Result<checksumKind> kind = parseChecksumKind(all.substr(0, at));
  if (!kind) return bad(kind.error().message);
  f.kind = *kind;
  const size_t comma = all.find(',', at);
  std::string number;
  // Reads one address, refusing it with `why` or as too large.
  auto address = [&](std::string_view part, insertAddress& a, const char* why) -> status {
    switch (parseAddress(part, a, number)) {
      case numberRead::ok: return done;
      case numberRead::tooLarge: return bad(number + " is too large");
      case numberRead::malformed: break;
    }
    return bad(why);
  };
  if (status s = address(all.substr(at + 1, comma == std::string_view::npos ? comma : comma - at - 1), f.where,
                         "WHERE is an address or sym:NAME[+N]");
      !s) {
    return s.error();
  }
  for (size_t next = comma; next != std::string_view::npos;) {
    const size_t end = all.find(',', next + 1);
    const std::string_view item = all.substr(next + 1, end == std::string_view::npos ? end : end - next - 1);
    next = end;
    if (item.starts_with("over=")) {
      const std::string_view range = item.substr(5);
      const size_t dots = range.find("..");
      const char* why = "over= is FROM..TO, each an address or sym:NAME[+N]";
      if (dots == std::string_view::npos) return bad(why);
      if (status s = address(range.substr(0, dots), f.from, why); !s) return s.error();
      if (status s = address(range.substr(dots + 2), f.to, why); !s) return s.error();
      f.over = true;
    } else if (item == "order=little" || item == "order=big") {
      f.order = item == "order=little" ? ELFDATA2LSB : ELFDATA2MSB;
    } else {
      return bad("not over=FROM..TO or order=little|big: " + std::string(item));
    }
  }
  return f;
}

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

// Feeds the memory's bytes [a, b) to `sum`, at the addresses of its runs:
// placed bytes as they are, the rest as the fill the memory will hold.
void feedRange(checksum& sum, const fieldMemory& m, uint64_t a, uint64_t b) {
  m.p->map.walk(
      a, b, m.fill, [&](const uint8_t* p, uint64_t n) { sum.feed({p, static_cast<size_t>(n)}); },
      [&](uint8_t byte, uint64_t n) { sum.feedRepeated(byte, n); });
}

}  // namespace

status storeInserts(const std::vector<insertField>& fields, std::span<fieldMemory> placed, const image& img,
                    std::deque<std::vector<uint8_t>>& values) {
  std::vector<std::pair<uint64_t, uint64_t>> taken;  // fields stored so far
  for (const insertField& f : fields) {
    const char* text = f.text.c_str();
    const uint64_t width = f.kind.width();
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
    for (const auto& [lo, hi] : taken) {
      if (where <= hi && lo <= where + (width - 1)) {
        return failuref("--insert=%s: overlaps the field at 0x%08llx..0x%08llx\n", text,
                        static_cast<unsigned long long>(lo), static_cast<unsigned long long>(hi));
      }
    }
    // From here on, addresses are those of the memory's runs: the memory's
    // own less its shift.
    const uint64_t shift = m->p->shift;
    uint64_t from = 0, to = 0;  // [from, to)
    if (f.over) {
      const Result<uint64_t> a = addressOf(f.from, img, m->runAddresses, f.text);
      if (!a) return a.error();
      const Result<uint64_t> b = addressOf(f.to, img, m->runAddresses, f.text);
      if (!b) return b.error();
      if (*b < *a) return failuref("--insert=%s: over= ends before it starts\n", text);
      if (*a < firstOf(*m) || *b > lastOf(*m)) {
        return failuref("--insert=%s: over= covers bytes outside the memory holding the field, "
                        "0x%08llx..0x%08llx\n",
                        text, static_cast<unsigned long long>(firstOf(*m)),
                        static_cast<unsigned long long>(lastOf(*m)));
      }
      from = *a - shift;
      to = *b - shift + 1;
    } else if (!m->p->map.empty()) {
      // The placed bytes of the memory: from its first to its last.
      const auto& runs = m->p->map.runs();
      from = std::max(runs.begin()->first, m->p->base);
      to = std::min(runs.rbegin()->second.end, m->p->base + m->p->size);
    }
    where -= shift;
    const bool little = f.order != 0 ? f.order == ELFDATA2LSB : m->little;
    checksum sum(f.kind, little);
    // The field's own bytes are left out of what it covers.
    const uint64_t cut = std::clamp(where, from, to), resume = std::clamp(where + width, from, to);
    feedRange(sum, *m, from, cut);
    feedRange(sum, *m, resume, to);
    if (sum.overflowed()) {
      return failuref("--insert=%s: %llu bytes are more than it can count\n", text,
                      static_cast<unsigned long long>(to - from));
    }
    const uint64_t v = sum.value();
    std::vector<uint8_t>& bytes = values.emplace_back(width);
    for (uint64_t i = 0; i < width; i++) {
      bytes[little ? i : width - 1 - i] = static_cast<uint8_t>(v >> (8 * i));
    }
    fieldMemory& target = *m;
    target.p->map.paint(where, where + width, bytes.data(), 0);
    // A field in the memory's padding words makes them part of what the
    // writers read of the runs.
    const uint32_t wordBytes = target.wordBytes;
    const uint64_t reach = (where + width - target.p->base + wordBytes - 1) / wordBytes * wordBytes;
    target.p->size = std::max(target.p->size, reach);
    taken.emplace_back(where + shift, where + shift + (width - 1));
  }
  return done;
}

}  // namespace romwright
