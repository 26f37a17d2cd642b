#include <windows.h>

#include "config/BuiltIn.h"

void LoadBuiltInSettings() {
  HMODULE self = GetModuleHandleA(nullptr);
  HRSRC resource = FindResourceA(self, "INSTDATA", MAKEINTRESOURCEA(10));  // RCDATA
  if (!resource) {
    ApplyFileNameScheme();
    return;
  }
  HGLOBAL loaded = LoadResource(self, resource);
  const void* data = loaded ? LockResource(loaded) : nullptr;
  if (!data) return;  // found but unreadable: nothing is configured
  ApplyInstData(static_cast<const char*>(data), static_cast<int32_t>(SizeofResource(self, resource)));
}
