#include <windows.h>

#include <cstring>

#include "config/Deployment.h"
#include "config/InstallDir.h"
#include "config/Settings.h"
#include "manifest/Signature.h"
#include "support/Log.h"
#include "support/TextUtil.h"
#include "support/Threads.h"
#include "support/TinyLib.h"

namespace {

TPublicKey Keys[kMaxKeys];
int32_t KeyCount;

const TPublicKey* KeyNamed(const char* id) {
  for (int32_t i = 0; i < KeyCount; ++i)
    if (strcmp(Keys[i].Id, id) == 0) return &Keys[i];
  return nullptr;
}

}  // namespace

bool LoadKeys() {
  KeyCount = ParseKeyList(kSigningKeys, Keys, kMaxKeys);
  // A key list the build could not read must not leave the program open to
  // unsigned lists: it then accepts none.
  if (KeyCount < 0) KeyCount = kMaxKeys + 1;
  return KeyCount > 0;
}

bool KeysBuiltIn() { return KeyCount > 0; }

TManifestVerdict CheckManifest(const char* text, int32_t* length, uint64_t* serial) {
  if (!KeysBuiltIn()) return kManifestUnsigned;
  TSignatureBlock block;
  if (!FindSignatureBlock(text, *length, block)) return kManifestNotSigned;
  const TPublicKey* key = KeyCount <= kMaxKeys ? KeyNamed(block.KeyId) : nullptr;
  if (!key) return kManifestNotSigned;
  TSha256 hash;
  hash.Update(text, block.SignedLength);
  uint8_t digest[kDigestSize];
  if (!hash.Finish(digest) || !VerifyP256(key->Point, digest, block.Signature)) return kManifestNotSigned;
  uint64_t installed;
  if (!InstalledSerial(&installed)) return kManifestNoSerial;
  if (!SerialTaken(block.Serial, installed)) return kManifestOlder;
  *length = block.SignedLength;
  *serial = block.Serial;
  return kManifestSigned;
}

namespace {

// The cloud preset's folder is the users' to change, its serial file too:
// the serial is kept where only the administrators write, under the folder's
// name (and in the file as well, for the record).
constexpr char kSerialKey[] = "SOFTWARE\\Velorin\\Tovimar\\Serials";

// One view of the registry for both builds of the program.
constexpr REGSAM kSerialView = KEY_WOW64_32KEY;

bool RegistrySerial(uint64_t* serial) {
  *serial = 0;
  HKEY key;
  LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSerialKey, 0, KEY_QUERY_VALUE | kSerialView, &key);
  if (opened == ERROR_FILE_NOT_FOUND) return true;
  if (opened != ERROR_SUCCESS) return false;
  char digits[kSerialDigits + 2] = {};
  DWORD type = 0, size = kSerialDigits + 1;
  LONG read = RegQueryValueExA(key, Settings.InstallDir, nullptr, &type, reinterpret_cast<BYTE*>(digits), &size);
  RegCloseKey(key);
  if (read == ERROR_FILE_NOT_FOUND) return true;
  if (size > 0 && digits[size - 1] == 0) --size;
  return read == ERROR_SUCCESS && type == REG_SZ && ParseSerial(digits, static_cast<int32_t>(size), serial);
}

bool KeepRegistrySerial(const char* digits, int32_t length) {
  HKEY key;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSerialKey, 0, nullptr, 0, KEY_SET_VALUE | kSerialView, nullptr, &key,
                      nullptr) != ERROR_SUCCESS)
    return false;
  bool kept = RegSetValueExA(key, Settings.InstallDir, 0, REG_SZ, reinterpret_cast<const BYTE*>(digits),
                             static_cast<DWORD>(length + 1)) == ERROR_SUCCESS;
  RegCloseKey(key);
  return kept;
}

bool FolderSerial(uint64_t* serial) {
  *serial = 0;
  // Room for the folder, the name and the suffix of the file in transfer.
  char path[kTextCapacity + 32];
  MakeInstallPath(path, kSerialFileName);
  // Read only through plain folders, and only from a plain file with one
  // name: whoever planted a link there would choose what the serial says,
  // and where the next update writes it.
  if (!PlainFolders(path)) return false;
  TSimpleFile file(path, kReadPlain);
  if (!file.IsOpen()) {
    // Only a serial that is not there is none; one that is locked, or a
    // folder in its place, must not open the door to an older list.
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  }
  char digits[kSerialDigits + 2] = {};
  return ParseSerial(digits, file.Read(digits, kSerialDigits + 1), serial);
}

}  // namespace

bool InstalledSerial(uint64_t* serial) {
  // The cloud folder's file is its users' to lower or raise (and so to shut
  // out every update): there the registry's alone counts, none as a fresh
  // folder's.
  return Settings.CloudMode == kCloudPreset ? RegistrySerial(serial) : FolderSerial(serial);
}

void KeepSerial(uint64_t serial) {
  uint64_t installed;
  if (!InstalledSerial(&installed) || serial <= installed) return;
  char path[kTextCapacity + 32];
  char part[kTextCapacity + 32];
  TextJoin(part, MakeInstallPath(path, kSerialFileName), kPartSuffix, nullptr);
  char digits[kSerialDigits + 2];
  int32_t length = TextLength(SerialText(digits, serial));
  TCommitHold commit;
  if (Settings.CloudMode == kCloudPreset && !KeepRegistrySerial(digits, length))
    LogLine("the list's serial could not be kept in the registry");
  bool placed;
  {
    // Replaced whole or not at all, and only where the folders are still
    // plain: renamed through the handle that wrote it.
    TSimpleFile file(part, kMadeAnew);
    placed = file.IsOpen() && file.Write(digits, length) == length && FlushFileBuffers(file.Handle) &&
             PlainFolders(path) && RenameOpenFile(file.Handle, path);
  }
  if (!placed) {
    DeleteFileA(part);
    LogLine("the list's serial could not be kept for the folder");
  }
}
