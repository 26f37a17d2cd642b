#include <windows.h>
#include <bcrypt.h>

#include <cstring>

#include "support/Crypto.h"
#include "support/SystemLibrary.h"
#include "support/TinyLib.h"

namespace {

struct TBcrypt {
  decltype(&BCryptOpenAlgorithmProvider) OpenAlgorithmProvider;
  decltype(&BCryptCreateHash) CreateHash;
  decltype(&BCryptHashData) HashData;
  decltype(&BCryptFinishHash) FinishHash;
  decltype(&BCryptDestroyHash) DestroyHash;
  decltype(&BCryptImportKeyPair) ImportKeyPair;
  decltype(&BCryptVerifySignature) VerifySignature;
  decltype(&BCryptDestroyKey) DestroyKey;
  decltype(&BCryptGenRandom) GenRandom;
  BCRYPT_ALG_HANDLE Sha256;  // shared by every thread, as the system allows
  BCRYPT_ALG_HANDLE EcdsaP256;
};

TBcrypt Bcrypt;

bool Succeeded(NTSTATUS status) { return status >= 0; }

}  // namespace

bool LoadCrypto() {
  if (Bcrypt.Sha256) return true;
  void* module = LoadSystemLibrary("bcrypt.dll");
  bool bound = BindExport(module, Bcrypt.OpenAlgorithmProvider, "BCryptOpenAlgorithmProvider") &&
               BindExport(module, Bcrypt.CreateHash, "BCryptCreateHash") &&
               BindExport(module, Bcrypt.HashData, "BCryptHashData") &&
               BindExport(module, Bcrypt.FinishHash, "BCryptFinishHash") &&
               BindExport(module, Bcrypt.DestroyHash, "BCryptDestroyHash") &&
               BindExport(module, Bcrypt.ImportKeyPair, "BCryptImportKeyPair") &&
               BindExport(module, Bcrypt.VerifySignature, "BCryptVerifySignature") &&
               BindExport(module, Bcrypt.DestroyKey, "BCryptDestroyKey") &&
               BindExport(module, Bcrypt.GenRandom, "BCryptGenRandom");
  if (!bound) return false;
  BCRYPT_ALG_HANDLE sha = nullptr, ecdsa = nullptr;
  if (!Succeeded(Bcrypt.OpenAlgorithmProvider(&sha, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) return false;
  if (!Succeeded(Bcrypt.OpenAlgorithmProvider(&ecdsa, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0))) ecdsa = nullptr;
  Bcrypt.EcdsaP256 = ecdsa;
  Bcrypt.Sha256 = sha;
  return true;
}

TSha256::TSha256() = default;

bool TSha256::Start() {
  if (Handle || Failed) return !Failed;
  BCRYPT_HASH_HANDLE hash = nullptr;
  // The system keeps the hash object itself (no buffer of ours).
  if (!Bcrypt.Sha256 || !Succeeded(Bcrypt.CreateHash(Bcrypt.Sha256, &hash, nullptr, 0, nullptr, 0, 0))) {
    Failed = true;
    return false;
  }
  Handle = hash;
  return true;
}

TSha256::~TSha256() { Reset(); }

void TSha256::Reset() {
  if (Handle) Bcrypt.DestroyHash(Handle);
  Handle = nullptr;
  Failed = false;
}

void TSha256::Update(const void* data, int32_t count) {
  if (count <= 0 || !Start()) return;
  if (!Succeeded(Bcrypt.HashData(Handle, static_cast<PUCHAR>(const_cast<void*>(data)), static_cast<ULONG>(count), 0)))
    Failed = true;
}

bool TSha256::Finish(uint8_t digest[kDigestSize]) {
  if (!Start()) return false;
  Failed = !Succeeded(Bcrypt.FinishHash(Handle, digest, kDigestSize, 0));
  return !Failed;
}

bool RandomBytes(uint8_t* out, int32_t count) {
  return Bcrypt.GenRandom &&
         Succeeded(Bcrypt.GenRandom(nullptr, out, static_cast<ULONG>(count), BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

bool Sha256OfFile(const char* path, uint8_t digest[kDigestSize]) {
  TSimpleFile file(path, kForReading);
  return Sha256OfOpenFile(file, digest);
}

bool Sha256OfOpenFile(TSimpleFile& file, uint8_t digest[kDigestSize]) {
  if (!file.IsOpen()) return false;
  TSha256 hash;
  uint8_t piece[32768];
  for (;;) {
    int32_t n = file.Read(piece, sizeof piece);
    if (n < 0) return false;
    if (n == 0) break;
    hash.Update(piece, n);
  }
  return hash.Finish(digest);
}

bool VerifyP256(const uint8_t key[kPublicKeySize], const uint8_t digest[kDigestSize],
                const uint8_t signature[kSignatureSize]) {
  if (!Bcrypt.EcdsaP256) return false;
  struct {
    BCRYPT_ECCKEY_BLOB Header;
    uint8_t Point[kPublicKeySize];
  } blob;
  blob.Header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
  blob.Header.cbKey = kPublicKeySize / 2;
  memcpy(blob.Point, key, kPublicKeySize);
  BCRYPT_KEY_HANDLE handle = nullptr;
  if (!Succeeded(Bcrypt.ImportKeyPair(Bcrypt.EcdsaP256, nullptr, BCRYPT_ECCPUBLIC_BLOB, &handle,
                                      reinterpret_cast<PUCHAR>(&blob), sizeof blob, 0)))
    return false;
  NTSTATUS status = Bcrypt.VerifySignature(handle, nullptr, const_cast<PUCHAR>(digest), kDigestSize,
                                           const_cast<PUCHAR>(signature), kSignatureSize, 0);
  Bcrypt.DestroyKey(handle);
  return status == 0;
}
