// The patch of a run: the design and the placeholder files read, each
// patched memory's lanes and banks handed to the design's family, and the
// result written with the edits made as the design is copied.
#include "out/patch.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <string>
#include <type_traits>
#include <vector>

#include "patch/placeholder.hpp"
#include "patch/seed.hpp"
#include "read/mapped.hpp"
#include "read/source.hpp"

namespace romwright {

namespace {

unsigned long long ull(uint64_t v) { return v; }

// `lines` with `prefix` before each line.
std::string prefixed(const std::string& prefix, const std::string& lines) {
  std::string out;
  for (size_t at = 0; at < lines.size();) {
    const size_t nl = lines.find('\n', at);
    const size_t end = nl == std::string::npos ? lines.size() : nl + 1;
    out += prefix;
    out.append(lines, at, end - at);
    at = end;
  }
  if (!out.empty() && out.back() != '\n') out += '\n';
  return out;
}

// Every byte of the file `path`, kept by `held`; `what` names it in
// messages ("--patch=top.asc").
Result<std::span<const uint8_t>> readWhole(const std::string& path, const std::string& what, image& held) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    return Error{strf("%s: unable to open it: %s\n", what.c_str(), reasonOf(err).c_str()), ErrorKind::unreadable,
                 path, err};
  }
  inputSource in;
  in.name = path;
  in.fd = fd;
  struct stat st {};
  const bool known = fstat(fd, &st) == 0;
  if (known && S_ISDIR(st.st_mode)) {
    close(fd);
    return Error{strf("%s: unable to read it: %s\n", what.c_str(), reasonOf(EISDIR).c_str()), ErrorKind::unreadable,
                 path, EISDIR};
  }
  in.regular = known && S_ISREG(st.st_mode);
  in.size = in.regular ? static_cast<uint64_t>(st.st_size) : 0;
  if (in.regular && in.size > 0 && in.size <= SIZE_MAX) {
    // Every page is read: mapped at once, rather than a fault at a time.
    const size_t size = static_cast<size_t>(in.size);
    void* p = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    if (p != MAP_FAILED) {
      close(fd);
      // A file that shrinks while it is read faults; the guard names it.
      listMappedInput(p, size, path.c_str());
      held.held.push_back(std::shared_ptr<const void>(p, [size](const void* q) {
        unlistMappedInput(q);
        munmap(const_cast<void*>(q), size);
      }));
      return std::span<const uint8_t>(static_cast<const uint8_t*>(p), size);
    }
  }
  // Not a mappable file (a pipe, a device): read whole.
  Result<std::span<const uint8_t>> bytes = inputBytes(in, held);
  close(fd);
  if (!bytes) {
    // The reader's line names the file as `path` does; `what` says more.
    std::string why = bytes.error().message;
    if (why.starts_with(path + ": ")) why.erase(0, path.size() + 2);
    return Error{what + ": " + why, ErrorKind::unreadable, path};
  }
  return bytes;
}

// How an option of memory `o` is named in messages: "--placeholder=FILE"
// for the one memory, "--memory=NAME: placeholder=FILE" for one of several.
std::string optionOf(const memOptions& o, const char* key, const std::string& value) {
  if (o.label == nullptr) return std::string("--") + key + "=" + value;
  return std::string("--memory=") + o.label + ": " + key + "=" + value;
}

// The words of bank `bank`, lane `lane` of `m` packed as a patchMemory
// holds them: least significant byte first.
std::vector<uint8_t> newWords(placedMemory& m, uint32_t bank, uint32_t lane, uint64_t depth) {
  const size_t size = (m.o->width / m.o->lanes + 7) / 8;
  std::vector<uint8_t> bytes(depth * size);
  uint8_t* to = bytes.data();
  // A word comes most significant byte first: reversed, with its size a
  // constant for the usual ones.
  auto reversed = [&](auto n, uint64_t count, const uint8_t* from) {
    for (uint64_t k = 0; k < count; ++k, to += n, from += n) {
      for (size_t b = 0; b < n; ++b) to[b] = from[n - 1 - b];
    }
  };
  visitWords(m, bank, lane, [&](uint64_t, uint64_t count, std::span<const uint8_t> w) {
    switch (size) {
      case 1: return reversed(std::integral_constant<size_t, 1>{}, count, w.data());
      case 2: return reversed(std::integral_constant<size_t, 2>{}, count, w.data());
      case 4: return reversed(std::integral_constant<size_t, 4>{}, count, w.data());
      case 8: return reversed(std::integral_constant<size_t, 8>{}, count, w.data());
      default: return reversed(size, count, w.data());
    }
  });
  return bytes;
}

}  // namespace

