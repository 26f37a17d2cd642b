#include <windows.h>

#include "support/Log.h"
#include "support/TextUtil.h"
#include "support/TinyLib.h"

namespace {

HANDLE LogFile = INVALID_HANDLE_VALUE;
CRITICAL_SECTION LogLock;

char* TwoDigits(char* p, WORD value) {
  p = TextPutChar(p, static_cast<char>('0' + value / 10 % 10));
  return TextPutChar(p, static_cast<char>('0' + value % 10));
}

}  // namespace

bool OpenLog(const char* path) {
  if (LogFile != INVALID_HANDLE_VALUE) return true;
  // Appended to, by this run and the next; others may read it meanwhile.
  // Only a plain file with one name: never through a link to another file.
  LogFile = OnlyPlain(CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (LogFile == INVALID_HANDLE_VALUE) return false;
  InitializeCriticalSection(&LogLock);
  return true;
}

void CloseLog() {
  if (LogFile == INVALID_HANDLE_VALUE) return;
  CloseHandle(LogFile);
  LogFile = INVALID_HANDLE_VALUE;
}

bool LogOpen() { return LogFile != INVALID_HANDLE_VALUE; }

void LogLine(const char* a, const char* b, const char* c, const char* d, const char* e, const char* f, const char* g,
             const char* h) {
  if (LogFile == INVALID_HANDLE_VALUE) return;
  char line[1024];
  SYSTEMTIME now;
  GetSystemTime(&now);
  char* p = TextFromInt(line, now.wYear);
  p = TwoDigits(TextPutChar(p, '-'), now.wMonth);
  p = TwoDigits(TextPutChar(p, '-'), now.wDay);
  p = TwoDigits(TextPutChar(p, ' '), now.wHour);
  p = TwoDigits(TextPutChar(p, ':'), now.wMinute);
  p = TwoDigits(TextPutChar(p, ':'), now.wSecond);
  p = TextPutChar(p, '.');
  p = TextPutChar(p, static_cast<char>('0' + now.wMilliseconds / 100 % 10));
  p = TwoDigits(p, now.wMilliseconds % 100);
  p = TextCopy(p, "Z ");
  *p = 0;
  const char* pieces[] = {a, b, c, d, e, f, g, h};
  for (const char* piece : pieces) {
    if (!piece) break;
    TextAppendMax(line, piece, static_cast<int>(sizeof line) - 2);
  }
  TextAppend(line, "\r\n", nullptr);
  DWORD written;
  EnterCriticalSection(&LogLock);
  WriteFile(LogFile, line, static_cast<DWORD>(TextLength(line)), &written, nullptr);
  LeaveCriticalSection(&LogLock);
}
