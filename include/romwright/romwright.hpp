// romwright as a library: read a firmware executable (ELF of either class
// and byte order, Intel HEX, S-records), and make the memory images the
// command line writes — in memory, word by word, or as a whole run of the
// command line. Every call is independent of every other and may run in
// any thread at once; none prints, exits or touches signal handlers.
//
//   romwright::Options o{{"input", "fw.elf"}, {"format", "vmem"}, {"width", "32"},
//                        {"region", "0:16K"}};
//   romwright::Result<std::vector<std::uint8_t>> vmem = romwright::render(o);
//   if (!vmem) std::cerr << vmem.error().message;
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "romwright/error.hpp"

namespace romwright {

// The library's version, as the command line's --version prints it.
const char* version();

enum class ByteOrder { little, big };

// One loadable piece of a program.
struct Segment {
  std::uint64_t address = 0;         // where its first byte is stored (the load address)
  std::uint64_t run_address = 0;     // where its first byte is when the program runs
  std::uint64_t size = 0;            // the bytes it takes when the program runs
  std::vector<std::uint8_t> bytes;   // the bytes it stores; those past them up to `size` are zero
  std::string section;               // the section it is, for inputs read by section; else empty
};

// What an input holds.
struct Image {
  std::uint64_t entry = 0;           // the start address
  bool has_entry = false;            // the input gives one
  ByteOrder byte_order = ByteOrder::little;
  std::vector<Segment> segments;     // in the order the input gives them
};

// The options of a memory image: {name, value} pairs, names as the command
// line's long options without "--" ("format", "width", "region", ...), and
// "input" for -f. "merge", "memory", "insert", "section" and
// "remove-section" may be given more than once; a flag ("sparse", "crop")
// takes "" or "yes" (or "no"). Three names are the library's own and pick
// what render() and words() give: "select" (the NAME of one of several
// --memory), "bank" and "lane" (each 0 unless given). They are checked as
// the command line checks them, when they are used.
class Options {
 public:
  Options() = default;
  Options(std::initializer_list<std::pair<std::string, std::string>> pairs) : pairs_(pairs) {}
  explicit Options(std::vector<std::pair<std::string, std::string>> pairs) : pairs_(std::move(pairs)) {}

  // Adds one pair.
  Options& set(std::string name, std::string value) {
    pairs_.emplace_back(std::move(name), std::move(value));
    return *this;
  }
  // The input as bytes rather than a file; `name` names it in messages.
  Options& input_bytes(std::vector<std::uint8_t> bytes, std::string name = "input") {
    bytes_ = std::move(bytes);
    bytes_name_ = std::move(name);
    has_bytes_ = true;
    return *this;
  }

  const std::vector<std::pair<std::string, std::string>>& pairs() const { return pairs_; }
  bool has_input_bytes() const { return has_bytes_; }
  const std::vector<std::uint8_t>& input_bytes() const { return bytes_; }
  const std::string& input_name() const { return bytes_name_; }

 private:
  std::vector<std::pair<std::string, std::string>> pairs_;
  std::vector<std::uint8_t> bytes_;
  std::string bytes_name_;
  bool has_bytes_ = false;
};

// Where notes go: the loader's lines, segments left out or cut. Each call
// gets whole lines, each ending in a newline. Without one, they are dropped.
using Notes = std::function<void(const std::string& lines)>;

// Reads an input of any kind, recognised by its content.
Result<Image> read(const std::string& path);
Result<Image> read(std::span<const std::uint8_t> bytes, const std::string& name);

// The bytes the command line would write for one memory: of one lane of one
// bank ("lane", "bank"), of one of several memories ("select"). Nothing is
// written to a file.
Result<std::vector<std::uint8_t>> render(const Options& options, const Notes& notes = {});

// The words of that memory (lane, bank), index 0 at its first address, each
// the value of a word of up to 64 bits: what a testbench writes into its
// memory array. Wider words come through render().
Result<std::vector<std::uint64_t>> words(const Options& options, const Notes& notes = {});

// One whole run of the command line, `args` without the program's name:
// its files written as one group, its listing and reports to standard
// output. The error comes back instead of being printed.
Result<void> build(const std::vector<std::string>& args, const Notes& notes = {});

}  // namespace romwright
