// The manifest parser down to the selected table, with the file lookups
// stubbed: the first bytes pick the settings, the rest is the manifest.
#include <cstdint>
#include <cstring>
#include <vector>

#include "app/Progress.h"
#include "install/Commit.h"
#include "config/Settings.h"
#include "manifest/Manifest.h"
#include "manifest/Sites.h"
#include "transfer/Mirror.h"
#include "transfer/PartFile.h"

namespace {

// A selected name never leaves the folder: no root, no drive, no element
// that climbs (Windows reads "..", ". ." or "..." alike).
bool Climbs(const char* name) {
  if (name[0] == '\\' || name[0] == '/' || strchr(name, ':')) return true;
  int dots = 0;
  bool onlyDots = true;
  for (const char* p = name;; ++p) {
    if (*p == '\\' || *p == '/' || *p == 0) {
      if (onlyDots && dots >= 2) return true;
      if (*p == 0) return false;
      dots = 0;
      onlyDots = true;
    } else if (*p == '.') {
      ++dots;
    } else if (*p != ' ') {
      onlyDots = false;
    }
  }
}

bool SomeUpToDate(const char* path, int32_t size, uint32_t, const uint8_t*) {
  return (static_cast<uint32_t>(path[0]) + static_cast<uint32_t>(size)) % 3 == 0;
}

// Installed files of a content whose hash is all one byte, the path's last.
bool SomeInstalledHash(const char* path, uint8_t sha256[32]) {
  size_t n = strlen(path);
  if (n == 0 || path[n - 1] % 2) return false;
  memset(sha256, path[n - 1], 32);
  return true;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  ResetSettings();
  ResetSites();
  ResetStats();
  Settings.IncludeSections = data[0];
  Settings.CloudMode = data[1] % 3;
  strcpy(Settings.Language, data[1] & 4 ? "EN" : "");
  strcpy(Settings.InstallDir, data[1] & 8 ? "C:\\Velorin\\" : "C:\\Program Files (x86)\\Velorin\\Client\\");
  // A folder long enough that a file in transfer needs a short name.
  if (data[1] & 16) {
    memset(Settings.InstallDir + 3, 'v', 200);
    strcpy(Settings.InstallDir + 203, "\\");
  }
  std::vector<char> text(data + 2, data + size);
  text.push_back(0);  // the spare byte behind the data
  ParseManifest(text.data(), static_cast<int32_t>(size - 2), SomeUpToDate, data[1] & 32,
                data[1] & 64 ? SomeInstalledHash : nullptr);
  for (int32_t i = 0; i < FileCount; ++i) {
    const TFileEntry& e = FileTable[i];
    if (strlen(e.Name) > 63 || e.Name[0] == 0 || Climbs(e.Name)) __builtin_trap();
    // A patch only from the installed content, of a size, on a hashed line.
    if (e.HasPatch && (e.PatchSize <= 0 || !e.HasHash || e.PatchBase[0] % 2 || e.PatchBase[0] != e.PatchBase[31]))
      __builtin_trap();
    // Its file in transfer fits the system's longest path and lies in the
    // target's folder.
    char target[kTextCapacity], part[kTextCapacity + kPartSuffixLength];
    MakeInstallPath(target, e.Name);
    if (PartName(part, target)) {
      const char* slash = strrchr(target, '\\');
      size_t folder = slash ? static_cast<size_t>(slash - target) + 1 : 0;
      if (strlen(part) > kTextCapacity - 1 || strncmp(part, target, folder) != 0 || strchr(part + folder, '\\'))
        __builtin_trap();
    }
  }
  PrepareSites();
  for (int32_t s = 0; s < SiteCount; ++s) {
    char url[kTextCapacity];
    for (int32_t i = 0; i < FileCount; ++i) BuildMirrorUrl(Sites[s], url, &FileTable[i]);
    while (PickNextFile(Sites[s]) >= 0) {
    }
  }
  SumWritten();
  ResetManifest();
  ResetSites();
  // The same bytes as a journal a crash left, and as a record's resume line:
  // what they name stays in the folder and in the request's header.
  std::vector<char> journal(data + 2, data + size);
  journal.push_back(0);
  bool whole = EndsWhole(journal.data(), static_cast<int32_t>(size - 2));
  TSimpleStrings lines(journal.data(), static_cast<int32_t>(size - 2));
  int32_t count = 0;
  if (ReadJournal(lines, whole, &count) == kJournalCommitted) {
    for (int32_t i = 1; i <= count; ++i) {
      char aside[kAsideNameLength + 1];
      TFileEntry entry;
      if (!JournalFile(lines.Items[i], aside, &entry) || Climbs(entry.Name) || !IsAsideName(aside)) __builtin_trap();
    }
  }
  TInflatePoint point;
  char validator[kValidatorCapacity];
  if (ParseResume(text.data(), &point, validator) && (point.Bits > 7 || !SendableValidator(validator)))
    __builtin_trap();
  return 0;
}
