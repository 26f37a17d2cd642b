// The manifest: its sections and file lines, and the table of the files to
// fetch that it selects. Platform-free (Manifest.cpp) but for the reads of the
// disk (ManifestWin.cpp).
#pragma once
#include <cstdint>

#include "config/Settings.h"
#include "support/Crypto.h"

// TFileEntry::State.
constexpr int32_t kPending = 0;
constexpr int32_t kDone = 1;
constexpr int32_t kAtMirror = 2;  // claimed by a mirror worker

struct TFileEntry {
  char Name[kNameCapacity];  // relative path as the manifest gives it
  int32_t Size;
  uint32_t DosTime;  // DOS date in the high 16 bits, time in the low; 0 = none
  volatile int32_t State;
  volatile int32_t Written;
  bool HasHash;  // the line gave the SHA-256 of the installed content
  uint8_t Sha256[kDigestSize];
  // A patch from the installed file, which the line offered and whose base
  // the installed file was when the list was read: fetched instead of the
  // file, PatchSize bytes of SHA-256 PatchSha256.
  bool HasPatch;
  int32_t PatchSize;
  uint8_t PatchBase[kDigestSize];
  uint8_t PatchSha256[kDigestSize];
};

// A patch field of a file line, after its hash:
// ",patch=<base sha256>:<patch bytes>:<patch sha256>", hexadecimal digits.
struct TPatchField {
  uint8_t Base[kDigestSize];
  int32_t Size;
  uint8_t Sha256[kDigestSize];
};
constexpr int32_t kPatchFields = 4;
// The well-formed patch fields of the fields text (what follows a line's
// '='), up to capacity; one malformed is skipped.
int32_t ParsePatchFields(const char* fields, TPatchField* out, int32_t capacity);

extern TFileEntry* FileTable;
extern int32_t FileCount;
// The entries of the file table as the workers take them: the largest, the
// smallest, the second largest, the second smallest and so on. Of two equal
// sizes the one earlier in the table counts as the larger, so the large end
// takes them in the table's order and the small end in reverse. FileCount
// entries, or nullptr for the table's own order. Made by MakePickOrder, freed
// with the table.
extern int32_t* PickOrder;

// One file whose line the end of the run needs whether or not the pass
// fetches it (the run-after program): ParseManifest copies the selected line
// that names WatchedName (relative; empty for none) into WatchedLine, whose
// Size stays -1 when no line did.
extern char WatchedName[kTextCapacity];
extern TFileEntry WatchedLine;

// What the list says of the installation as a whole: a "version=" line of
// its [SITES] (printable, shorter than kVersionCapacity; empty: none), which
// programs that do not know it take for a site they cannot use, and the
// sum of the sizes of every file it selects, fetched or not.
constexpr int32_t kVersionCapacity = 32;
extern char ListVersion[kVersionCapacity];
extern uint64_t ListedBytes;

// The largest manifest text taken from a URL or a file: as much as one
// server reply holds. A read asks for one byte more to tell a longer text,
// which is cut here; the buffer has room for that byte and a terminator.
constexpr int32_t kManifestLimit = 256 * 1024;

// SectionOf's results; Settings.IncludeSections has one bit for each.
constexpr int32_t kSectionNone = 0;  // lines before any header or under an unknown one
constexpr int32_t kSectionClient = 1;
constexpr int32_t kSectionServerOnly = 2;
constexpr int32_t kSectionOnDemand = 3;
constexpr int32_t kSectionSites = 4;

void ResetManifest();

int32_t SectionOf(const char* text);
bool LanguageAllows(const char* name);
// False for a relative path that could leave the installation folder or does
// not fit the entry and the full path.
// Also false for a name Windows would not keep as it stands: a device name
// in any element, < > " | ? * or a control character, an element ending in a
// dot or a blank.
bool SafeRelativePath(const char* name, int32_t length);
// The names the program keeps in the folder for itself: linkfiles,
// Tovimar.exe, the serial file and any file in transfer.
bool OwnName(const char* name);
// Equal as Windows names: letter case (Windows-1252) and '/' for '\' aside.
bool SameFileName(const char* a, const char* b);

// sha256 is the line's hash, nullptr when it gives none.
using TUpToDateCheck = bool (*)(const char* path, int32_t size, uint32_t dosTime, const uint8_t* sha256);
// The installed file's SHA-256; false when there is none to read.
using TInstalledHash = bool (*)(const char* path, uint8_t sha256[kDigestSize]);
// Parses n bytes of manifest text in place (the buffer has one spare byte
// behind them), adds the sites and builds FileTable and the total. In a
// signed list, a file line without a hash is skipped. With installedHash,
// a file to fetch whose line offers patches is hashed, and a patch from
// that content is taken: its size counts, not the file's.
void ParseManifest(char* text, int32_t n, TUpToDateCheck isUpToDate, bool signedList = false,
                   TInstalledHash installedHash = nullptr);
// A file line: the name's length, the size, the DOS date-time and, after
// them, an optional ",sha256=" with 64 hexadecimal digits (anything else
// after the time is ignored). False for a hash field that is malformed.
bool ParseFileFields(const char* line, int32_t& nameLength, int32_t& size, uint32_t& dosTime, bool& hasHash,
                     uint8_t sha256[kDigestSize]);
// A file line into the entry's name and hash, its size and time: false when
// the path is not one we may write (or is one of ours) or the hash is
// malformed.
bool ParseFileLine(const char* line, TFileEntry& entry, int32_t& size, uint32_t& dosTime);
int32_t SumWritten();
// Makes PickOrder for the table as it is now.
void MakePickOrder();

// Win32 side.
// One read of at most kManifestLimit + 1 bytes; 0 when the file cannot be
// opened, -1 when the read fails.
int32_t ReadFileText(const char* path, void* buffer);
// By size and time; with Settings.VerifyFiles and a hash, by the content's
// SHA-256 instead.
bool IsUpToDate(const char* path, int32_t size, uint32_t dosTime, const uint8_t* sha256);
