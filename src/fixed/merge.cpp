// The merger of the fixed outputs' load image. Work and memory follow the
// segments, never the address span: the images are runs that point into
// the inputs.
#include "fixed/merge.hpp"

#include <elf.h>

#include <algorithm>
#include <cstdio>
#include <new>

#include "core/bytes.hpp"

namespace romwright {

namespace {

constexpr uint64_t addressSpace32 = uint64_t{1} << 32;

// One of the two images while segments are merged into it.
struct part {
  byteMap* bytes;
  uint32_t* addr;
  uint32_t* len;
  bool taken;
};

// Puts segment `k` (entry `i` of the table) into the text or data image;
// a failure is the merger's line.
status place(const segment& seg, uint32_t k, part& text, part& data, std::string& log) {
  const int i = seg.index;
  const uint64_t vaddr = seg.run, filesz = seg.fileSize, memsz = seg.memSize;
  if (filesz > memsz) {
    return failuref("segment %d file size 0x%x exceeds memory size 0x%x\n", i,
                    static_cast<uint32_t>(filesz), static_cast<uint32_t>(memsz));
  }
  const bool isText = (seg.flags & PF_X) != 0;
  part& p = isText ? text : data;
  // A further segment's image must stay below 2^32 bytes, so that its length
  // fits the image's 32-bit fields.
  if (!fits(vaddr, memsz, addressSpace32) ||
      (p.taken && vaddr >= *p.addr && vaddr - *p.addr + memsz >= addressSpace32)) {
    return failuref("segment %d exceeds the 32-bit address space\n", i);
  }

  uint64_t off = 0;
  if (!p.taken) {
    // The first text segment's image ends after its file bytes; a data
    // segment's takes its whole room.
    p.taken = true;
    *p.addr = static_cast<uint32_t>(vaddr);
    *p.len = static_cast<uint32_t>(isText ? filesz : memsz);
  } else {
    if (isText && data.taken) return Error{"Mult text with intermediate Data!!!\n"};
    if (vaddr < *p.addr) return failuref("segment %d out of address order\n", i);
    if (isText) log += "Warning: multiple text segments...\n";
    off = vaddr - *p.addr;
    *p.len = static_cast<uint32_t>(std::max<uint64_t>(*p.len, off + memsz));
    // The room's bytes past its file bytes become zero, replacing what an
    // earlier segment put there. A hole before the room reads as zero.
    p.bytes->paint(off + filesz, off + memsz, nullptr, k);
  }
  if (filesz > 0) {
    if (!seg.readable) return failuref("unable to read segment %d\n", i);
    p.bytes->paint(off, off + filesz, seg.bytes.data(), k);
  }
  return done;
}

}  // namespace

Result<elfImage> eatPh(const image& img, std::string& log, const noteFn* echo) {
  try {
    elfImage out;
    out.entryAddr = static_cast<uint32_t>(img.entry);
    part text{&out.text, &out.textAddr, &out.textLen, false};
    part data{&out.data, &out.dataAddr, &out.dataLen, false};
    for (uint32_t k = 0; k < img.segments.size(); k++) {
      const segment& seg = img.segments[k];
      if (seg.input != 0 || seg.type != PT_LOAD || (seg.fileSize == 0 && seg.memSize == 0)) continue;
      if (status s = place(seg, k, text, data, log); !s) return s.error();
      // Written out in blocks: a line a write would cost a system call for
      // each of tens of thousands of segments.
      if (echo != nullptr && log.size() >= 65536) tell(*echo, log), log.clear();
    }
    if (echo != nullptr) tell(*echo, log), log.clear();
    // Take the zero tail off the data image.
    const uint64_t kept = out.data.lastNonzero(0);
    if (kept < out.dataLen) {
      out.bssLen = out.dataLen - static_cast<uint32_t>(kept);
      out.bssAddr = out.dataAddr + static_cast<uint32_t>(kept);
      out.dataLen = static_cast<uint32_t>(kept);
    }
    return out;
  } catch (const std::bad_alloc&) {  // the runs could not grow
    return Error{"out of mem\n"};
  }
}

void dumpImage(const elfImage& img) {
  printf("text 0x%08x:0x%08x\n", img.textAddr, img.textLen);
  printf("data 0x%08x:0x%08x\n", img.dataAddr, img.dataLen);
  printf("bss  0x%08x:0x%08x\n", img.bssAddr, img.bssLen);
  printf("entry 0x%x\n", img.entryAddr);
}

}  // namespace romwright
