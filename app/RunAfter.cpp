#include "app/RunAfter.h"

#include "manifest/Manifest.h"
#include "support/TextUtil.h"

TRunAfterKind SplitRunAfter(const char* text, char* program, int32_t capacity, const char** arguments) {
  *arguments = "";
  program[0] = 0;
  if (text[0] == 0 || TextEquals(text, "link")) return kRunNothing;
  if (text[0] != '"') {
    if (TextLength(text) > capacity - 1) return kRunNothing;
    TextCopy(program, text);
    return kRunShortcut;
  }
  const char* close = TextFindFirst(text + 1, '"');
  int32_t n = close ? static_cast<int32_t>(close - text - 1) : 0;
  if (n == 0 || n > capacity - 1) return kRunNothing;
  TextCopyCount(program, text + 1, n);
  const char* rest = close + 1;
  while (*rest == ' ') ++rest;
  *arguments = rest;
  return kRunCommand;
}

bool IsRelativeProgram(const char* program) {
  return program[0] != '\\' && program[0] != '/' && !TextFindFirst(program, ':');
}
