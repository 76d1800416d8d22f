// Micro-benchmarks of the output formats, written to /dev/null, to see where
// a run's time goes apart from reading the input and the kernel's writes.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <vector>

#include "fields/checksum.hpp"
#include "fixed/fixed.hpp"

using namespace romwright;

namespace {

FILE* devNull() {
  static FILE* f = fopen("/dev/null", "wb");
  return f;
}

std::vector<uint8_t> randomText(size_t n) {
  std::vector<uint8_t> v(n);
  std::mt19937 gen(42);
  for (auto& b : v) b = static_cast<uint8_t>(gen());
  return v;
}

void HexListing(benchmark::State& state) {
  const auto text = randomText(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(dumpHData(devNull(), text, 0));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0) / 4 * 9);
}
BENCHMARK(HexListing)->Arg(1 << 20)->Arg(16 << 20);

void ZeroLines(benchmark::State& state) {
  const std::vector<uint8_t> text(16, 1);
  const auto lines = static_cast<uint32_t>(state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(dumpHData(devNull(), text, lines));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0) * 9);
}
BENCHMARK(ZeroLines)->Arg(1 << 24);

void CSource(benchmark::State& state) {
  const auto text = randomText(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(dumpCData(devNull(), "rom", text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0) * 69 / 13);
}
BENCHMARK(CSource)->Arg(1 << 20)->Arg(16 << 20);

void RomFill(benchmark::State& state) {
  const auto romLen = static_cast<uint32_t>(state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(dumpROMFill(devNull(), 5, romLen));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(RomFill)->Arg(1 << 20)->Arg(1 << 28);

// Integrity values over 16 MiB of random bytes fed in 1 MiB blocks, as the
// memory walk feeds them.
const char* const checksumKinds[] = {"crc32", "crc32c", "crc32-mpeg2", "crc16-modbus", "crc16-xmodem",
                                     "crc8", "crc64-xz", "sum8", "sum32"};

void Checksum(benchmark::State& state) {
  const char* kindName = checksumKinds[state.range(0)];
  const auto kind = parseChecksumKind(kindName);
  const auto bytes = randomText(16 << 20);
  for (auto _ : state) {
    checksum c(*kind, true);
    for (size_t at = 0; at < bytes.size(); at += 1 << 20) c.feed({bytes.data() + at, size_t{1} << 20});
    benchmark::DoNotOptimize(c.value());
  }
  state.SetLabel(kindName);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes.size()));
}
BENCHMARK(Checksum)->DenseRange(0, std::size(checksumKinds) - 1);

// A gigabyte of fill in one run.
void ChecksumFillRun(benchmark::State& state) {
  const char* kindName = checksumKinds[state.range(0)];
  const auto kind = parseChecksumKind(kindName);
  for (auto _ : state) {
    checksum c(*kind, true);
    c.feedRepeated(0xFF, uint64_t{1} << 30);
    benchmark::DoNotOptimize(c.value());
  }
  state.SetLabel(kindName);
}
BENCHMARK(ChecksumFillRun)->Arg(0)->Arg(6)->Arg(8);

}  // namespace

BENCHMARK_MAIN();
