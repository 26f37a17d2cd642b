// The platform-free half of the support library: the stream base class and the
// in-place line splitter.
#pragma once
#include <cstdint>

class TBaseStream {
 public:
  TBaseStream() = default;
  TBaseStream(const TBaseStream&) = delete;
  TBaseStream& operator=(const TBaseStream&) = delete;
  virtual int32_t Read(void* buffer, int32_t count);
  virtual int32_t Write(const void* buffer, int32_t count);
  virtual int32_t Seek(int32_t distance, int32_t origin);
  virtual ~TBaseStream();
};

// Cuts a buffer into lines in place: CR ends a line and swallows one LF after
// it; a lone LF stays in the line. The buffer needs one spare byte after the
// data for the last terminator.
class TSimpleStrings {
 public:
  TSimpleStrings(char* buffer, int32_t length);
  ~TSimpleStrings();
  TSimpleStrings(const TSimpleStrings&) = delete;
  TSimpleStrings& operator=(const TSimpleStrings&) = delete;

  int32_t Count = 0;
  char** Items = nullptr;
};
