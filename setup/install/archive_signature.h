// The publisher's signature on the archive, checked when the build carries
// archive keys (NIMBREL_ARCHIVE_KEY).
//
// A signed archive is an ordinary ZIP whose end record is the file's last
// record and whose comment is the signature block: "NIMBREL-SIG-1 " and 128
// lowercase hexadecimal digits, the ECDSA P-256 signature's r and s (32 bytes
// each, big-endian) over SHA-256 of every byte before the digits. The setup
// checks the bytes it wrote as they stream in: everything but the file's last
// bytes goes to the hash at once, so the check makes no second pass over the
// archive.
#pragma once

#include <stdint.h>

enum {
  kSignatureMarkerLength = 14,  // "NIMBREL-SIG-1 "
  kSignatureDigitCount = 128,
  kSignatureBlockLength = kSignatureMarkerLength + kSignatureDigitCount,  // the comment: 142
  kEndRecordLength = 22,  // the end record without its comment
  kSignatureLength = 64,  // r || s
  // Held back until the end: the end record's comment-length field and the
  // block. Only the digits stay out of the hash; the other 16 join it last.
  kHeldTailLength = 2 + kSignatureBlockLength,
  kHeldSignedLength = kHeldTailLength - kSignatureDigitCount,
};

// --- Platform-free parts ---------------------------------------------------

// The file's most recent bytes, not yet hashed.
struct HeldTail {
  uint8_t bytes[kHeldTailLength];  // oldest first
  uint32_t length;                 // fewer than kHeldTailLength only near the start
  uint64_t total;                  // bytes of the file so far
};

// Takes, in file order, bytes that have left the tail; nonzero when it did.
typedef int (*TailSpill)(void* context, const uint8_t* data, uint32_t length);

// Appends a chunk of the file to the tail (start from a zeroed HeldTail).
// Every byte that can no longer be among the file's last kHeldTailLength goes
// to `spill` first, at most two calls per chunk. 0 when `spill` refused.
int HoldBackTail(HeldTail* tail, const uint8_t* data, uint32_t length, TailSpill spill,
                 void* context);

// Reads the signature block of a whole file whose last bytes `tail` holds:
// true, with r || s in `signature`, when the file is at least
// kEndRecordLength + kSignatureBlockLength bytes long, its end record's
// comment-length field (little-endian, just before the comment) reads 142,
// and the comment is the marker and 128 lowercase hexadecimal digits. The
// signed bytes not yet hashed are then tail->bytes[0, kHeldSignedLength).
// The archive is accepted when this holds and the signature verifies over
// SHA-256 of the signed bytes with any key built in.
bool ReadSignatureBlock(const HeldTail* tail, uint8_t signature[kSignatureLength]);

// --- Platform edge (CNG; built only with archive keys) -----------------------

// One archive's check, from the first chunk to the verdict.
struct ArchiveSignatureCheck {
  HeldTail tail;
  void* hashAlgorithm;  // CNG handles; null before the start and after the end
  void* hash;
};

// Loads bcrypt.dll from the system folder (once) and starts the SHA-256
// hash; false when CNG cannot. Zeroes `check` first.
bool StartSignatureCheck(ArchiveSignatureCheck* check);

// Hashes a chunk the setup wrote, holding the tail back; 0 when the hash
// failed or never started.
int HashArchiveChunk(ArchiveSignatureCheck* check, const uint8_t* data, uint32_t length);

// The verdict on the whole file: true when its signature verifies with any
// key built in. Releases the check's handles on every path; a second call
// answers false.
bool FinishSignatureCheck(ArchiveSignatureCheck* check);

// Releases the check's handles when the download ended before the verdict;
// does nothing after FinishSignatureCheck or a StartSignatureCheck that failed.
void EndSignatureCheck(ArchiveSignatureCheck* check);
