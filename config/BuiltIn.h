// Settings a program carries in itself: the INSTDATA resource or its own file
// name, with the cloud preset; and the expansion of the installation folder.
#pragma once
#include <cstdint>

// The deployment values, fixed when the program is built.
extern const char kSaasSuffix[];       // appended to a customer host without '.'
extern const char kCloudManifestUrl[];  // http://<cloud file host>/install/files.ver
extern const char kCloudServerHost[];

// The largest INSTDATA text taken.
constexpr int32_t kInstDataLimit = 1023;

// The path of a shell special folder followed by '\', or nullptr when the
// folder cannot be resolved (the buffer is then empty).
char* SpecialFolderPath(char* buffer, int csidl);

// The arguments of an INSTDATA text, '&'-separated, added behind Args and
// applied. The text is cut at kInstDataLimit bytes.
void ApplyInstData(const char* data, int32_t size);
// The file-name scheme over Args[0]: customer-[port-][shortcut name-]rest.
void ApplyFileNameScheme();
void ApplyCloudPreset(const char* part);

void LoadBuiltInSettings();
void ExpandInstallDir();
