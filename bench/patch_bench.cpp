// Patches an iCE40 ASCII configuration the way the tool will, for timing
// (bench/patch.sh) until the command line does it: reads the .asc and each
// memory's new words, regenerates each memory's placeholder from its name,
// width, depth and seed, patches, and writes the result.
//
//   patch_bench IN.asc OUT.asc NAME:WIDTH:DEPTH:SEED:NEW.hex...
//
// OUT.asc "-" is standard output, so that a timing harness can give it the
// same file it gives cat.
// NEW.hex holds the new words as `$readmemh` text: hex words separated by
// white space, nothing else.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "patch/bitstream.hpp"
#include "patch/seed.hpp"

using namespace romwright;

namespace {

// The file at `path`, mapped (as the tool maps its inputs).
std::span<const uint8_t> mapFile(const char* path) {
  const int fd = open(path, O_RDONLY);
  if (fd < 0) return {};
  struct stat st;
  void* p = fstat(fd, &st) == 0 && st.st_size > 0
                ? mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0)
                : MAP_FAILED;
  close(fd);
  if (p == MAP_FAILED) return {};
  return {static_cast<const uint8_t*>(p), static_cast<size_t>(st.st_size)};
}

// Writes `config` with `edits` made: the unchanged bytes straight from the
// mapped input, in as few calls as the system allows.
bool writeEdited(const char* path, std::span<const uint8_t> config, const configEdits& edits) {
  const bool out = std::string_view(path) == "-";
  const int fd = out ? 1 : open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  std::vector<iovec> pieces;
  size_t at = 0;
  auto piece = [&](const uint8_t* p, size_t n) {
    if (n != 0) pieces.push_back({const_cast<uint8_t*>(p), n});
  };
  for (const configEdit& e : edits) {
    piece(config.data() + at, e.offset - at);
    piece(e.bytes.data(), e.bytes.size());
    at = e.offset + e.size;
  }
  piece(config.data() + at, config.size() - at);
  bool ok = true;
  for (size_t i = 0; ok && i < pieces.size();) {
    const int n = static_cast<int>(std::min<size_t>(IOV_MAX, pieces.size() - i));
    ssize_t done = writev(fd, pieces.data() + i, n);
    ok = done >= 0;
    // A short write leaves the rest of the pieces to go.
    for (; ok && i < pieces.size() && static_cast<size_t>(done) >= pieces[i].iov_len; ++i) {
      done -= static_cast<ssize_t>(pieces[i].iov_len);
    }
    if (ok && done > 0) {
      pieces[i].iov_base = static_cast<uint8_t*>(pieces[i].iov_base) + done;
      pieces[i].iov_len -= static_cast<size_t>(done);
    }
  }
  return (out || close(fd) == 0) && ok;
}

// Hex words separated by white space.
std::vector<uint64_t> hexWords(std::span<const uint8_t> text) {
  static const auto digit = [] {
    std::array<int8_t, 256> t{};
    t.fill(-1);
    for (int c = 0; c < 10; ++c) t['0' + c] = static_cast<int8_t>(c);
    for (int c = 0; c < 6; ++c) t['a' + c] = t['A' + c] = static_cast<int8_t>(10 + c);
    return t;
  }();
  std::vector<uint64_t> words;
  uint64_t w = 0;
  bool in = false;
  for (uint8_t c : text) {
    const int v = digit[c];
    if (v >= 0) {
      w = w << 4 | static_cast<uint64_t>(v);
      in = true;
    } else if (in) {
      words.push_back(w);
      w = 0;
      in = false;
    }
  }
  if (in) words.push_back(w);
  return words;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fputs("usage: patch_bench IN.asc OUT.asc NAME:WIDTH:DEPTH:SEED:NEW.hex...\n", stderr);
    return 2;
  }
  const std::span<const uint8_t> config = mapFile(argv[1]);
  if (config.empty()) {
    std::perror(argv[1]);
    return 1;
  }
  std::vector<patchMemory> memories;
  for (int i = 3; i < argc; ++i) {
    const std::string arg = argv[i];
    std::vector<std::string> f;
    for (size_t at = 0;;) {
      const size_t colon = f.size() < 4 ? arg.find(':', at) : std::string::npos;
      f.push_back(arg.substr(at, colon - at));
      if (colon == std::string::npos) break;
      at = colon + 1;
    }
    if (f.size() != 5) {
      std::fprintf(stderr, "%s: not NAME:WIDTH:DEPTH:SEED:NEW.hex\n", argv[i]);
      return 2;
    }
    patchMemory m;
    m.name = f[0];
    m.width = static_cast<uint32_t>(std::strtoul(f[1].c_str(), nullptr, 0));
    m.depth = std::strtoull(f[2].c_str(), nullptr, 0);
    const auto seed = seedWords(m.name, m.width, m.depth, std::strtoull(f[3].c_str(), nullptr, 0));
    if (!seed) {
      std::fputs(seed.error().message.c_str(), stderr);
      return 1;
    }
    const std::span<const uint8_t> text = mapFile(f[4].c_str());
    if (text.empty()) {
      std::perror(f[4].c_str());
      return 1;
    }
    std::vector<uint64_t> words = hexWords(text);
    words.resize(m.depth);
    m.seed = packWords(*seed, m.width);
    m.words = packWords(words, m.width);
    memories.push_back(std::move(m));
  }
  patchNotes notes;
  const auto edits = ice40Family.patch(config, memories, notes);
  if (!edits) {
    std::fputs(edits.error().message.c_str(), stderr);
    return 1;
  }
  if (getenv("PATCH_NOTES") != nullptr) {
    for (const std::string& n : notes) std::fputs(n.c_str(), stderr);
  }
  if (!writeEdited(argv[2], config, *edits)) {
    std::perror(argv[2]);
    return 1;
  }
  return 0;
}
