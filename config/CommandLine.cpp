#include "config/CommandLine.h"

#include "config/Settings.h"
#include "manifest/Sites.h"
#include "support/TextUtil.h"

namespace {

bool IsBlankOrTab(char c) { return c == ' ' || c == '\t'; }

// The value of a keyword starts `offset` characters into the argument; an
// argument that ends earlier has an empty value.
const char* ValueAt(const char* arg, int offset) {
  for (int i = 0; i < offset; ++i)
    if (arg[i] == 0) return arg + i;
  return arg + offset;
}

bool Keyword(const char* arg, const char* keyword) { return TextEqualsN(arg, keyword, TextLength(keyword)); }

}  // namespace

void AddArg(char* text) {
  if (Settings.ArgCount >= kMaxArgs) return;
  Settings.Args[Settings.ArgCount++] = text;
}

int32_t ParseCommandText(const char* line) {
  Settings.ArgCount = 0;
  TextCopyMax(Settings.CommandLine, line, kTextCapacity);
  char* p = Settings.CommandLine;
  while (*p) {
    if (*p == '"') {
      ++p;
      AddArg(p);
      while (*p && *p != '"') ++p;
      if (*p == 0) break;  // never closed: the token runs to the end
      *p++ = 0;
    } else {
      AddArg(p);
      while (*p && *p != ' ') ++p;
      if (*p == 0) break;
      *p++ = 0;
    }
    while (IsBlankOrTab(*p)) ++p;
  }
  if (Settings.ArgCount == 0) AddArg(Settings.CommandLine);  // Args[0] always exists
  // A token the cut ran through is dropped: half a folder or half a program
  // to start is worse than none.
  const char* cut = line + kTextCapacity - 1;
  if (Settings.ArgCount > 1 && TextLength(line) > kTextCapacity - 1 && !IsBlankOrTab(*cut) && *cut != '"') {
    const char* last = Settings.Args[Settings.ArgCount - 1];
    if (last + TextLength(last) == Settings.CommandLine + kTextCapacity - 1) --Settings.ArgCount;
  }
  ApplyArguments();
  return Settings.ArgCount;
}

void ApplyArguments() {
  bool afterNext = false;
  for (int i = 1; i < Settings.ArgCount; ++i) {
    char* arg = Settings.Args[i];
    if (afterNext) {
      AppendRunAfter(arg);
    } else if (Keyword(arg, "next")) {
      afterNext = true;
    } else if (Keyword(arg, "host")) {
      SetHost(ValueAt(arg, 5));
    } else if (Keyword(arg, "web:")) {
      AddSite(const_cast<char*>(ValueAt(arg, 4)));
    } else if (Keyword(arg, "kvo") && TextEqualsN(ValueAt(arg, 4), "ON", 2)) {
      Settings.ShortcutsEnabled = true;
    } else if (Keyword(arg, "linkname")) {
      // A shortcut's name, never a path: "..\\x" would put it elsewhere.
      char name[kNameCapacity];
      TextCopyMax(name, ValueAt(arg, 9), kNameCapacity);
      if (PlainNameElement(name)) TextCopy(Settings.LinkName, name);
    } else if (Keyword(arg, "dir")) {
      TextCopyMax(Settings.InstallDir, ValueAt(arg, 4), kTextCapacity);
    } else if (Keyword(arg, "azure")) {
      Settings.CloudMode = kCloudKeyword;
    } else if (Keyword(arg, "uninstall")) {
      Settings.UninstallRequested = true;
      if (arg[9] == ':') TextCopyMax(Settings.InstallDir, arg + 10, kTextCapacity);
    } else if (Keyword(arg, "verify")) {
      Settings.VerifyFiles = true;
    } else if (Keyword(arg, "silent")) {
      Settings.Silent = true;
    } else if (Keyword(arg, "log=")) {
      TextCopyMax(Settings.LogPath, ValueAt(arg, 4), kTextCapacity);
    } else if (Keyword(arg, "timeout=")) {
      // Seconds in digits alone; anything else (a sign, a unit, too many
      // digits) leaves the limit as it was.
      const char* value = ValueAt(arg, 8);
      int32_t digits = 0;
      while (value[digits] >= '0' && value[digits] <= '9') ++digits;
      if (digits >= 1 && digits <= 6 && value[digits] == 0) Settings.TimeoutSeconds = TextToInt(value);
    } else if (Keyword(arg, "include")) {
      Settings.IncludeSections = static_cast<uint8_t>(TextToInt(ValueAt(arg, 8)) & 0xFF);
    }
  }
}

bool SetHost(const char* text) {
  bool dotted = false;
  int i = 0;
  for (; text[i] && text[i] != ':'; ++i) {
    if (i < kTextCapacity - 1) {
      Settings.Host[i] = text[i];
      if (text[i] == '.') dotted = true;
    }
  }
  Settings.Host[i < kTextCapacity - 1 ? i : kTextCapacity - 1] = 0;
  // A port inside the resource is taken one lower: stamped copies in the field
  // were made with this rule, so it stays.
  // Wrapping as the digits do: a port text of any length stays defined.
  if (text[i] == ':')
    Settings.Port = static_cast<int32_t>(static_cast<uint32_t>(TextToInt(text + i + 1)) -
                                         static_cast<uint32_t>(Settings.ResourceFound));
  return dotted;
}

void AppendRunAfter(const char* text) {
  char* run = Settings.RunAfter;
  int used = TextLength(run);
  int need = TextLength(text) + 2 + (used ? 1 : 0);
  if (need > kTextCapacity - 1 - used) return;
  char* p = run + used;
  if (used) p = TextPutChar(p, ' ');
  p = TextPutChar(p, '"');
  p = TextCopy(p, text);
  p = TextPutChar(p, '"');
  *p = 0;
}
