// The driver's writers, split into the checks that refuse an image and the
// formatting of each output, so that both can be reached without ending the
// process.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>

#include "bytemap.hpp"
#include "elf.hpp"

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

// Reads `s` as strtoul(s, nullptr, 16) does on a 32-bit unsigned long.
uint32_t parseHex32(const char* s);
