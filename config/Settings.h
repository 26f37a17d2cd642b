// The process-wide settings, filled once on the UI thread before any other
// thread starts and read without a lock afterwards.
#pragma once
#include <cstdint>

constexpr int kTextCapacity = 260;
constexpr int kNameCapacity = 64;
constexpr int kMaxArgs = 16;

struct TSettings {
  char InstallDir[kTextCapacity];
  char ManifestUrl[kTextCapacity];
  char CommandLine[kTextCapacity];
  char RunAfter[kTextCapacity];
  char Host[kTextCapacity];
  char Language[kNameCapacity];
  char LinkName[kNameCapacity];
  int32_t Port;
  int32_t CloudMode;  // 0 normal, 1 "azure" keyword, 2 cloud preset
  uint8_t IncludeSections;
  bool ShortcutsEnabled;
  bool SaasArguments;
  bool UninstallRequested;
  int32_t ResourceFound;
  char* Args[kMaxArgs];
  int32_t ArgCount;
};

extern TSettings Settings;

void ResetSettings();

// Copies `line` into CommandLine (cut at its capacity), splits it into Args and
// applies the keywords. Returns ArgCount.
int32_t ParseCommandText(const char* line);
// ParseCommandText over the process command line; runs an uninstall request
// (which never returns).
int32_t ParseCommandLine();
// Arguments beyond the table's capacity are dropped.
void AddArg(char* text);
void ApplyArguments();
// host or host:port; true when the host part holds a '.'.
bool SetHost(const char* text);
// Appends one quoted argument, only when it fits whole.
void AppendRunAfter(const char* text);
