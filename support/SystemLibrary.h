// System DLLs loaded at run time from the system folder only: an elevated
// program started from a downloads folder must never load a planted copy
// (Win32 side only, SystemLibraryWin.cpp).
#pragma once

// Restricts later library loads to the system folder, where the system
// offers it. Called first thing at start.
void RestrictLibraryLoading();
// The module (an HMODULE) of the system folder's DLL of that name; nullptr
// when it is not there. Callers load once and keep it.
void* LoadSystemLibrary(const char* name);
// The address of an export; nullptr when the module or the export is missing.
void* ExportAddress(void* module, const char* name);

// The export cast to the pointer type of the slot; false when it is missing.
template <typename T>
bool BindExport(void* module, T& slot, const char* name) {
  slot = reinterpret_cast<T>(ExportAddress(module, name));
  return slot != nullptr;
}
