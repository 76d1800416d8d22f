// The map of a run: its memories range by range, with the symbols in them.
#include "out/map.hpp"

#include <elf.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>

#include "core/error.hpp"
#include "formats/registry.hpp"
#include "place/place.hpp"

namespace romwright {

namespace {

unsigned long long ull(uint64_t v) { return v; }

// The bytes of a memory: its whole depth.
uint64_t memoryBytes(const placedMemory& m) { return m.depth * (m.o->width / 8); }

// The stretches of img.sectionParts that belong to segment `k`.
std::span<const sectionPart> partsOf(const image& img, uint32_t k) {
  const auto& all = img.sectionParts;
  const auto lo = std::lower_bound(all.begin(), all.end(), k, [](const sectionPart& p, uint32_t s) { return p.seg < s; });
  const auto hi = std::upper_bound(lo, all.end(), k, [](uint32_t s, const sectionPart& p) { return s < p.seg; });
  return {all.data() + (lo - all.begin()), static_cast<size_t>(hi - lo)};
}

bool sameOrigin(const mapRow& a, const mapRow& b) {
  return a.what == b.what && a.seg == b.seg && a.section == b.section && a.field == b.field;
}

// Adds `r` to `rows`, joining it to the last row when it goes on from it
// with the same origin.
void addRow(std::vector<mapRow>& rows, const mapRow& r) {
  if (!rows.empty() && sameOrigin(rows.back(), r) && rows.back().last + 1 == r.first) {
    rows.back().last = r.last;
    return;
  }
  rows.push_back(r);
}

// Rows for the bytes [s, e] (map addresses) that run `from` of segment `k`
// puts there, `from` pointing at the byte at s: split where the sections
// that hold them change.
void bytesRows(std::vector<mapRow>& rows, const image& img, uint32_t k, const uint8_t* from, uint64_t s, uint64_t e) {
  const segment& sg = img.segments[k];
  mapRow r{mapRow::kind::bytes, s, e, k, sg.section, nullptr};
  const uintptr_t at = reinterpret_cast<uintptr_t>(from), start = reinterpret_cast<uintptr_t>(sg.bytes.data());
  const bool inSegment = !sg.bytes.empty() && at >= start && at - start < sg.bytes.size();
  if (!sg.section.empty() || !img.inputs[sg.input].bySection || !inSegment) {
    addRow(rows, r);
    return;
  }
  // Offsets [off, end) into the segment's stored bytes.
  const uint64_t off = at - start, end = off + (e - s) + 1;
  const std::span<const sectionPart> parts = partsOf(img, k);
  auto it = std::partition_point(parts.begin(), parts.end(),
                                 [&](const sectionPart& p) { return p.offset + p.size <= off; });
  uint64_t next = off;  // offsets below it have rows
  auto piece = [&](uint64_t a, uint64_t b, std::string_view name) {
    r.first = s + (a - off);
    r.last = s + (b - off) - 1;
    r.section = name;
    addRow(rows, r);
  };
  for (; it != parts.end() && it->offset < end; ++it) {
    const uint64_t a = std::max(it->offset, off), b = std::min(it->offset + it->size, end);
    if (a >= b) continue;
    if (a > next) piece(next, a, {});
    piece(a, b, it->name);
    next = b;
  }
  if (next < end) piece(next, end, {});
}

// ---- Symbols ----------------------------------------------------------------

// The symbols a map lists: functions and objects, and the global labels of
// sections (such as a linker script's _sdata); not the mapping symbols
// ($a, $d, $t) and local labels of assembly, nor absolute values.
bool listed(const symbolInfo& s) {
  const unsigned type = ELF64_ST_TYPE(s.info), bind = ELF64_ST_BIND(s.info);
  if (type == STT_FUNC || type == STT_OBJECT || type == STT_GNU_IFUNC) return true;
  return type == STT_NOTYPE && (bind == STB_GLOBAL || bind == STB_WEAK) && s.section != SHN_ABS &&
         s.section != SHN_COMMON;
}

const char* typeName(const symbolInfo& s) {
  switch (ELF64_ST_TYPE(s.info)) {
    case STT_FUNC:
    case STT_GNU_IFUNC: return "function";
    case STT_OBJECT: return "object";
    default: return "label";
  }
}

const char* bindName(const symbolInfo& s) {
  switch (ELF64_ST_BIND(s.info)) {
    case STB_LOCAL: return "local";
    case STB_WEAK: return "weak";
    default: return "global";
  }
}

// Where the bytes of symbol `s` lie in a memory at run addresses (its
// value) or at load addresses (where the segment holding it is stored), as
// --insert's sym: finds them. False for a load address past the end of the
// address space.
bool symbolAddress(const image& img, const symbolInfo& s, bool run, uint64_t& at) {
  at = s.value;
  if (run) return true;
  for (const segment& seg : img.segments) {
    if (seg.input == s.input && s.value >= seg.run && s.value - seg.run < std::max(seg.memSize, uint64_t{1})) {
      at = seg.load + (s.value - seg.run);
      return at >= seg.load;
    }
  }
  return true;
}

struct placedSymbol {
  uint64_t address;
  const symbolInfo* sym;
};

// The listed symbols that lie in memory `m`, by address, then name.
std::vector<placedSymbol> symbolsIn(const placedMemory& m, const image& img) {
  const uint64_t first = m.p.address(), last = first + (memoryBytes(m) - 1);
  std::vector<placedSymbol> out;
  for (const symbolInfo& s : img.symbols) {
    uint64_t at = 0;
    if (!listed(s) || !symbolAddress(img, s, m.o->runAddresses, at) || at < first || at > last) continue;
    out.push_back({at, &s});
  }
  std::sort(out.begin(), out.end(), [](const placedSymbol& a, const placedSymbol& b) {
    return a.address != b.address ? a.address < b.address : a.sym->name < b.sym->name;
  });
  return out;
}

// Calls `fn(row, symbols)` for each row of `rows`, with the symbols of
// `syms` (sorted) that lie in it.
template <class Fn>
void eachRow(const std::vector<mapRow>& rows, const std::vector<placedSymbol>& syms, Fn fn) {
  size_t k = 0;
  for (const mapRow& r : rows) {
    const size_t from = k;
    while (k < syms.size() && syms[k].address <= r.last) k++;
    fn(r, std::span<const placedSymbol>(syms.data() + from, k - from));
  }
}

// ---- Text ---------------------------------------------------------------------

// `s` with control characters and DEL as \xHH, so that a name from an input
// cannot break the lines of the map.
std::string printable(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (const char c : s) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7f || b == '\\') {
      out += b == '\\' ? std::string("\\\\") : strf("\\x%02x", b);
    } else {
      out += c;
    }
  }
  return out;
}

