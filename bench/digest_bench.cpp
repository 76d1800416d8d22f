// Micro-benchmarks of the digest fields over 16 MiB of random bytes fed in
// 1 MiB blocks, as the memory walk feeds them, beside the CRC32 over the
// same bytes; and a run of fill, which a digest has to hash byte by byte.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "fields/checksum.hpp"
#include "fields/digest.hpp"

using namespace romwright;

namespace {

const std::vector<uint8_t>& randomBytes() {
  static const std::vector<uint8_t> v = [] {
    std::vector<uint8_t> b(16 << 20);
    std::mt19937 gen(42);
    for (auto& x : b) x = static_cast<uint8_t>(gen());
    return b;
  }();
  return v;
}

const char* const digestKinds[] = {"sha256", "sha1", "sha224", "sha384", "sha512", "md5"};

void Digest(benchmark::State& state) {
  const char* kindName = digestKinds[state.range(0)];
  const auto kind = parseDigestKind(kindName);
  const auto& bytes = randomBytes();
  for (auto _ : state) {
    digest d(*kind);
    for (size_t at = 0; at < bytes.size(); at += 1 << 20) d.feed({bytes.data() + at, size_t{1} << 20});
    benchmark::DoNotOptimize(d.finish());
  }
  state.SetLabel(kindName);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes.size()));
}
BENCHMARK(Digest)->DenseRange(0, std::size(digestKinds) - 1)->Unit(benchmark::kMillisecond);

// The CRC32 field over the same bytes, for comparison.
void Crc32(benchmark::State& state) {
  const auto kind = parseChecksumKind("crc32");
  const auto& bytes = randomBytes();
  for (auto _ : state) {
    checksum c(*kind, true);
    for (size_t at = 0; at < bytes.size(); at += 1 << 20) c.feed({bytes.data() + at, size_t{1} << 20});
    benchmark::DoNotOptimize(c.value());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes.size()));
}
BENCHMARK(Crc32)->Unit(benchmark::kMillisecond);

// 16 MiB of fill in one run.
void DigestFillRun(benchmark::State& state) {
  const auto kind = parseDigestKind("sha256");
  for (auto _ : state) {
    digest d(*kind);
    d.feedRepeated(0xFF, 16 << 20);
    benchmark::DoNotOptimize(d.finish());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (16 << 20));
}
BENCHMARK(DigestFillRun)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
