// The library's C++ face: options as pairs into a job, the job's memories
// placed and written into memory, or a whole command line run.
#include "romwright/romwright.hpp"

#include <elf.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <string_view>

#include "api/select.hpp"
#include "api/internal.hpp"
#include "cli/job.hpp"
#include "cli/options.hpp"
#include "cli/response.hpp"
#include "core/error.hpp"
#include "core/numbers.hpp"
#include "core/sink.hpp"
#include "out/images.hpp"
#include "read/elf.hpp"
#include "read/registry.hpp"

namespace romwright {

const char* version() { return ROMWRIGHT_VERSION; }

namespace {

// The image model's segments as the library's callers see them.
Result<Image> imageOf(const image& img) {
  Image out;
  out.entry = img.entry;
  out.has_entry = img.hasEntry;
  out.byte_order = img.little ? ByteOrder::little : ByteOrder::big;
  for (const segment& s : img.segments) {
    if (s.type != PT_LOAD) continue;
    if (!s.readable) {
      const std::string& name = img.inputs[s.input].name;
      return errorf(ErrorKind::malformed, name, "%s: segment %d lies outside the file\n", name.c_str(), s.index);
    }
    out.segments.push_back({s.load, s.run, s.memSize, {s.bytes.begin(), s.bytes.end()}, std::string(s.section)});
  }
  return out;
}

// Reads one input with `readIt`, its failures of content called malformed.
template <class ReadIt>
Result<Image> readWith(const std::string& name, ReadIt readIt) {
  try {
    image img;
    std::string log;
    sectionChoice none;
    readContext ctx{log, none};
    if (status s = readIt(img, ctx); !s) {
      Error e = s.error();
      if (e.kind == ErrorKind::layout) e.kind = ErrorKind::malformed;
      if (e.subject.empty()) e.subject = name;
      return e;
    }
    return imageOf(img);
  } catch (const std::bad_alloc&) {
    return Error{"out of memory\n", ErrorKind::io, name, ENOMEM};
  }
}

}  // namespace

Result<Image> read(const std::string& path) {
  return readWith(path, [&](image& img, readContext& ctx) { return readInput(path, readAs::recognised, 0, img, ctx); });
}

Result<Image> read(std::span<const std::uint8_t> bytes, const std::string& name) {
  return readWith(name,
                  [&](image& img, readContext& ctx) { return readInputBytes(name, bytes, readAs::recognised, img, ctx); });
}

namespace {

// Runs `fn` on the placed memory that `options` pick, with its bank and
// lane, turning an allocation failure into an error.
template <class Fn>
auto onPicked(const Options& options, const Notes& notes, Fn fn) -> decltype(fn(std::declval<placedMemory&>(), 0u, 0u, 0ull)) {
  try {
    job j;
    selection pick;
    if (status s = jobFromPairs(options.pairs(), j, pick); !s) return s.error();
    if (options.has_input_bytes()) {
      j.inputData = &options.input_bytes();
      j.input = j.keep(options.input_name());
    }
    Result<std::unique_ptr<placedJob>> placed = placeJob(j, notes);
    if (!placed) return placed.error();
    Result<placedMemory*> m = pickMemory(**placed, pick);
    if (!m) return m.error();
    return fn(**m, pick.bank, pick.lane, static_cast<unsigned long long>((*placed)->run.entry));
  } catch (const std::bad_alloc&) {
    return Error{"out of memory\n", ErrorKind::io, {}, ENOMEM};
  }
}

}  // namespace

Result<std::vector<std::uint8_t>> render(const Options& options, const Notes& notes) {
  return onPicked(options, notes,
                  [](placedMemory& m, uint32_t bank, uint32_t lane,
                     unsigned long long entry) -> Result<std::vector<std::uint8_t>> {
                    std::vector<std::uint8_t> out;
                    sink s(out, static_cast<size_t>(outputBound(m)));
                    if (!writeMemory(s, m, entry, bank, lane, false) || !flush(s)) {
                      return Error{"out of memory\n", ErrorKind::io, {}, ENOMEM};
                    }
                    return out;
                  });
}

Result<std::vector<std::uint64_t>> words(const Options& options, const Notes& notes) {
  return onPicked(options, notes,
                  [](placedMemory& m, uint32_t bank, uint32_t lane,
                     unsigned long long) -> Result<std::vector<std::uint64_t>> {
                    const uint32_t bits = m.o->width / m.o->lanes;
                    if (bits > 64) {
                      return errorf(ErrorKind::bad_argument, "--width",
                                    "words of %u bits do not fit 64: take them as bytes from render\n", bits);
                    }
                    std::vector<std::uint64_t> out;
                    out.reserve(m.depth / m.o->banks);
                    const size_t size = (bits + 7) / 8;
                    visitWords(m, bank, lane, [&](uint64_t, uint64_t count, std::span<const uint8_t> w) {
                      for (uint64_t k = 0; k < count; k++) {
                        uint64_t v = 0;
                        for (size_t b = 0; b < size; b++) v = v << 8 | w[k * size + b];
                        out.push_back(v);
                      }
                    });
                    return out;
                  });
}

Result<void> eachWord(const Options& options, const Notes& notes,
                      const std::function<void(std::uint64_t index, const std::uint8_t* value, std::size_t bytes)>& fn) {
  return onPicked(options, notes,
                  [&](placedMemory& m, uint32_t bank, uint32_t lane, unsigned long long) -> Result<void> {
                    const size_t size = (m.o->width / m.o->lanes + 7) / 8;
                    visitWords(m, bank, lane, [&](uint64_t first, uint64_t count, std::span<const uint8_t> w) {
                      for (uint64_t k = 0; k < count; k++) fn(first + k, w.data() + k * size, size);
                    });
                    return done;
                  });
}

Result<std::size_t> renderTo(const Options& options, const Notes& notes,
                             const std::function<std::uint8_t*(std::size_t bound)>& room,
                             std::vector<std::uint8_t>& overflow) {
  return onPicked(options, notes,
                  [&](placedMemory& m, uint32_t bank, uint32_t lane, unsigned long long entry) -> Result<std::size_t> {
                    const size_t bound = static_cast<size_t>(outputBound(m));
                    std::uint8_t* to = room(bound);
                    if (to == nullptr) return Error{"out of memory\n", ErrorKind::io, {}, ENOMEM};
                    adviseLargePages(to, bound);
                    size_t size = 0;
                    sink s([&](const char* bytes, size_t n) {
                      if (overflow.empty() && n <= bound - size) {
                        memcpy(to + size, bytes, n);
                      } else {
                        if (overflow.empty()) overflow.assign(to, to + size);
                        overflow.insert(overflow.end(), bytes, bytes + n);
                      }
                      size += n;
                      return true;
                    });
                    if (!writeMemory(s, m, entry, bank, lane, false) || !flush(s)) {
                      return Error{"out of memory\n", ErrorKind::io, {}, ENOMEM};
                    }
                    return size;
                  });
}

Result<void> build(const std::vector<std::string>& args, const Notes& notes) {
  try {
    // The run's standard output is the process's, as the command line's is.
    const runIO io{stdout, notes};
    std::deque<std::string> words;
    if (status s = expandArguments(args, words); !s) return withKind(s.error(), ErrorKind::bad_argument);
    job j;
    const std::vector<std::string> expanded(words.begin(), words.end());
    const parseOutcome parsed = parseArguments(expanded, "romwright", j);
    switch (parsed.how) {
      case parseOutcome::end::usage:
        if (parsed.usageStatus != 0) {
          return Error{parsed.diagnostics + usageText("romwright"), ErrorKind::bad_argument};
        }
        tell(notes, parsed.diagnostics + usageText("romwright"));
        return done;
      case parseOutcome::end::help:
        fputs(helpText("romwright").c_str(), io.out);
        return done;
      case parseOutcome::end::version:
        fputs(strf("romwright %s\n", version()).c_str(), io.out);
        return done;
      case parseOutcome::end::run:
        break;
    }
    tell(notes, parsed.diagnostics);
    if (status s = runJob(j, io); !s) return s.error();
    if (fflush(io.out) != 0) {
      return Error{"Unable to write standard output: " + reasonOf(errno) + "\n", ErrorKind::io, "standard output",
                   errno};
    }
    return done;
  } catch (const std::bad_alloc&) {
    return Error{"out of memory\n", ErrorKind::io, {}, ENOMEM};
  }
}

}  // namespace romwright
