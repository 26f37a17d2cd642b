// zlib inflate, driven the one way the program needs it: a whole stream in
// memory into a bounded buffer, or a stream read piece by piece into a sink.
#pragma once
#include <cstdint>

#include "support/TinyLib.h"

// Bytes inflated when the stream ended within the output; -1 otherwise.
int32_t InflateBlock(const void* input, int32_t length, void* output, int32_t capacity);
// Bytes handed to the sink, or -1 on a zlib error or a stream that did not
// end. Bytes after the stream are given back to the source with Seek.
int32_t InflateStream(TBaseStream& source, TBaseStream& sink);
