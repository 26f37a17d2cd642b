#include "config/InstallDir.h"

#include "config/Settings.h"
#include "support/TextUtil.h"

char* MakeInstallPath(char* dest, const char* name) {
  TextJoin(dest, Settings.InstallDir, name, nullptr);
  return dest;
}

bool IsDrivePath(const char* path) {
  char letter = AsciiUpper(path[0]);
  return letter >= 'A' && letter <= 'Z' && path[1] == ':' && path[2] == '\\';
}

int32_t FirstBelowRoot(const char* path, int32_t n) {
  if (IsDrivePath(path)) return 3;
  if (path[0] != '\\' || path[1] != '\\') return 0;
  int32_t separators = 0, i = 2;
  for (; i < n && separators < 2; ++i)
    if (path[i] == '\\') ++separators;
  return separators < 2 ? -1 : i;
}

bool FoldersArePlain(const char* path, TAttributesOf attributesOf) {
  int32_t n = TextLength(path);
  char folder[kTextCapacity + 64];
  if (n > static_cast<int32_t>(sizeof folder) - 1) return false;
  for (int32_t i = FirstBelowRoot(path, n); i >= 0 && i < n; ++i) {
    if (path[i] != '\\' && path[i] != '/') continue;  // Windows takes either
    TextCopyCount(folder, path, i);
    uint32_t attributes = attributesOf(folder);
    if (attributes == kMissing) return true;  // made later, by the program, plain
    if ((attributes & kReparseAttribute) || !(attributes & kDirectoryAttribute)) return false;
  }
  return true;
}

TFolderVerdict JudgeFolder(const TFolderAccess& access, bool installFolder, bool granted) {
  if (!access.OwnerTrusted) return kFolderForeignOwner;
  // What the installation folder hands down goes to every file made in it.
  uint32_t rights = installFolder ? access.OrdinaryRights | access.NewFileRights : access.OrdinaryRights;
  uint32_t refused = installFolder ? (granted ? 0 : kChangesFolder) : kReplacesFolder;
  return rights & refused ? kFolderOpenToUsers : kFolderTrusted;
}

TFolderVerdict JudgeFolders(const char* path, const char* profile, bool granted, TFolderAccessOf accessOf,
                            char* failed) {
  failed[0] = 0;
  int32_t n = TextLength(path);
  if (n > kTextCapacity + 63) return kFolderOpenToUsers;  // not judged: not taken
  if (StartsWithFolder(path, profile)) return kFolderTrusted;
  int32_t first = FirstBelowRoot(path, n);
  if (first < 0 || first >= n) {
    // A root is the installation folder itself.
    TextCopy(failed, path);
    TFolderVerdict verdict = JudgeFolder(accessOf(failed), true, granted);
    if (verdict != kFolderTrusted) return verdict;
  }
  for (int32_t i = first; i >= 0 && i < n; ++i) {
    if (path[i] != '\\' && path[i] != '/') continue;
    TextCopyCount(failed, path, i);
    TFolderAccess access = accessOf(failed);
    if (!access.Exists) break;  // the rest is made by the program, for the administrators
    TFolderVerdict verdict = JudgeFolder(access, i == n - 1, granted);
    if (verdict != kFolderTrusted) return verdict;
  }
  failed[0] = 0;
  return kFolderTrusted;
}

bool StartsWithFolder(const char* path, const char* folder) {
  int32_t n = TextLength(folder);
  if (n == 0 || folder[n - 1] != '\\' || TextLength(path) < n) return false;
  for (int32_t i = 0; i < n; ++i) {
    char a = path[i] == '/' ? '\\' : FoldCase(path[i]);
    if (a != FoldCase(folder[i])) return false;
  }
  return true;
}

const char* InsideFolder(const char* path, const char* folder) {
  return StartsWithFolder(path, folder) && TextLength(path) > TextLength(folder) ? path + TextLength(folder) : nullptr;
}
