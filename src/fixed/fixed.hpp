// The fixed outputs of a 32-bit executable's text image: the hex word
// listing, the C source ROM files "rom.h" and "rom.c", and the raw ROM image
// "tolvek.rom". Each is split into the check that refuses an image and the
// formatting, so that both can be reached without ending the process.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

#include "core/bytemap.hpp"
#include "core/diag.hpp"
#include "core/error.hpp"
#include "fixed/merge.hpp"

namespace romwright {

// Why the writers refuse `img` ("No text segment!\n", "Has a data segment!\n"),
// or null when its text can be written.
const char* refusal(const elfImage& img);

// Number of words the hex listing asks for, from the -M extent.
uint32_t hexTarget(uint32_t extent, uint32_t textAddr);

// Writes `bytes` as one big-endian 32-bit word per line, then zero lines up to
// `t` words, or up to a multiple of 512 lines when `t` is 0. False when a write
// failed.
bool dumpHData(FILE* f, const byteSource& bytes, uint32_t t);
bool dumpHData(FILE* f, std::span<const uint8_t> bytes, uint32_t t);

// Writes the C array definition `u8 <name>Data[ROM_SIZE]` holding `bytes`.
bool dumpCData(FILE* f, const char* name, const byteSource& bytes);
bool dumpCData(FILE* f, const char* name, std::span<const uint8_t> bytes);

// Writes the header "rom.h" declares for an image of `len` bytes.
bool dumpRomHeader(FILE* f, uint32_t len);

// Writes the raw ROM image after its text: zero bytes to the next multiple of
// four, then fill words up to `romLen` bytes, each its own offset OR
// 0xFFF00000, least significant byte first.
bool dumpROMFill(FILE* f, uint32_t textLen, uint32_t romLen);

// Writes "rom.h" and "rom.c" completely, then puts both in place: a failure
// on the way leaves both earlier files as they were, so a new ROM_SIZE
// never meets an old array.
status dumpRom(const elfImage& img);

// Writes the raw ROM image "tolvek.rom" of `romLen` bytes.
status dumpROM(const elfImage& img, uint32_t romLen);

// Writes the hex word listing to `out`, with the extent before and after it
// is read as notes when `verbose`.
status dumpHex(const elfImage& img, uint32_t extent, bool verbose, FILE* out, const noteFn& note);

// The boot-address warning.
std::string boot_warning(uint32_t textAddr, uint32_t entryAddr);

}  // namespace romwright
