// Where the manifest text comes from: the manifest URL, a .ver file beside
// the program, or the file server (Win32 side only).
#pragma once
#include <cstdint>

// Reads and parses the manifest: FileTable, the total and the sites.
void LoadManifest();
int32_t ReadUrlManifest();
int32_t ReadLocalManifest();
