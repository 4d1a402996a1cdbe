// The archive signature's CNG edge. Built only when the build carries archive
// keys; the keys come from the header that tools/archive-key.py generates.
#include "install/archive_signature.h"

#include <windows.h>
#include <bcrypt.h>
#include <string.h>

#include "base/system_library.h"
#include "install/archive_keys.h"

namespace {

// bcrypt.dll is loaded from the system folder by name, like WinHTTP, and
// kept: nothing beside the setup may stand in for the platform's check.
struct CngApi {
  decltype(&BCryptOpenAlgorithmProvider) openAlgorithm;
  decltype(&BCryptCloseAlgorithmProvider) closeAlgorithm;
  decltype(&BCryptCreateHash) createHash;
  decltype(&BCryptHashData) hashData;
  decltype(&BCryptFinishHash) finishHash;
  decltype(&BCryptDestroyHash) destroyHash;
  decltype(&BCryptImportKeyPair) importKey;
  decltype(&BCryptVerifySignature) verifySignature;
  decltype(&BCryptDestroyKey) destroyKey;
};

// Filled once inside cngOnce and only read afterwards.
CngApi cng;
INIT_ONCE cngOnce = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK LoadCng(PINIT_ONCE, PVOID, PVOID*) {
  HMODULE lib = LoadSystemLibrary(L"bcrypt.dll");
  if (!lib) return FALSE;
  CngApi api;
  api.openAlgorithm =
      LoadSystemFunction<decltype(api.openAlgorithm)>(lib, "BCryptOpenAlgorithmProvider");
  api.closeAlgorithm =
      LoadSystemFunction<decltype(api.closeAlgorithm)>(lib, "BCryptCloseAlgorithmProvider");
  api.createHash = LoadSystemFunction<decltype(api.createHash)>(lib, "BCryptCreateHash");
  api.hashData = LoadSystemFunction<decltype(api.hashData)>(lib, "BCryptHashData");
  api.finishHash = LoadSystemFunction<decltype(api.finishHash)>(lib, "BCryptFinishHash");
  api.destroyHash = LoadSystemFunction<decltype(api.destroyHash)>(lib, "BCryptDestroyHash");
  api.importKey = LoadSystemFunction<decltype(api.importKey)>(lib, "BCryptImportKeyPair");
  api.verifySignature =
      LoadSystemFunction<decltype(api.verifySignature)>(lib, "BCryptVerifySignature");
  api.destroyKey = LoadSystemFunction<decltype(api.destroyKey)>(lib, "BCryptDestroyKey");
  if (!(api.openAlgorithm && api.closeAlgorithm && api.createHash && api.hashData &&
        api.finishHash && api.destroyHash && api.importKey && api.verifySignature &&
        api.destroyKey)) {
    FreeLibrary(lib);
    return FALSE;
  }
  cng = api;
  return TRUE;
}

enum { kDigestLength = 32 };  // SHA-256

int HashSpilledBytes(void* hash, const uint8_t* data, uint32_t length) {
  return BCRYPT_SUCCESS(cng.hashData(static_cast<BCRYPT_HASH_HANDLE>(hash),
                                     const_cast<PUCHAR>(data), length, 0));
}

// Whether r || s verifies over the digest with any of the built-in keys.
bool VerifiesWithAnyKey(uint8_t digest[kDigestLength], uint8_t signature[kSignatureLength]) {
  BCRYPT_ALG_HANDLE ecdsa = nullptr;
  if (!BCRYPT_SUCCESS(cng.openAlgorithm(&ecdsa, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0)))
    return false;
  bool verified = false;
  for (int index = 0; index < kArchiveKeyCount && !verified; ++index) {
    struct {
      BCRYPT_ECCKEY_BLOB header;
      uint8_t point[kArchiveKeyLength];
    } blob;
    blob.header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
    blob.header.cbKey = kArchiveKeyLength / 2;
    memcpy(blob.point, kArchiveKeys[index], kArchiveKeyLength);
    BCRYPT_KEY_HANDLE key = nullptr;
    if (!BCRYPT_SUCCESS(cng.importKey(ecdsa, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key,
                                      reinterpret_cast<PUCHAR>(&blob), sizeof blob, 0)))
      continue;
    verified = BCRYPT_SUCCESS(cng.verifySignature(key, nullptr, digest, kDigestLength, signature,
                                                  kSignatureLength, 0));
    cng.destroyKey(key);
  }
  cng.closeAlgorithm(ecdsa, 0);
  return verified;
}

}  // namespace

bool StartSignatureCheck(ArchiveSignatureCheck* check) {
  *check = {};
  if (!InitOnceExecuteOnce(&cngOnce, LoadCng, nullptr, nullptr)) return false;
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (!BCRYPT_SUCCESS(cng.openAlgorithm(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
    return false;
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (!BCRYPT_SUCCESS(cng.createHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0))) {
    cng.closeAlgorithm(algorithm, 0);
    return false;
  }
  check->hashAlgorithm = algorithm;
  check->hash = hash;
  return true;
}

int HashArchiveChunk(ArchiveSignatureCheck* check, const uint8_t* data, uint32_t length) {
  if (!check->hash) return 0;
  if (HoldBackTail(&check->tail, data, length, HashSpilledBytes, check->hash)) return 1;
  EndSignatureCheck(check);  // a hash that missed bytes can accept nothing
  return 0;
}

bool FinishSignatureCheck(ArchiveSignatureCheck* check) {
  if (!check->hash) return false;
  uint8_t signature[kSignatureLength];
  uint8_t digest[kDigestLength];
  BCRYPT_HASH_HANDLE hash = static_cast<BCRYPT_HASH_HANDLE>(check->hash);
  const bool hashed =
      ReadSignatureBlock(&check->tail, signature) &&
      HashSpilledBytes(hash, check->tail.bytes, kHeldSignedLength) &&
      BCRYPT_SUCCESS(cng.finishHash(hash, digest, kDigestLength, 0));
  EndSignatureCheck(check);
  return hashed && VerifiesWithAnyKey(digest, signature);
}

void EndSignatureCheck(ArchiveSignatureCheck* check) {
  if (!check->hash) return;  // the handles exist together or not at all
  cng.destroyHash(static_cast<BCRYPT_HASH_HANDLE>(check->hash));
  cng.closeAlgorithm(static_cast<BCRYPT_ALG_HANDLE>(check->hashAlgorithm), 0);
  check->hash = nullptr;
  check->hashAlgorithm = nullptr;
}
