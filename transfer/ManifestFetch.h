// Where the manifest text comes from: the manifest URL, a .ver file beside
// the program, or the file server (Win32 side only).
#pragma once
#include <cstdint>

#include "manifest/Signature.h"

// What became of the last manifest read: kManifestNotSigned or
// kManifestOlder when it was refused (nothing of it is used).
extern TManifestVerdict ManifestVerdict;
// A manifest text arrived (an empty source gives none).
extern bool ManifestFound;
// The text filled what one read takes: its end may be missing.
extern bool ManifestCut;

// Reads, checks and parses the manifest: FileTable, the total and the sites.
void LoadManifest();
bool ManifestRefused();
int32_t ReadUrlManifest();
int32_t ReadLocalManifest();