std::string inputAndSegment(const image& img, uint32_t k) {
  const segment& s = img.segments[k];
  std::string text = img.inputs[s.input].name;
  if (s.index >= 0) text += " segment " + std::to_string(s.index);
  return text;
}

std::string memoryHeader(const placedMemory& m) {
  const memOptions& o = *m.o;
  const uint64_t first = m.p.address(), bytes = memoryBytes(m);
  std::string text = o.label != nullptr ? "memory " + printable(o.label) + ": " : std::string("memory: ");
  text += strf("0x%08llx..0x%08llx, %llu bytes, %s addresses, %u-bit words", ull(first), ull(first + (bytes - 1)),
               ull(bytes), o.runAddresses ? "run" : "load", o.width);
  text += o.sparse ? ", sparse" : strf(", fill 0x%02x", o.fill);
  text += strf(", %s to %s", o.format->name, o.output != nullptr ? printable(o.output).c_str() : "standard output");
  if (o.banks > 1) text += strf(" in %u banks", o.banks);
  if (o.lanes > 1) text += strf("%s %u lanes", o.banks > 1 ? " of" : " in", o.lanes);
  return text + "\n";
}

// The details of a symbol's line: "function, 128 bytes, runs at 0x...".
std::string symbolDetails(const placedSymbol& p) {
  const symbolInfo& s = *p.sym;
  std::string text = typeName(s);
  if (ELF64_ST_BIND(s.info) != STB_GLOBAL) text += std::string(", ") + bindName(s);
  if (s.size != 0) text += strf(", %llu bytes", ull(s.size));
  if (s.value != p.address) text += strf(", runs at 0x%08llx", ull(s.value));
  return text;
}

