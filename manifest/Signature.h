// Signed file lists: the publisher's public keys built into the program, the
// signature block at the end of a manifest and the serial that forbids a
// downgrade. Finding and parsing are platform-free (Signature.cpp); the
// verification and the kept serial are Win32 (SignatureWin.cpp).
#pragma once
#include <cstdint>

#include "support/Crypto.h"

constexpr int32_t kMaxKeys = 2;
constexpr int32_t kKeyIdCapacity = 17;  // 1 to 16 of A-Z a-z 0-9 _ -
constexpr int32_t kSerialDigits = 18;

struct TPublicKey {
  char Id[kKeyIdCapacity];
  uint8_t Point[kPublicKeySize];
};

// "id=base64[;id=base64]" as the build gives it: the number of keys, or -1
// when the text is malformed or holds more than capacity. An empty text: 0.
int32_t ParseKeyList(const char* text, TPublicKey* keys, int32_t capacity);

struct TSignatureBlock {
  int32_t SignedLength;  // every byte before the signature line
  uint64_t Serial;
  char KeyId[kKeyIdCapacity];
  uint8_t Signature[kSignatureSize];
};

// The block that ends n bytes of manifest text: a "[SITES]" line, "serial=N",
// then "signature=id:base64" as the last line (its CR LF, if any, ends the
// text). False when it is not there whole.
bool FindSignatureBlock(const char* text, int32_t n, TSignatureBlock& block);
// 1 to kSerialDigits decimal digits, exactly `length` characters, as a
// serial; false (and *serial unchanged) for anything else.
bool ParseSerial(const char* digits, int32_t length, uint64_t* serial);
// A serial in decimal into out (of kSerialDigits + 2 at least). Returns out.
char* SerialText(char* out, uint64_t serial);

enum TManifestVerdict {
  kManifestUnsigned,   // no keys are built in: taken as it is
  kManifestSigned,     // signed by a built-in key, not older than the installation
  kManifestNotSigned,  // refused
  kManifestOlder,      // refused
  kManifestNoSerial,   // refused: the installation's serial cannot be read
};
// A list's serial may be taken over the installed one: not lower, nor lower
// than the lowest this program was built with (a fresh folder never takes a
// list older than the program).
bool SerialTaken(uint64_t list, uint64_t installed);
// Nothing of a list with this verdict is used.
bool VerdictRefuses(TManifestVerdict verdict);

// Win32 side.

// The built-in keys, parsed once at start. False when none are built in.
bool LoadKeys();
bool KeysBuiltIn();
// The verdict on n bytes of manifest text; a signed manifest's *length
// becomes its signed part and *serial its serial.
TManifestVerdict CheckManifest(const char* text, int32_t* length, uint64_t* serial);
// The serial kept in the installation folder, 0 when there is no such file;
// false when one is there but cannot be read as a serial, or is not a plain
// file with one name, or a folder on its way is not plain. In the cloud
// preset, the one kept in the registry for the folder instead (0 for none).
bool InstalledSerial(uint64_t* serial);
// Keeps a higher serial for the folder.
void KeepSerial(uint64_t serial);
