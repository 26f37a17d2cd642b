// Where the manifest text comes from (the manifest URL, a .ver file beside
// the program, or the file server) and what became of it. The outcome is a
// platform-free record (ManifestFetch.cpp); the reads are Win32
// (ManifestFetchWin.cpp).
#pragma once
#include <cstdint>

#include "manifest/Signature.h"

// What became of the last manifest read.
struct TManifestOutcome {
  TManifestVerdict Verdict;  // refused: nothing of it is used
  bool Found;                // a text arrived (an empty source gives none)
  bool Cut;                  // the text filled what one read takes: its end may be missing
  uint64_t Serial;           // a signed list's serial; 0 for any other
  const char* Source;        // where it came from, for the log; nullptr: nowhere
};

extern TManifestOutcome ManifestOutcome;
// Nothing read yet; LoadManifest starts with it.
void ResetManifestOutcome();

// Win32 side.

// Reads, checks and parses the manifest: FileTable, the total and the sites.
void LoadManifest();
int32_t ReadUrlManifest();
int32_t ReadLocalManifest();