// ---- JSON ---------------------------------------------------------------------

// `s` as a JSON string. A byte that is not part of well-formed UTF-8 is
// written as the character of its value (\u0080 to \u00ff), so that the
// document stays valid whatever names an input holds.
std::string jsonString(std::string_view s) {
  std::string out = "\"";
  const auto* b = reinterpret_cast<const unsigned char*>(s.data());
  const size_t n = s.size();
  for (size_t i = 0; i < n;) {
    const unsigned c = b[i];
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      i++;
      continue;
    }
    if (c < 0x20 || c == 0x7f) {
      out += strf("\\u%04x", c);
      i++;
      continue;
    }
    // The length of a well-formed UTF-8 sequence starting at i, or 0.
    size_t len = 0;
    auto cont = [&](size_t k, unsigned lo = 0x80, unsigned hi = 0xbf) {
      return i + k < n && b[i + k] >= lo && b[i + k] <= hi;
    };
    if (c < 0x80) {
      len = 1;
    } else if (c >= 0xc2 && c <= 0xdf) {
      len = cont(1) ? 2 : 0;
    } else if (c >= 0xe0 && c <= 0xef) {
      const unsigned lo = c == 0xe0 ? 0xa0 : 0x80, hi = c == 0xed ? 0x9f : 0xbf;
      len = cont(1, lo, hi) && cont(2) ? 3 : 0;
    } else if (c >= 0xf0 && c <= 0xf4) {
      const unsigned lo = c == 0xf0 ? 0x90 : 0x80, hi = c == 0xf4 ? 0x8f : 0xbf;
      len = cont(1, lo, hi) && cont(2) && cont(3) ? 4 : 0;
    }
    if (len == 0) {
      out += strf("\\u%04x", c);
      i++;
    } else {
      out.append(s.substr(i, len));
      i += len;
    }
  }
  return out + "\"";
}

std::string jsonAddress(uint64_t v) { return strf("\"0x%08llx\"", ull(v)); }
std::string jsonSize(uint64_t v) { return strf("\"0x%llx\"", ull(v)); }
std::string jsonText(const char* s) { return s != nullptr ? jsonString(s) : std::string("null"); }

const char* kindName(const mapRow& r) {
  switch (r.what) {
    case mapRow::kind::bytes: return "input";
    case mapRow::kind::zeros: return "zeros";
    case mapRow::kind::field: return "field";
    case mapRow::kind::fill: return "fill";
  }
  return "fill";
}

const char* fieldKindName(const fieldKind& k) {
  switch (k.what) {
    case fieldKind::type::checksum: return "checksum";
    case fieldKind::type::digest: return "digest";
    case fieldKind::type::signature: return "signature";
    case fieldKind::type::number: return "number";
    case fieldKind::type::bytes: return "bytes";
    case fieldKind::type::file: return "file";
  }
  return "bytes";
}

}  // namespace

