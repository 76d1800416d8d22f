// Times the library's render of a memory image in process: the median of
// several calls in one thread, and the throughput of two threads each making
// the same calls, against one. Prints "one MS" and "two RATIO" for
// bench/run.sh. Usage: api_bench ELF CALLS [OPTION=VALUE...]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "romwright/romwright.hpp"

namespace {

using clock_type = std::chrono::steady_clock;

double seconds(clock_type::time_point from) {
  return std::chrono::duration<double>(clock_type::now() - from).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: api_bench ELF CALLS [OPTION=VALUE...]\n");
    return 2;
  }
  romwright::Options options{{"input", argv[1]}};
  for (int i = 3; i < argc; i++) {
    const std::string pair = argv[i];
    const size_t eq = pair.find('=');
    options.set(pair.substr(0, eq), eq == std::string::npos ? "" : pair.substr(eq + 1));
  }
  const int calls = atoi(argv[2]);
  auto render = [&] {
    const romwright::Result<std::vector<std::uint8_t>> r = romwright::render(options);
    if (!r) {
      fputs(r.error().message.c_str(), stderr);
      exit(1);
    }
    return r->size();
  };
  render();  // the page cache and the allocator warmed
  std::vector<double> times;
  const clock_type::time_point all = clock_type::now();
  for (int i = 0; i < calls; i++) {
    const clock_type::time_point t = clock_type::now();
    render();
    times.push_back(seconds(t));
  }
  const double one = seconds(all);
  std::sort(times.begin(), times.end());
  printf("one %.3f\n", times[times.size() / 2] * 1000);

  const clock_type::time_point both = clock_type::now();
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; t++) {
    threads.emplace_back([&] {
      for (int i = 0; i < calls; i++) render();
    });
  }
  for (std::thread& t : threads) t.join();
  // Calls per second of two threads against one.
  printf("two %.3f\n", (2.0 * calls / seconds(both)) / (calls / one));
  return 0;
}
