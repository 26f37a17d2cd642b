// SHA-256 and ECDSA P-256 verification through the system's cryptography
// (bcrypt.dll from the system folder; CryptoWin.cpp), and the decoding of the
// texts that carry their values (Crypto.cpp, platform-free).
#pragma once
#include <cstdint>

class TSimpleFile;

constexpr int32_t kDigestSize = 32;     // SHA-256
constexpr int32_t kPublicKeySize = 64;  // P-256: X then Y, big-endian
constexpr int32_t kSignatureSize = 64;  // r then s, big-endian

// Standard base64 with padding, exactly `length` characters: the bytes
// written, or -1 for anything malformed or longer than capacity.
int32_t DecodeBase64(const char* text, int32_t length, uint8_t* out, int32_t capacity);
// 2 * count hexadecimal digits (either case) into count bytes; false on
// anything else.
bool DecodeHex(const char* text, uint8_t* out, int32_t count);

// Win32 side.

// Loads the algorithms once, before any thread; false when the system has
// none (every hash and verification then fails).
bool LoadCrypto();

// A running SHA-256; the system's hash object is made at the first use.
class TSha256 {
 public:
  TSha256();
  ~TSha256();
  TSha256(const TSha256&) = delete;
  TSha256& operator=(const TSha256&) = delete;

  void Update(const void* data, int32_t count);
  // The digest of everything given; false when any step failed.
  bool Finish(uint8_t digest[kDigestSize]);
  // Forgets everything given: a new hash.
  void Reset();

 private:
  bool Start();
  void* Handle = nullptr;  // BCRYPT_HASH_HANDLE
  bool Failed = false;
};

// count bytes from the system's random number generator; false when it has
// none.
bool RandomBytes(uint8_t* out, int32_t count);
// The SHA-256 of a file's content; false when it cannot be read whole.
bool Sha256OfFile(const char* path, uint8_t digest[kDigestSize]);
// The same from a file already open, read from where it stands.
bool Sha256OfOpenFile(TSimpleFile& file, uint8_t digest[kDigestSize]);
// True only when the signature over the digest verifies with the key.
bool VerifyP256(const uint8_t key[kPublicKeySize], const uint8_t digest[kDigestSize],
                const uint8_t signature[kSignatureSize]);
