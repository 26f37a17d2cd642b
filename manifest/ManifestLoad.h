// Where the manifest text comes from: the manifest URL, a .ver file beside
// the program, or the file server; and the up-to-date check on disk.
#pragma once
#include <cstdint>

void LoadManifest();
int32_t ReadUrlManifest();
int32_t ReadLocalManifest();
// One read of at most 100000 bytes; 0 when the file cannot be opened, -1
// when the read fails.
int32_t ReadFileText(const char* path, void* buffer);
bool IsUpToDate(const char* path, int32_t size, uint32_t dosTime);
