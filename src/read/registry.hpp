// The readers of inputs: each turns one kind of file into segments of the
// image model. A kind is recognised by its content; adding one is a reader
// function and a row of the table in inputs.cpp.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/image.hpp"
#include "core/error.hpp"
#include "read/source.hpp"

namespace romwright {

// Reads the whole input `in` as one kind, appending its segments to `img`
// (and, for the first input, its entry). A failure names the file and
// says what is wrong.
using inputReader = status (*)(inputSource& in, image& img);

// Intel HEX (records 00 to 05) and Motorola S-records (S0 to S9). `head`
// is the start of the file, as much as it has up to 64 bytes.
bool isIhex(std::span<const uint8_t> head);
status readIhex(inputSource& in, image& img);
bool isSrec(std::span<const uint8_t> head);
status readSrec(inputSource& in, image& img);

// What a reader may need beyond its input: where the loader's lines go and
// which sections of ELF inputs are chosen.
struct readContext {
  std::string& log;
  struct sectionChoice& sections;
  bool symbols = false;  // ELF symbols are needed (addresses given by name)
};

// One kind of input: its name, how its content is recognised, its reader.
struct inputKind {
  const char* name;
  const char* described;  // as a message names a file of the kind: "an ELF executable"
  bool (*recognise)(std::span<const uint8_t> head);
  status (*read)(inputSource& in, image& img, readContext& ctx);
};

// Every kind recognised by content, in the order they are tried.
std::span<const inputKind> inputKinds();

// The kinds as a list for the help: "ELF, Intel HEX or S-records".
std::string inputKindList();

// The line for a file of none of the kinds: "NAME is neither an ELF
// executable, Intel HEX nor S-records; a raw binary needs its address: -f
// NAME@ADDR or --merge=NAME@ADDR".
std::string noKnownKind(const std::string& name);

// How an input is to be read.
enum class readAs {
  elf,         // as an ELF file, whatever it holds (the fixed outputs)
  recognised,  // by its content
  raw,         // as raw bytes at `rawAt`
};

// The kind the content of the file `name` is recognised as: the name of a
// row of the table, "" for none, or null when the file cannot be read or is
// empty.
const char* recognisedKind(const std::string& name);

// Opens the input `name`, appends it to img.inputs and reads it as `how`
// says. A failure says why, naming the file where the reader does.
status readInput(const std::string& name, readAs how, uint64_t rawAt, image& img, readContext& ctx);

// The same for an input given as its bytes rather than a file, `name`
// naming it in messages.
status readInputBytes(const std::string& name, std::span<const uint8_t> bytes, readAs how, image& img,
                      readContext& ctx);

}  // namespace romwright
