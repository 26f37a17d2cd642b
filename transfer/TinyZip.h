// zlib inflate, driven the one way the program needs it: a whole stream in
// memory into a bounded buffer, or a stream read piece by piece into a sink.
#pragma once
#include <cstdint>

#include "support/TinyLib.h"

// Bytes inflated when the stream ended within the output; -1 otherwise.
int32_t InflateBlock(const void* input, int32_t length, void* output, int32_t capacity);
// Where an interrupted stream may be gone on with: the end of one of its
// deflate blocks. In counts the stream's bytes before it, Bits the bits of the
// last of them not yet used (that byte is read again), Out the content
// before it and Adler that content's checksum.
struct TInflatePoint {
  int64_t In = 0;
  int64_t Out = 0;
  int32_t Bits = 0;
  uint32_t Adler = 1;
};
// Bytes handed to the sink, or -1 on a zlib error or a stream that did not
// end. Bytes after the stream are given back to the source with Seek. Gone on
// with `from` (nullptr: the start), the source starts at its In, less one
// byte where Bits, and `window` holds the last (up to 32 KiB) of the content
// before it. `reached` keeps the last block end passed that a later attempt
// may go on from; it is left as it was when none was.
int32_t InflateStream(TBaseStream& source, TBaseStream& sink, const TInflatePoint* from = nullptr,
                      const uint8_t* window = nullptr, int32_t windowLength = 0, TInflatePoint* reached = nullptr);
