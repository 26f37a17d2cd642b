// Text routines over fixed, caller-owned, zero-terminated 8-bit buffers.
// Most copies return the position of the terminator they wrote, so texts are
// assembled by chaining. None of the plain routines checks a capacity; the
// *Max variants do, for text that comes from outside the program.
#pragma once
#include <cstdint>

int TextLength(const char* text);
char* TextFindFirst(const char* text, char c);
char* TextFindLast(const char* text, char c);
char* TextCopy(char* dest, const char* src);
char* TextCopyCount(char* dest, const char* src, int n);
char* TextPutChar(char* pos, char c);
// Two lower-case hexadecimal digits for each byte, no terminator; returns
// the position after them.
char* TextPutHex(char* pos, const uint8_t* bytes, int32_t count);
char* TextJoin(char* dest, const char* s1, const char* s2, const char* s3);
char* TextAppend(char* dest, const char* s1, const char* s2);
char* TextEnsureBackslash(char* text);
// A folder's text without the '\' that ends it, into dest (of the folder's
// size at least). Returns dest.
char* TextCopyFolder(char* dest, const char* folder);
// The last element's extension replaced by ext, or ext appended after a '.'
// where it has none (room for both: the caller's). Returns text.
char* TextReplaceExtension(char* text, const char* ext);
char* TextFromInt(char* pos, uint64_t value);
int32_t TextParseInt(const char*& cursor);
int32_t TextToInt(const char* text);
char AsciiUpper(char c);
// Upper case as Windows compares file names: ASCII and Windows-1252 letters.
char FoldCase(char c);
bool TextEquals(const char* a, const char* b);
bool TextEqualsN(const char* a, const char* b, int n);

// Bounded variants: `capacity` counts the terminator. They copy what fits,
// always terminate, and return the terminator's position.
char* TextCopyMax(char* dest, const char* src, int capacity);
// Appends src to the text already in dest (of total capacity) as far as it fits.
char* TextAppendMax(char* dest, const char* src, int capacity);
// True when dest's text followed by src fits capacity (terminator included).
bool TextFits(const char* dest, const char* src, int capacity);
// Like TextEqualsN, but stops with false at the first terminator in either
// text, so it never reads past a short text.
bool TextStartsWith(const char* text, const char* prefix);

// One element of a path as Windows would keep it: not empty, none of
// < > " | ? * : or a control character, not ending in a dot or a blank, not
// only dots and blanks with two dots (which climbs like ".."), not a device
// name (CON, NUL, COM1 ... in any case, with any extension).
bool SafeNameElement(const char* element, int32_t length);
// A whole text that is such an element, with neither '\\' nor '/' in it: a
// name that stays in the folder it is put into.
bool PlainNameElement(const char* name);

// FNV-1a, a byte at a time from kHashBasis: a name's hash for a table or a
// short file name.
constexpr uint32_t kHashBasis = 2166136261u;
inline uint32_t HashByte(uint32_t hash, uint8_t byte) { return (hash ^ byte) * 16777619u; }