Result<std::unique_ptr<patchedDesign>> preparePatch(const memoryPlan& plan, placedRun& run, const noteFn& note) {
  auto d = std::make_unique<patchedDesign>();
  const std::string design = plan.patch.design;
  const std::string what = "--patch=" + design;
  Result<std::span<const uint8_t>> config = readWhole(design, what, d->held);
  if (!config) return config.error();
  d->config = *config;
  const bitstreamFamily* family = familyOf(d->config);
  if (family == nullptr) {
    // With one family known, its own refusal says best what a design is.
    patchNotes none;
    Result<configEdits> refused = bitstreamFamilies().front().patch(d->config, {}, none);
    Error e = refused ? Error{"not a design of a family romwright patches\n", ErrorKind::malformed} : refused.error();
    e.message = prefixed(what + ": ", e.message);
    e.subject = design;
    return e;
  }

  // Each lane of each bank of every patched memory, with the words it
  // holds and the placeholder it was built with. The memories cannot hold
  // more bits than the design's text has hex digits: bounded so, nothing is
  // made for a request the design cannot hold.
  std::vector<patchMemory> memories;
  const uint64_t digits = uint64_t{d->config.size()} * 4;
  uint64_t used = 0;
  for (placedMemory& m : run.memories) {
    const memOptions& o = *m.o;
    if (!o.patched) continue;
    const uint32_t width = o.width / o.lanes;
    const uint64_t depth = m.depth / o.banks;
    for (uint32_t bank = 0; bank < o.banks; ++bank) {
      for (uint32_t lane = 0; lane < o.lanes; ++lane) {
        patchMemory& p = memories.emplace_back();
        p.name = partName(o, bank, lane);
        p.width = width;
        p.depth = depth;
        p.copies = o.copies;
        // Dividing, so that nothing overflows: depth * width * copies bits.
        if (depth > (digits - used) / width / o.copies) {
          return failuref("%s: memory %s: its %llu words of %u bits%s cannot be found: a design of %zu bytes holds "
                          "fewer bits\n",
                          what.c_str(), p.name.c_str(), ull(depth), width,
                          used == 0 ? "" : ", with the memories' before it,", d->config.size());
        }
        used += depth * width * o.copies;
        if (o.placeholder != nullptr) {
          const std::string file = filePath(o.placeholder, lane, o.lanes, bank, o.banks);
          const std::string option = optionOf(o, "placeholder", file);
          Result<std::span<const uint8_t>> text = readWhole(file, option, d->held);
          if (!text) return text.error();
          Result<std::vector<uint64_t>> seed = readPlaceholder(*text, width, depth);
          if (!seed) {
            return Error{prefixed(option + ": ", seed.error().message), ErrorKind::malformed, file};
          }
          p.seed = packWords(*seed, width);
        } else {
          Result<std::vector<uint64_t>> seed = seedWords(p.name, width, depth, o.seed);
          if (!seed) return Error{prefixed(what + ": memory " + p.name + ": ", seed.error().message)};
          p.seed = packWords(*seed, width);
        }
        p.words = newWords(m, bank, lane, depth);
      }
    }
  }

  patchNotes notes;
  Result<configEdits> edits = family->patch(d->config, memories, notes);
  if (!edits) {
    Error e = edits.error();
    e.message = prefixed(what + ": ", e.message);
    if (e.subject.empty()) e.subject = design;
    return e;
  }
  d->edits = std::move(*edits);
  if (plan.patch.verbose) {
    for (const std::string& n : notes) tell(note, prefixed(what + ": ", n));
  }
  return d;
}

bool writePatched(FILE* f, const patchedDesign& d, int& err) {
  // The pieces go to the file in as few writes as the system takes, past
  // the stream's buffer (emptied first): a write per piece through it cost
  // more than the patch.
  if (fflush(f) != 0) {
    err = errno;
    return false;
  }
  std::vector<iovec> pieces;
  pieces.reserve(2 * d.edits.size() + 1);
  auto piece = [&](const uint8_t* p, size_t n) {
    if (n != 0) pieces.push_back({const_cast<uint8_t*>(p), n});
  };
  size_t at = 0;
  for (const configEdit& e : d.edits) {
    piece(d.config.data() + at, e.offset - at);
    piece(e.bytes.data(), e.bytes.size());
    at = e.offset + e.size;
  }
  piece(d.config.data() + at, d.config.size() - at);
  const int fd = fileno(f);
  for (size_t i = 0; i < pieces.size();) {
    const int n = static_cast<int>(std::min<size_t>(IOV_MAX, pieces.size() - i));
    ssize_t wrote = writev(fd, pieces.data() + i, n);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      err = wrote < 0 ? errno : EIO;
      return false;
    }
    // A short write leaves the rest of a piece, and the pieces after it.
    for (; i < pieces.size() && static_cast<size_t>(wrote) >= pieces[i].iov_len; ++i) {
      wrote -= static_cast<ssize_t>(pieces[i].iov_len);
    }
    if (wrote > 0) {
      pieces[i].iov_base = static_cast<uint8_t*>(pieces[i].iov_base) + wrote;
      pieces[i].iov_len -= static_cast<size_t>(wrote);
    }
  }
  return true;
}

imageFile patchedFile(const char* path) {
  return {path, strf("Unable to open patched design %s\n", path), strf("Unable to write patched design %s\n", path)};
}

}  // namespace romwright
