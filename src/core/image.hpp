// The image model: what the readers make of their inputs, whatever their
// kind, and what placement, the memory images, the fixed outputs and the
// reports consume. Addresses are 64-bit; the bytes are views into the
// mapped input or into bytes the image owns (a decoded hex file).
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace romwright {

// One piece of a program: bytes it stores, the address they load at and
// the address they run at.
struct segment {
  uint64_t load = 0;        // address of its first byte in the stored image (p_paddr)
  uint64_t run = 0;         // address of its first byte when the program runs (p_vaddr)
  uint64_t fileSize = 0;    // bytes it stores (p_filesz)
  uint64_t memSize = 0;     // bytes it takes when the program runs (p_memsz);
                            // those past its stored bytes are zero
  uint64_t fileOffset = 0;  // where its stored bytes start in the input (p_offset)
  uint32_t flags = 0;       // PF_R, PF_W, PF_X; executable is what makes text
  uint32_t type = 0;        // p_type; every segment of a non-ELF input is PT_LOAD
  // Its stored bytes: fileSize bytes when `readable`. A reader keeps a
  // segment whose bytes lie outside the input, unreadable, so that the step
  // that needs them says so in its own order.
  std::span<const uint8_t> bytes;
  bool readable = true;
  uint32_t input = 0;       // index into image::inputs
  int index = -1;           // its entry in the program header table; -1 for none
  std::string_view section; // the section it is, when sections were chosen
                            // (a view into the input)
};

// One input of a run, for messages.
struct inputInfo {
  std::string name;         // as given on the command line
  const char* kind = "";    // "ELF", "Intel HEX", "S-records", "binary"
  uint16_t elfType = 0;     // e_type of an ELF input, once its header is read
  unsigned elfClass = 0;    // 32 or 64 for an ELF input, else 0
  // Its segments' stored bytes are known section by section (an ELF input
  // with a section header table): image::sectionParts holds the stretches
  // that sections hold, and the rest of the stored bytes is no section's.
  bool bySection = false;
};

// Stored bytes of a segment that an allocated section with contents holds.
struct sectionPart {
  uint32_t seg = 0;         // index into image::segments
  uint64_t offset = 0;      // into the segment's stored bytes
  uint64_t size = 0;
  std::string_view name;    // a view into the input
};

// A symbol of an ELF input.
struct symbolInfo {
  std::string name;
  uint64_t value = 0;       // its run address
  uint32_t input = 0;
  uint64_t size = 0;        // st_size
  uint8_t info = 0;         // st_info: its type and binding
  uint16_t section = 0;     // st_shndx
};

struct image {
  std::vector<inputInfo> inputs;
  std::vector<segment> segments;  // in the order of the inputs, then of each table
  uint64_t entry = 0;             // the start address of the first input that has one
  bool hasEntry = false;
  bool little = true;             // the first input's byte order (ELF), else little
  unsigned elfClass = 0;          // 32 or 64 for an ELF first input, else 0
  uint16_t elfType = 0;           // e_type of an ELF first input
  std::vector<symbolInfo> symbols;
  // Of the inputs with `bySection`, ordered by segment, then offset; the
  // stretches of one segment do not overlap.
  std::vector<sectionPart> sectionParts;
  // Bytes decoded by a reader, which segments point into; a deque keeps
  // them where they are as more are added.
  std::deque<std::vector<uint8_t>> owned;
  // What else the views need kept, such as the mapping of an input.
  std::vector<std::shared_ptr<const void>> held;
};

}  // namespace romwright
