// The memory-image stage of a run.
#include "out/images.hpp"

#include <elf.h>

#include <algorithm>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "core/bytes.hpp"
#include "formats/registry.hpp"
#include "formats/render.hpp"
#include "out/files.hpp"
#include "out/group.hpp"
#include "out/map.hpp"
#include "out/patch.hpp"
#include "core/sink.hpp"
#include "place/place.hpp"

namespace romwright {

namespace {

Result<placedMemory> placeMemory(const memOptions& o, const memoryPlan& plan, const image& img, const noteFn& note) {
  const uint32_t wordBytes = o.width / 8;
  const bool several = plan.several;
  placedMemory m{&o, {}, 0, false};
  placement& p = m.p;
  if (o.format != nullptr && o.format->placeholder) {
    // Its placeholder takes nothing from the inputs: nothing is placed.
    p.base = o.hasRegion ? o.base : 0;
    p.size = o.hasRegion ? o.size : o.depth * wordBytes;
    m.depth = o.depth != 0 ? o.depth : p.size / wordBytes;
    if (m.depth % o.banks != 0) {
      return failuref("banks=%u does not divide its %llu words\n", o.banks, static_cast<unsigned long long>(m.depth));
    }
    m.little = true;
    return m;
  }
  // Several memories each take what lies in them; what lands in none is
  // found afterwards. A memory in which nothing lands is refused unless it
  // may stay empty.
  placeRequest req{o.runAddresses, o.hasRegion,          o.base,       o.size, wordBytes,
                   o.quiet || several, o.crop || several, o.overlapLater, o.empty || plan.allowUnplaced};
  req.sparse = o.sparse;
  req.wholeSegments = plan.wholeSegments;
  req.depthBytes = o.depth * wordBytes;
  req.label = o.label;
  std::string notes;
  const status placed = placeSegments(p, img, req, notes);
  tell(note, notes);
  if (!placed) return placed.error();

  const uint64_t memWords = p.size / wordBytes;
  const uint64_t depth = o.depth != 0 ? o.depth : memWords;
  if (depth < memWords) {
    return failuref("the image needs %llu words, more than --depth=%llu\n",
                    static_cast<unsigned long long>(memWords), static_cast<unsigned long long>(depth));
  }
  // Its last byte at 2^64 - 1 at most.
  if (depth * wordBytes - 1 > UINT64_MAX - p.address()) {
    return failuref("a memory of %llu words from 0x%08llx passes the end of the 64-bit address space\n",
                    static_cast<unsigned long long>(depth), static_cast<unsigned long long>(p.address()));
  }
  if (o.format != nullptr && o.format->maxDepth != 0 && depth / o.banks > o.format->maxDepth) {
    return failuref("--format=%s: holds up to %llu words, not %llu\n", o.format->name,
                    static_cast<unsigned long long>(o.format->maxDepth),
                    static_cast<unsigned long long>(depth / o.banks));
  }
  if (depth % o.banks != 0) {
    return failuref("banks=%u does not divide its %llu words\n", o.banks,
                    static_cast<unsigned long long>(depth));
  }
  m.depth = depth;
  m.little = o.byteOrder != 0 ? o.byteOrder == ELFDATA2LSB : img.little;
  return m;
}

// The start address of the run, and whether it has one.
status startOf(const memoryPlan& plan, const image& img, placedRun& run) {
  switch (plan.start) {
    case memoryPlan::startFrom::none: return done;
    case memoryPlan::startFrom::inputs:
      run.entry = img.entry;
      run.hasEntry = img.hasEntry;
      return done;
    case memoryPlan::startFrom::given: break;
  }
  run.hasEntry = true;
  run.entry = plan.startAddress;
  if (plan.startSymbol.empty()) return done;
  for (const symbolInfo& sym : img.symbols) {
    if (sym.name != plan.startSymbol) continue;
    run.entry = sym.value;
    return done;
  }
  return errorf(ErrorKind::bad_argument, "--start", "--start=sym:%s: no ELF input defines the symbol %s\n",
                plan.startSymbol.c_str(), plan.startSymbol.c_str());
}

}  // namespace

Result<placedRun> placeRun(const memoryPlan& plan, const image& img, const noteFn& note) {
  placedRun run;
  if (status s = startOf(plan, img, run); !s) return s.error();
  const bool allRun = std::all_of(plan.memories.begin(), plan.memories.end(),
                                  [](const memOptions& o) { return o.runAddresses; });
  if (plan.verbose && !plan.wholeSegments) tell(note, noSectionNotes(img, allRun));
  for (const memOptions& o : plan.memories) {
    Result<placedMemory> m = placeMemory(o, plan, img, note);
    if (m) {
      m->hasStart = run.hasEntry;
      // A memory that is only patched writes no addresses of its own.
      if (o.format != nullptr) {
        if (status fit = checkAddressesFit(o, m->p, m->depth, run.entry, run.hasEntry); !fit) m = fit.error();
      }
    }
    if (!m) {
      if (o.label == nullptr) return m.error();
      return withKind(Error{std::string("--memory=") + o.label + ": " + m.error().message}, m.error().kind);
    }
    run.memories.push_back(std::move(*m));
  }
  if (plan.several && !plan.allowUnplaced) {
    std::vector<memoryRange> ranges;
    for (const memOptions& o : plan.memories) ranges.push_back({o.base, o.size, o.runAddresses});
    if (std::string lines = unplaced(img, ranges, plan.wholeSegments); !lines.empty()) return Error{lines};
  }
  std::vector<fieldMemory> fieldMemories;
  for (placedMemory& m : run.memories) {
    fieldMemories.push_back({&m.p, m.depth, m.o->width / 8, m.o->runAddresses, m.little, m.o->fill});
  }
  if (status s = storeInserts(plan.inserts, fieldMemories, img, run.values, run.fields); !s) return s.error();
  return run;
}

namespace {

// Calls `fn(part, words)` with bank `bank` of `m`: the memory's words
// [bank * depth / banks, ...) as a memory of its own from its first word's
// address, which borrows the memory's runs while `fn` runs.
template <class Fn>
auto withBank(placedMemory& m, uint32_t bank, Fn fn) {
  const memOptions& o = *m.o;
  if (o.banks == 1) return fn(m.p, m.depth);
  const uint32_t wordBytes = o.width / 8;
  const uint64_t words = m.depth / o.banks;
  const uint64_t skip = uint64_t{bank} * words * wordBytes;
  placement part;
  part.map = std::move(m.p.map);
  part.shift = m.p.shift;
  part.base = m.p.base + skip;
  part.size = m.p.size > skip ? std::min(m.p.size - skip, words * wordBytes) : 0;
  auto result = fn(part, words);
  m.p.map = std::move(part.map);
  return result;
}

}  // namespace

std::string partName(const memOptions& o, uint32_t bank, uint32_t lane) {
  std::string name = o.name;
  if (o.banks > 1) name.append("_b").append(std::to_string(bank));
  if (o.lanes > 1) name.append("_").append(std::to_string(lane));
  return name;
}

bool writeMemory(sink& s, placedMemory& m, uint64_t entry, uint32_t bank, uint32_t lane, bool header,
                 const char* file) {
  const memOptions& o = *m.o;
  const std::string name = partName(o, bank, lane);
  return withBank(m, bank, [&](const placement& p, uint64_t words) {
    return writeImage(s, o, p, words, lane, m.little, entry, name.c_str(), header, m.hasStart, file);
  });
}

uint64_t outputBound(const placedMemory& m) {
  // Per word: its bits as binary digits and a line end, or its bytes as
  // records of one byte each (13 characters), and room for a header. A
  // sparse image writes only words that hold placed bytes, and a line or
  // a record to start each stretch of them: its room follows the runs, not
  // the span.
  uint64_t words = m.depth / m.o->banks;
  if (m.o->sparse) {
    uint64_t placed = 0, runs = 0;
    const uint64_t end = m.p.base + m.p.size;
    for (const auto& [a, run] : m.p.map.runs()) {
      if (a >= end || run.end <= m.p.base) continue;
      placed += std::min(run.end, end) - std::max(a, m.p.base);
      runs++;
    }
    words = std::min(words, placed + 3 * runs);
  }
  const uint64_t laneBits = m.o->width / m.o->lanes, laneBytes = (laneBits + 7) / 8;
  const uint64_t perWord = std::max(laneBits + 16, 13 * laneBytes + 16);
  constexpr uint64_t most = uint64_t{1} << 30;
  return words > (most - 65536) / perWord ? most : words * perWord + 65536;
}

void visitWords(placedMemory& m, uint32_t bank, uint32_t lane, const wordVisitor& fn) {
  withBank(m, bank, [&](const placement& p, uint64_t words) {
    eachWord(*m.o, p, words, lane, m.little, fn);
    return true;
  });
}

status dumpMemImages(const memoryPlan& plan, const image& img, FILE* standardOutput, const noteFn& note) {
  Result<placedRun> placed = placeRun(plan, img, note);
  if (!placed) return placed.error();
  std::vector<placedMemory>& memories = placed->memories;
  const uint64_t entry = placed->entry;
  // The patch is worked out whole before any file is opened: a design that
  // does not hold exactly the memories it is said to changes nothing.
  std::unique_ptr<patchedDesign> patched;
  if (plan.patch.design != nullptr) {
    Result<std::unique_ptr<patchedDesign>> made = preparePatch(plan, *placed, note);
    if (!made) return made.error();
    patched = std::move(*made);
  }

  // Every file of the run, each memory's banks, each bank's lanes, each
  // lane's image then its header: all names are resolved before the first
  // is written, and all are put in place as one group.
  struct memoryFile {
    placedMemory* m;  // null: `bytes`, the digest of --digest-out or the map, or the patched design
    uint32_t bank;
    uint32_t lane;
    bool header;
    std::span<const uint8_t> bytes = {};
    bool patched = false;  // the patched design of --patch
  };
  std::vector<imageFile> names;
  std::vector<memoryFile> what;
  for (placedMemory& m : memories) {
    const memOptions& o = *m.o;
    if (o.patched) continue;
    for (uint32_t bank = 0; bank < o.banks; bank++) {
      for (uint32_t lane = 0; lane < o.lanes; lane++) {
        for (const bool header : {false, true}) {
          const char* pattern = header ? o.header : o.output;
          if (pattern == nullptr) continue;
          names.push_back(describe(filePath(pattern, lane, o.lanes, bank, o.banks)));
          what.push_back({&m, bank, lane, header});
        }
      }
    }
  }
  std::span<const uint8_t> digestBytes;
  if (plan.digestOut != nullptr) {
    for (const storedField& f : placed->fields) {
      if (f.field->kind.what == fieldKind::type::digest) digestBytes = f.bytes;
    }
    names.push_back(describe(plan.digestOut));
    what.push_back({nullptr, 0, 0, false, digestBytes});
  }
  // The map, in the group when it has a file; on standard output after the
  // images otherwise (no image goes there then).
  const std::string map = plan.map == nullptr ? std::string()
                          : plan.mapJson      ? mapJson(*placed, img)
                                              : mapText(*placed, img);
  const bool mapFile = plan.map != nullptr && strcmp(plan.map, "-") != 0;
  if (mapFile) {
    names.push_back({plan.map, std::string("Unable to open map file ") + plan.map + "\n",
                     std::string("Unable to write map file ") + plan.map + "\n"});
    what.push_back({nullptr, 0, 0, false, {reinterpret_cast<const uint8_t*>(map.data()), map.size()}});
  }
  // The patched design, the last file of the group.
  if (patched != nullptr && plan.patch.output != nullptr) {
    names.push_back(patchedFile(plan.patch.output));
    what.push_back({nullptr, 0, 0, false, {}, true});
  }
  std::vector<outFile> files;
  for (const imageFile& f : names) files.push_back(fileFor(f));
  if (status s = resolveFiles(files); !s) return s;

  if (patched != nullptr && plan.patch.output == nullptr) {
    int err = 0;
    if (!writePatched(standardOutput, *patched, err)) {
      return Error{strf("Unable to write standard output: %s\n", reasonOf(err).c_str()), ErrorKind::io,
                   "standard output", err};
    }
  }
  for (placedMemory& m : memories) {
    if (m.o->output != nullptr || m.o->patched) continue;
    for (uint32_t lane = 0; lane < m.o->lanes; lane++) {
      sink s(standardOutput);
      if (!writeMemory(s, m, entry, 0, lane, false)) {
        return Error{s.err != 0 ? strf("Unable to write standard output: %s\n", reasonOf(s.err).c_str())
                                : std::string("Unable to write standard output\n"),
                     ErrorKind::io, "standard output", s.err};
      }
    }
  }
  if (plan.map != nullptr && !mapFile) {
    sink s(standardOutput);
    if (!put(s, reinterpret_cast<const uint8_t*>(map.data()), map.size()) || !flush(s)) {
      return Error{s.err != 0 ? strf("Unable to write standard output: %s\n", reasonOf(s.err).c_str())
                              : std::string("Unable to write standard output\n"),
                   ErrorKind::io, "standard output", s.err};
    }
  }
  for (size_t i = 0; i < files.size(); i++) {
    Result<FILE*> f = createFile(files[i]);
    if (!f) return f.error();
    if (what[i].patched) {
      int err = 0;
      const bool wrote = writePatched(*f, *patched, err);
      if (status c = closeFile(files[i], wrote, err); !c) return c;
      continue;
    }
    sink s(*f);
    const bool wrote = what[i].m == nullptr ? put(s, what[i].bytes.data(), what[i].bytes.size()) && flush(s)
                                            : writeMemory(s, *what[i].m, entry, what[i].bank, what[i].lane,
                                                          what[i].header, names[i].path.c_str());
    if (status c = closeFile(files[i], wrote, s.err); !c) return c;
  }
  return replaceFiles(files);
}

}  // namespace romwright
