// Renders a memory image of a firmware file to standard output, as
// `romwright -f FILE --format=FMT [--width=BITS]` would write it.
// Usage: render_firmware FILE FMT [BITS]
#include <romwright/romwright.hpp>

#include <cstdio>
#include <iostream>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: render_firmware FILE FMT [BITS]\n";
    return 2;
  }
  romwright::Options options{{"input", argv[1]}, {"format", argv[2]}};
  if (argc > 3) options.set("width", argv[3]);
  const romwright::Result<std::vector<std::uint8_t>> image = romwright::render(options);
  if (!image) {
    std::cerr << image.error().message;
    return 1;
  }
  std::fwrite(image->data(), 1, image->size(), stdout);
  return 0;
}
