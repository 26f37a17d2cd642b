// The owner of one COM interface pointer (Win32 side only): released when it
// goes, never copied.
#pragma once

template <typename T>
class TComRef {
 public:
  TComRef() = default;
  ~TComRef() {
    if (Ptr) Ptr->Release();
  }
  TComRef(const TComRef&) = delete;
  TComRef& operator=(const TComRef&) = delete;
  T* Ptr = nullptr;
  void** Out() { return reinterpret_cast<void**>(&Ptr); }
};
