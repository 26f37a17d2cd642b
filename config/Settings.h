// The process-wide settings, filled once on the UI thread before any other
// thread starts and read without a lock afterwards.
#pragma once
#include <cstdint>

constexpr int kTextCapacity = 260;
constexpr int kNameCapacity = 64;
constexpr int kMaxArgs = 16;

// Settings.CloudMode.
constexpr int32_t kCloudOff = 0;
constexpr int32_t kCloudKeyword = 1;  // the "azure" keyword: mirror URLs without month folders
constexpr int32_t kCloudPreset = 2;   // a file name beginning with "azure"

// A silent run ends with 1 after this many seconds, unless timeout= says
// otherwise (0: no limit).
constexpr int32_t kDefaultTimeout = 3600;

// Settings.IncludeSections: one bit per manifest section number (Manifest.h).
constexpr uint8_t kIncludeDefault = 1u << 1;  // CLIENT

struct TSettings {
  char InstallDir[kTextCapacity];
  char ManifestUrl[kTextCapacity];
  char CommandLine[kTextCapacity];
  char RunAfter[kTextCapacity];
  char Host[kTextCapacity];
  char Language[kNameCapacity];
  char LinkName[kNameCapacity];
  int32_t Port;
  int32_t CloudMode;
  uint8_t IncludeSections;
  bool ShortcutsEnabled;
  bool SaasArguments;
  bool UninstallRequested;
  bool VerifyFiles;             // the up-to-date check compares content hashes
  bool Silent;                  // no window and no message box
  char LogPath[kTextCapacity];  // where the run's log goes; empty: no log
  int32_t TimeoutSeconds;       // a silent run's limit from timeout=; -1: not given (kDefaultTimeout)
  int32_t ResourceFound;
  char* Args[kMaxArgs];
  int32_t ArgCount;
};

extern TSettings Settings;

void ResetSettings();
