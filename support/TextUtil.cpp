#include "support/TextUtil.h"

int TextLength(const char* text) {
  const char* p = text;
  while (*p) ++p;
  return static_cast<int>(p - text);
}

char* TextFindFirst(const char* text, char c) {
  for (const char* p = text; *p; ++p)
    if (*p == c) return const_cast<char*>(p);
  return nullptr;
}

char* TextFindLast(const char* text, char c) {
  const char* found = nullptr;
  for (const char* p = text; *p; ++p)
    if (*p == c) found = p;
  return const_cast<char*>(found);
}

char* TextCopy(char* dest, const char* src) {
  while ((*dest = *src) != 0) {
    ++dest;
    ++src;
  }
  return dest;
}

char* TextCopyCount(char* dest, const char* src, int n) {
  for (int i = 0; i < n; ++i) *dest++ = src[i];
  *dest = 0;
  return dest;
}

char* TextPutChar(char* pos, char c) {
  *pos = c;
  return pos + 1;
}

char* TextPutHex(char* pos, const uint8_t* bytes, int32_t count) {
  for (int32_t i = 0; i < count; ++i) {
    *pos++ = "0123456789abcdef"[bytes[i] >> 4];
    *pos++ = "0123456789abcdef"[bytes[i] & 15];
  }
  return pos;
}

char* TextJoin(char* dest, const char* s1, const char* s2, const char* s3) {
  char* end = (s1 == dest) ? dest + TextLength(dest) : TextCopy(dest, s1);
  if (s2) {
    end = TextCopy(end, s2);
    if (s3) TextCopy(end, s3);
  }
  return dest;
}

char* TextAppend(char* dest, const char* s1, const char* s2) {
  if (!s1) return dest;
  return TextJoin(dest, dest, s1, s2);
}

char* TextEnsureBackslash(char* text) {
  int n = TextLength(text);
  if (n == 0 || text[n - 1] == '\\') return text + n;
  text[n] = '\\';
  text[n + 1] = 0;
  return text + n + 1;
}

char* TextCopyFolder(char* dest, const char* folder) {
  char* end = TextCopy(dest, folder);
  if (end > dest && end[-1] == '\\') end[-1] = 0;
  return dest;
}

char* TextReplaceExtension(char* text, const char* ext) {
  // The extension of the last element only: a dot in a folder's name is none.
  char* dot = nullptr;
  char* p = text;
  for (; *p; ++p) {
    if (*p == '.') dot = p;
    if (*p == '\\' || *p == '/') dot = nullptr;
  }
  TextCopy(TextPutChar(dot ? dot : p, '.'), ext);
  return text;
}

char* TextFromInt(char* pos, uint64_t value) {
  char digits[20];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value);
  while (n) *pos++ = digits[--n];
  *pos = 0;
  return pos;
}

int32_t TextParseInt(const char*& cursor) {
  uint32_t value = 0;
  while (*cursor >= '0' && *cursor <= '9') {
    value = value * 10u + static_cast<uint32_t>(*cursor - '0');
    ++cursor;
  }
  return static_cast<int32_t>(value);
}

int32_t TextToInt(const char* text) {
  const char* cursor = text;
  return TextParseInt(cursor);
}

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

bool TextEquals(const char* a, const char* b) {
  for (;; ++a, ++b) {
    if (AsciiUpper(*a) != AsciiUpper(*b)) return false;
    if (*a == 0) return true;
  }
}

bool TextEqualsN(const char* a, const char* b, int n) {
  for (int i = 0; i < n; ++i) {
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
    if (a[i] == 0) return true;  // both ended: nothing beyond is ours to read
  }
  return true;
}

char* TextCopyMax(char* dest, const char* src, int capacity) {
  if (capacity <= 0) return dest;
  int i = 0;
  for (; i < capacity - 1 && src[i]; ++i) dest[i] = src[i];
  dest[i] = 0;
  return dest + i;
}

char* TextAppendMax(char* dest, const char* src, int capacity) {
  int used = TextLength(dest);
  if (used >= capacity) return dest + used;
  return TextCopyMax(dest + used, src, capacity - used);
}

bool TextFits(const char* dest, const char* src, int capacity) { return TextLength(src) < capacity - TextLength(dest); }

bool TextStartsWith(const char* text, const char* prefix) {
  for (; *prefix; ++text, ++prefix)
    if (*text == 0 || AsciiUpper(*text) != AsciiUpper(*prefix)) return false;
  return true;
}

namespace {

// A device name of Windows: CON, PRN, AUX, NUL, COM0-9 and LPT0-9 (the
// digit also as a superscript 1, 2 or 3), CONIN$ and CONOUT$, in any case.
// Windows finds the device whatever extension follows it, and ignores blanks
// before that extension.
bool DeviceName(const char* element, int32_t length) {
  int32_t base = 0;
  while (base < length && element[base] != '.') ++base;
  while (base > 0 && element[base - 1] == ' ') --base;
  static const char* const plain[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* name : plain)
    if (base == TextLength(name) && TextEqualsN(element, name, base)) return true;
  if (base != 4 || !(TextEqualsN(element, "COM", 3) || TextEqualsN(element, "LPT", 3))) return false;
  uint8_t digit = static_cast<uint8_t>(element[3]);
  return (digit >= '0' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;  // ¹ ² ³
}

}  // namespace

bool SafeNameElement(const char* element, int32_t length) {
  if (length == 0) return false;  // "a\\b": two separators
  int32_t dots = 0;
  bool onlyDots = true;
  for (int32_t i = 0; i < length; ++i) {
    uint8_t c = static_cast<uint8_t>(element[i]);
    if (c < 0x20 || c == '<' || c == '>' || c == '"' || c == '|' || c == '?' || c == '*' || c == ':') return false;
    if (c == '.')
      ++dots;
    else if (c != ' ')
      onlyDots = false;
  }
  // Windows drops trailing dots and blanks of an element: "a." and "a " are
  // "a", and any element of dots and blanks with two dots climbs like "..".
  if (onlyDots && dots >= 2) return false;
  char last = element[length - 1];
  if (last == '.' || last == ' ') return false;
  return !DeviceName(element, length);
}

bool PlainNameElement(const char* name) {
  return !TextFindFirst(name, '/') && !TextFindFirst(name, '\\') && SafeNameElement(name, TextLength(name));
}

char FoldCase(char c) {
  uint8_t u = static_cast<uint8_t>(c);
  if (u >= 'a' && u <= 'z') return static_cast<char>(u - 32);
  // Windows-1252: à-þ (but ÷) fold to À-Þ; š œ ž ÿ to Š Œ Ž Ÿ.
  if (u >= 0xE0 && u <= 0xFE && u != 0xF7) return static_cast<char>(u - 32);
  if (u == 0x9A || u == 0x9C || u == 0x9E) return static_cast<char>(u - 16);
  if (u == 0xFF) return static_cast<char>(0x9F);
  return c;
}
