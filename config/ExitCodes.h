// How a run ended, as its exit code tells a script or a deployment tool.
#pragma once
#include <cstdint>

constexpr int32_t kExitComplete = 0;    // or nothing to do
constexpr int32_t kExitIncomplete = 1;  // files could not be fetched, or the user stopped the pass
constexpr int32_t kExitServerUnavailable = 2;
constexpr int32_t kExitRefused = 3;  // the file list was refused
constexpr int32_t kExitUninstallIncomplete = 4;