std::vector<mapRow> memoryRows(const placedRun& run, const placedMemory& m, const image& img) {
  const placement& p = m.p;
  const uint64_t bytes = memoryBytes(m);
  std::vector<mapRow> rows;
  if (bytes == 0) return rows;
  // The memory in the map's addresses, [lo, hi] (its last byte included).
  const uint64_t lo = p.base, hi = p.base + (bytes - 1);

  // The fields this memory holds, by address.
  std::vector<const storedField*> fields;
  for (const storedField& f : run.fields) {
    if (f.runAddresses != m.o->runAddresses || f.bytes.empty()) continue;
    if (f.address < p.address() || f.address - p.address() > bytes - 1) continue;
    fields.push_back(&f);
  }
  std::sort(fields.begin(), fields.end(),
            [](const storedField* a, const storedField* b) { return a->address < b->address; });
  size_t nextField = 0;

  const auto& runs = p.map.runs();
  auto it = runs.upper_bound(lo);
  if (it != runs.begin()) --it;
  uint64_t at = lo;  // map addresses below it have rows
  bool through = false;  // the rows reach hi
  for (; it != runs.end() && it->first <= hi && !through; ++it) {
    const byteRun& run1 = it->second;
    if (run1.end <= at) continue;
    const uint64_t s = std::max(it->first, at), e = std::min(run1.end - 1, hi);
    if (s > at) addRow(rows, {mapRow::kind::fill, at, s - 1, 0, {}, nullptr});
    if (run1.from == nullptr) {
      addRow(rows, {mapRow::kind::zeros, s, e, run1.seg, {}, nullptr});
    } else {
      // A field is one run of its own bytes.
      while (nextField < fields.size() &&
             fields[nextField]->address - p.shift + (fields[nextField]->bytes.size() - 1) < s) {
        nextField++;
      }
      const storedField* f = nextField < fields.size() ? fields[nextField] : nullptr;
      const uint64_t fieldAt = f != nullptr ? f->address - p.shift : 0;
      if (f != nullptr && fieldAt <= s && run1.from + (s - it->first) == f->bytes.data() + (s - fieldAt)) {
        addRow(rows, {mapRow::kind::field, s, e, 0, {}, f});
      } else {
        bytesRows(rows, img, run1.seg, run1.from + (s - it->first), s, e);
      }
    }
    through = e == hi;
    at = e + 1;
  }
  if (!through && at <= hi) addRow(rows, {mapRow::kind::fill, at, hi, 0, {}, nullptr});
  for (mapRow& r : rows) {
    r.first += p.shift;
    r.last += p.shift;
  }
  return rows;
}

std::string describeRow(const mapRow& r, const placedMemory& m, const image& img) {
  switch (r.what) {
    case mapRow::kind::bytes: {
      std::string text = inputAndSegment(img, r.seg);
      if (!r.section.empty()) return text + " (" + std::string(r.section) + ")";
      const segment& s = img.segments[r.seg];
      return img.inputs[s.input].bySection ? text + " (no section)" : text;
    }
    case mapRow::kind::zeros: return inputAndSegment(img, r.seg) + " (zero tail)";
    case mapRow::kind::field: return "field " + r.field->field->text;
    case mapRow::kind::fill: break;
  }
  return m.o->sparse ? std::string("gap (not written)") : strf("fill 0x%02x", m.o->fill);
}

std::string mapText(const placedRun& run, const image& img) {
  std::string text = "romwright map of";
  for (size_t i = 0; i < img.inputs.size(); i++) {
    text += (i == 0 ? " " : ", ") + printable(img.inputs[i].name) + " (" + img.inputs[i].kind + ")";
  }
  text += run.hasEntry ? strf("\nstart address 0x%08llx\n", ull(run.entry)) : std::string("\nno start address\n");
  for (const placedMemory& m : run.memories) {
    text += '\n';
    text += memoryHeader(m);
    const std::vector<mapRow> rows = memoryRows(run, m, img);
    const std::vector<placedSymbol> syms = symbolsIn(m, img);
    const int width = static_cast<int>(std::to_string(memoryBytes(m)).size());
    eachRow(rows, syms, [&](const mapRow& r, std::span<const placedSymbol> in) {
      text += strf("  0x%08llx..0x%08llx  %*llu bytes  %s\n", ull(r.first), ull(r.last), width,
                   ull(r.last - r.first + 1), printable(describeRow(r, m, img)).c_str());
      for (const placedSymbol& p : in) {
        text += strf("      0x%08llx  %s (%s)\n", ull(p.address), printable(p.sym->name).c_str(),
                     symbolDetails(p).c_str());
      }
    });
  }
  return text;
}

