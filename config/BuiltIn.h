// Settings a program carries in itself: the INSTDATA resource or its own file
// name, with the cloud preset. Platform-free (BuiltIn.cpp) but for the
// resource's loading (BuiltInWin.cpp).
#pragma once
#include <cstdint>

// The largest INSTDATA text taken.
constexpr int32_t kInstDataLimit = 1023;

// The arguments of an INSTDATA text, '&'-separated, added behind Args and
// applied. Only whole arguments within kInstDataLimit bytes are taken.
void ApplyInstData(const char* data, int32_t size);
// The file-name scheme over Args[0]: customer-[port-][shortcut name-]rest.
void ApplyFileNameScheme();
void ApplyCloudPreset(const char* part);

// Win32 side: the resource when the program has one, else the file name.
void LoadBuiltInSettings();
