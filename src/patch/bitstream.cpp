#include "patch/bitstream.hpp"

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

std::vector<uint8_t> packWords(std::span<const uint64_t> words, uint32_t width) {
  const size_t n = (width + 7) / 8;
  std::vector<uint8_t> bytes(words.size() * n);
  uint8_t* p = bytes.data();
  for (uint64_t w : words) {
    w &= widthMask(width);
    for (size_t i = 0; i < n; ++i) *p++ = static_cast<uint8_t>(w >> (8 * i));
  }
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
  const uint8_t* p = bytes.data();
  for (uint64_t i = 0; i < m.depth; ++i) {
    uint64_t w = 0;
    for (size_t k = 0; k < n; ++k) w |= uint64_t{*p++} << (8 * k);
    if ((w & ~widthMask(m.width)) != 0) {
      return failuref("memory %s: %s word %llu has bits above its %u-bit width\n", m.name.c_str(), what,
                      static_cast<unsigned long long>(i), m.width);
    }
    words[i] = w;
  }
  return words;
}

}  // namespace romwright
