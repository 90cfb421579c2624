// What the rows that compute one value per pixel from its red, green and
// blue samples (sepia, grayscale) are told about the bytes they store: which
// they copy from the source and whether they must read the destination for
// the rest. The vector pieces themselves are in engine/x86/lanes_*.h.
#pragma once

#include <cstdint>

#include "lumeno/engine.h"

namespace lumeno {

// Which bytes of a pixel a vector row copies from the source and whether it
// must read the destination for the bytes it leaves alone. In place the
// destination is the source, so the bytes left alone are the source's own
// and nothing is read back.
struct StoreLanes {
  bool readDestination;
  uint64_t srcKeep;
  StoreLanes(const GenericMPParams& p, uint64_t sourceBits, uint64_t untouchedBits) {
    const bool inPlace = p.srcPixels == p.dstPixels && p.srcRowBytes == p.dstRowBytes;
    readDestination = !inPlace && untouchedBits != 0;
    srcKeep = inPlace ? sourceBits | untouchedBits : sourceBits;
  }
};

}  // namespace lumeno
