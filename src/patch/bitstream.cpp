#include "patch/bitstream.hpp"

#include <algorithm>
#include <type_traits>

#include "patch/columns.hpp"

namespace romwright {

std::span<const bitstreamFamily> bitstreamFamilies() {
  static const bitstreamFamily families[] = {ice40Family};
  return families;
}

const bitstreamFamily* familyNamed(std::string_view name) {
  for (const bitstreamFamily& f : bitstreamFamilies()) {
    if (name == f.name) return &f;
  }
  return nullptr;
}

const bitstreamFamily* familyOf(std::span<const uint8_t> config) {
  for (const bitstreamFamily& f : bitstreamFamilies()) {
    if (f.recognise(config)) return &f;
  }
  return nullptr;
}

std::vector<uint8_t> applyEdits(std::span<const uint8_t> config, const configEdits& edits) {
  size_t size = config.size();
  for (const configEdit& e : edits) size = size - e.size + e.bytes.size();
  std::vector<uint8_t> out;
  out.reserve(size);
  size_t at = 0;
  for (const configEdit& e : edits) {
    out.insert(out.end(), config.begin() + static_cast<std::ptrdiff_t>(at),
               config.begin() + static_cast<std::ptrdiff_t>(e.offset));
    out.insert(out.end(), e.bytes.begin(), e.bytes.end());
    at = e.offset + e.size;
  }
  out.insert(out.end(), config.begin() + static_cast<std::ptrdiff_t>(at), config.end());
  return out;
}

Result<std::vector<uint8_t>> patchConfig(const bitstreamFamily& family, std::span<const uint8_t> config,
                                         std::span<const patchMemory> memories, patchNotes& notes) {
  auto edits = family.patch(config, memories, notes);
  if (!edits) return edits.error();
  return applyEdits(config, *edits);
}

namespace {

// Calls f with the number of bytes of a word of `width` bits (1 to 64) as
// a constant, so that the loops over a word's bytes become single loads
// and stores.
template <class F>
auto byBytes(uint32_t width, F f) {
  switch ((width + 7) / 8) {
    case 1: return f(std::integral_constant<size_t, 1>{});
    case 2: return f(std::integral_constant<size_t, 2>{});
    case 3: return f(std::integral_constant<size_t, 3>{});
    case 4: return f(std::integral_constant<size_t, 4>{});
    case 5: return f(std::integral_constant<size_t, 5>{});
    case 6: return f(std::integral_constant<size_t, 6>{});
    case 7: return f(std::integral_constant<size_t, 7>{});
    default: return f(std::integral_constant<size_t, 8>{});
  }
}

}  // namespace

std::vector<uint8_t> packWords(std::span<const uint64_t> words, uint32_t width) {
  const size_t n = (width + 7) / 8;
  std::vector<uint8_t> bytes(words.size() * n);
  byBytes(width, [&](auto N) {
    uint8_t* p = bytes.data();
    for (uint64_t w : words) {
      w &= widthMask(width);
      for (size_t i = 0; i < N; ++i) p[i] = static_cast<uint8_t>(w >> (8 * i));
      p += N;
    }
  });
  return bytes;
}

Result<std::vector<uint64_t>> unpackWords(const patchMemory& m, bool seed) {
  const char* what = seed ? "placeholder" : "new";
  if (m.width < 1 || m.width > 64) {
    return failuref("memory %s: words of %u bits cannot be patched (1 to 64)\n", m.name.c_str(), m.width);
  }
  const std::vector<uint8_t>& bytes = seed ? m.seed : m.words;
  const size_t n = (m.width + 7) / 8;
  // Dividing, not multiplying, so that no depth overflows.
  if (bytes.size() % n != 0 || bytes.size() / n != m.depth) {
    return failuref("memory %s: %zu bytes of %s words are not %llu words of %u bits\n", m.name.c_str(),
                    bytes.size(), what, static_cast<unsigned long long>(m.depth), m.width);
  }
  std::vector<uint64_t> words(m.depth);
  const uint64_t above = ~widthMask(m.width);
  // The words, and the bits above the width of all of them together.
  const uint64_t over = byBytes(m.width, [&](auto N) {
    const uint8_t* p = bytes.data();
    uint64_t any = 0;
    for (uint64_t& w : words) {
      w = 0;
      for (size_t k = 0; k < N; ++k) w |= uint64_t{p[k]} << (8 * k);
      any |= w & above;
      p += N;
    }
    return any;
  });
  if (over != 0) {
    const auto at = std::find_if(words.begin(), words.end(), [&](uint64_t w) { return (w & above) != 0; });
    return failuref("memory %s: %s word %llu has bits above its %u-bit width\n", m.name.c_str(), what,
                    static_cast<unsigned long long>(at - words.begin()), m.width);
  }
  return words;
}

}  // namespace romwright