std::string mapJson(const placedRun& run, const image& img) {
  std::string j = "{\n  \"map\": \"romwright\",\n  \"version\": 1,\n  \"inputs\": [";
  for (size_t i = 0; i < img.inputs.size(); i++) {
    j += strf("%s\n    {\"name\": %s, \"kind\": %s}", i == 0 ? "" : ",", jsonString(img.inputs[i].name).c_str(),
              jsonString(img.inputs[i].kind).c_str());
  }
  j += img.inputs.empty() ? "],\n" : "\n  ],\n";
  j += "  \"start\": " + (run.hasEntry ? jsonAddress(run.entry) : std::string("null")) + ",\n  \"memories\": [";
  for (size_t mi = 0; mi < run.memories.size(); mi++) {
    const placedMemory& m = run.memories[mi];
    const memOptions& o = *m.o;
    const uint64_t first = m.p.address(), bytes = memoryBytes(m);
    j += mi == 0 ? "\n" : ",\n";
    j += "    {\n      \"name\": " + jsonText(o.label) + ",\n";
    j += "      \"first\": " + jsonAddress(first) + ", \"last\": " + jsonAddress(first + (bytes - 1)) +
         ", \"size\": " + jsonSize(bytes) + ",\n";
    j += strf("      \"addresses\": \"%s\", \"width\": %u, \"fill\": %u, \"sparse\": %s,\n",
              o.runAddresses ? "run" : "load", o.width, o.fill, o.sparse ? "true" : "false");
    j += strf("      \"format\": %s, \"output\": %s, \"banks\": %u, \"lanes\": %u,\n", jsonString(o.format->name).c_str(),
              jsonText(o.output).c_str(), o.banks, o.lanes);
    j += "      \"ranges\": [";
    const std::vector<mapRow> rows = memoryRows(run, m, img);
    const std::vector<placedSymbol> syms = symbolsIn(m, img);
    bool firstRow = true;
    eachRow(rows, syms, [&](const mapRow& r, std::span<const placedSymbol> in) {
      j += firstRow ? "\n" : ",\n";
      firstRow = false;
      const bool fromInput = r.what == mapRow::kind::bytes || r.what == mapRow::kind::zeros;
      const segment* seg = fromInput ? &img.segments[r.seg] : nullptr;
      j += "        {\"first\": " + jsonAddress(r.first) + ", \"last\": " + jsonAddress(r.last) +
           ", \"size\": " + jsonSize(r.last - r.first + 1) + ", \"origin\": \"" + kindName(r) + "\",\n";
      j += "         \"text\": " + jsonString(describeRow(r, m, img)) + ",\n";
      j += "         \"input\": " + (seg != nullptr ? jsonString(img.inputs[seg->input].name) : std::string("null"));
      j += ", \"segment\": " + (seg != nullptr && seg->index >= 0 ? std::to_string(seg->index) : std::string("null"));
      j += ", \"section\": " + (r.what == mapRow::kind::bytes && !r.section.empty() ? jsonString(r.section)
                                                                                   : std::string("null"));
      j += ",\n         \"field\": ";
      if (r.what == mapRow::kind::field) {
        j += "{\"insert\": " + jsonString(r.field->field->text) + ", \"kind\": \"" +
             fieldKindName(r.field->field->kind) + "\"}";
      } else {
        j += "null";
      }
      j += r.what == mapRow::kind::fill ? strf(", \"fill\": %u", o.fill) : std::string(", \"fill\": null");
      j += strf(", \"written\": %s,\n", r.what == mapRow::kind::fill && o.sparse ? "false" : "true");
      j += "         \"symbols\": [";
      for (size_t k = 0; k < in.size(); k++) {
        const symbolInfo& s = *in[k].sym;
        j += k == 0 ? "\n" : ",\n";
        j += "           {\"name\": " + jsonString(s.name) + ", \"address\": " + jsonAddress(in[k].address) +
             ", \"run\": " + jsonAddress(s.value) + ", \"type\": \"" + typeName(s) + "\", \"binding\": \"" +
             bindName(s) + "\", \"size\": " + jsonSize(s.size) + "}";
      }
      j += in.empty() ? "]}" : "\n         ]}";
    });
    j += rows.empty() ? "]\n    }" : "\n      ]\n    }";
  }
  j += run.memories.empty() ? "]\n}\n" : "\n  ]\n}\n";
  return j;
}

}  // namespace romwright
