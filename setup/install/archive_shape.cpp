#include "install/archive_shape.h"

#include <string.h>

#include "base/zero_filled.h"

namespace {

const uint32_t kLocalSignature = 0x04034b50;
const uint32_t kCentralSignature = 0x02014b50;
const uint32_t kEndSignature = 0x06054b50;
const uint32_t kEnd64Signature = 0x06064b50;
const uint32_t kEnd64LocatorSignature = 0x07064b50;
enum {
  kLocalSize = 30,
  kCentralSize = 46,
  kEndSize = 22,
  kEnd64Size = 56,
  kEnd64LocatorSize = 20,
};

// General purpose flags: bit 0 encrypted, bit 6 strong encryption.
const uint16_t kEncryptedFlags = 0x0041;

// Extra fields that tar applies to an entry.
const uint16_t kZip64Extra = 0x0001;
const uint16_t kUnicodePathExtra = 0x7075;  // a UTF-8 name in place of the header's
const uint16_t kAttributesExtra = 0x6c78;   // made-by host and attributes, for streaming

const uint8_t kUnixHost = 3;
const uint32_t kMsDosFolder = 0x10;
const uint32_t kUnixTypeMask = 0xF000;
const uint32_t kUnixFolder = 0x4000;
const uint32_t kUnixFile = 0x8000;

// Compared without regard to ASCII case, as the file system compares names.
const char kApplication[] = "nimbrel.exe";

ZERO_FILLED uint8_t entryName[65535];
// The end of the file, then extra fields and local names.
ZERO_FILLED uint8_t work[kArchiveLongestRead];

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint64_t Le64(const uint8_t* p) { return Le32(p) | static_cast<uint64_t>(Le32(p + 4)) << 32; }

bool IsSeparator(uint8_t c) { return c == '/' || c == '\\'; }
uint8_t LowerAscii(uint8_t c) { return c >= 'A' && c <= 'Z' ? static_cast<uint8_t>(c + 32) : c; }

// One entry as tar sees it once the extra fields are applied.
struct ArchiveEntry {
  uint16_t nameLength;
  uint8_t host;
  uint32_t attributes;
  uint64_t compressedSize;
  uint64_t localOffset;
};

// Whether the first 512 bytes check out as a tar header, checksum and all:
// tar would then read the file as tar, whatever ZIP records follow.
bool LooksLikeTar(const uint8_t* block) {
  const uint8_t* field = block + 148;
  uint64_t stated = 0;
  if (field[0] & 0x80) {  // base-256
    for (int i = 1; i < 8; ++i) stated = stated << 8 | field[i];
  } else {
    int i = 0;
    while (i < 8 && (field[i] == ' ' || field[i] == '\t')) ++i;
    for (; i < 8 && field[i] >= '0' && field[i] <= '7'; ++i) stated = stated * 8 + (field[i] - '0');
  }
  // The checksum field counts as eight blanks, in the unsigned and the old signed sum.
  uint64_t sumUnsigned = 8 * ' ';
  int64_t sumSigned = 8 * ' ';
  for (int i = 0; i < 512; ++i) {
    if (i >= 148 && i < 156) continue;
    sumUnsigned += block[i];
    sumSigned += static_cast<int8_t>(block[i]);
  }
  return stated == sumUnsigned || static_cast<int64_t>(stated) == sumSigned;
}

enum Landing { kLandsElsewhere, kLandsOnApplication, kLandsBadly };

// Where tar puts the entry called name, once it has dropped the first folder.
Landing LandingOf(const uint8_t* name, uint32_t length) {
  if (IsSeparator(name[0])) return kLandsBadly;
  // No "." or ".." component, no drive or stream colon, no zero byte.
  uint32_t start = 0;
  for (uint32_t i = 0; i <= length; ++i) {
    if (i == length || IsSeparator(name[i])) {
      const uint32_t n = i - start;
      if (n >= 1 && n <= 2 && name[start] == '.' && name[i - 1] == '.') return kLandsBadly;
      start = i + 1;
    } else if (name[i] == ':' || name[i] == 0) {
      return kLandsBadly;
    }
  }
  // The first folder and the separators after it go; a top-level entry is skipped.
  uint32_t at = 0;
  while (at < length && !IsSeparator(name[at])) ++at;
  while (at < length && IsSeparator(name[at])) ++at;
  const uint32_t applicationLength = sizeof kApplication - 1;
  if (length - at < applicationLength) return kLandsElsewhere;
  for (uint32_t i = 0; i < applicationLength; ++i)
    if (LowerAscii(name[at + i]) != static_cast<uint8_t>(kApplication[i])) return kLandsElsewhere;
  uint32_t end = at + applicationLength;
  if (end == length) return kLandsOnApplication;
  // Trailing dots and blanks name the same file on Windows; a separator makes
  // the application a folder.
  while (end < length && (name[end] == '.' || name[end] == ' ')) ++end;
  if (end == length || IsSeparator(name[end])) return kLandsBadly;
  return kLandsElsewhere;
}

enum Verdict { kEntryElsewhere, kEntryIsApplication, kEntryRefused };

Verdict Judge(const ArchiveEntry& entry, Landing landing) {
  if (landing == kLandsBadly) return kEntryRefused;
  const uint32_t type = entry.attributes >> 16 & kUnixTypeMask;
  const bool folder = IsSeparator(entryName[entry.nameLength - 1]) ||
                      (entry.attributes & kMsDosFolder) != 0 ||
                      (entry.host == kUnixHost && type == kUnixFolder);
  // Links, devices and pipes: tar makes them only from a Unix host's mode.
  if (entry.host == kUnixHost && !folder && type != 0 && type != kUnixFile) return kEntryRefused;
  if (landing == kLandsElsewhere) return kEntryElsewhere;
  // The application must be a plain file by every reading of its mode.
  return !folder && (type == 0 || type == kUnixFile) ? kEntryIsApplication : kEntryRefused;
}

// Applies the extra fields in work[0, length) to entry; false when they do not
// parse or would make the entry something else than its records say.
bool ApplyExtraFields(uint32_t length, bool central, uint32_t uncompressedSize,
                      ArchiveEntry* entry) {
  uint32_t at = 0;
  while (length - at >= 4) {
    const uint16_t id = Le16(work + at);
    const uint32_t fieldLength = Le16(work + at + 2);
    at += 4;
    if (fieldLength > length - at) return false;
    const uint8_t* field = work + at;
    if (id == kZip64Extra && central) {
      // The 64-bit values, in this order, of the fields whose 32-bit value is all ones.
      uint32_t next = uncompressedSize == 0xFFFFFFFF ? 8 : 0;
      if (entry->compressedSize == 0xFFFFFFFF) {
        if (fieldLength < next + 8) return false;
        entry->compressedSize = Le64(field + next);
        next += 8;
      }
      if (entry->localOffset == 0xFFFFFFFF) {
        if (fieldLength < next + 8) return false;
        entry->localOffset = Le64(field + next);
      }
    } else if (id == kUnicodePathExtra) {
      // Version 1, a CRC of the header's name, then the name tar would use.
      if (fieldLength < 5 || field[0] != 1 || fieldLength - 5 != entry->nameLength ||
          memcmp(field + 5, entryName, entry->nameLength) != 0)
        return false;
    } else if (id == kAttributesExtra) {
      // Flags of what follows: made-by version, internal and external attributes.
      if (fieldLength < 1) return false;
      uint32_t next = 1;
      if (field[0] & 1) {
        if (fieldLength < next + 2) return false;
        entry->host = field[next + 1];
        next += 2;
      }
      if (field[0] & 2) next += 2;
      if (field[0] & 4) {
        if (fieldLength < next + 4) return false;
        entry->attributes = Le32(field + next);
      }
    }
    at += fieldLength;
  }
  return true;
}

}  // namespace

ArchiveShape CheckArchiveShape(ArchiveReader read, void* context, uint64_t size) {
  if (size < kEndSize) return kArchiveNotWhole;
  // The end record is the last record: its comment runs exactly to the end.
  const uint32_t tail = size < kArchiveLongestRead ? static_cast<uint32_t>(size)
                                                   : static_cast<uint32_t>(kArchiveLongestRead);
  if (!read(context, size - tail, work, tail)) return kArchiveNotWhole;
  uint32_t at = tail - kEndSize + 1;
  bool found = false;
  while (!found && at-- > 0)
    found = Le32(work + at) == kEndSignature && Le16(work + at + 20) == tail - kEndSize - at;
  if (!found) return kArchiveNotWhole;
  const uint8_t* end = work + at;
  const uint64_t endOffset = size - tail + at;
  // One disk only.
  if (Le16(end + 4) != 0 || Le16(end + 6) != 0 || Le16(end + 8) != Le16(end + 10))
    return kArchiveNotWhole;
  uint64_t entries = Le16(end + 10);
  uint64_t directorySize = Le32(end + 12);
  uint64_t directoryOffset = Le32(end + 16);
  uint64_t directoryEnd = endOffset;

  // ZIP64: a locator right before the end record points at the larger one.
  uint8_t locator[kEnd64LocatorSize];
  if (endOffset >= kEnd64LocatorSize &&
      read(context, endOffset - kEnd64LocatorSize, locator, kEnd64LocatorSize) &&
      Le32(locator) == kEnd64LocatorSignature) {
    const uint64_t locatorOffset = endOffset - kEnd64LocatorSize;
    const uint64_t end64Offset = Le64(locator + 8);
    uint8_t end64[kEnd64Size];
    if (Le32(locator + 4) != 0 || Le32(locator + 16) > 1 || end64Offset > locatorOffset ||
        locatorOffset - end64Offset < kEnd64Size ||
        !read(context, end64Offset, end64, kEnd64Size) || Le32(end64) != kEnd64Signature ||
        Le64(end64 + 4) != locatorOffset - end64Offset - 12 || Le32(end64 + 16) != 0 ||
        Le32(end64 + 20) != 0 || Le64(end64 + 24) != Le64(end64 + 32))
      return kArchiveNotWhole;
    entries = Le64(end64 + 32);
    directorySize = Le64(end64 + 40);
    directoryOffset = Le64(end64 + 48);
    directoryEnd = end64Offset;
  }
  // The directory ends where the end records begin.
  if (directoryOffset > directoryEnd || directoryEnd - directoryOffset != directorySize ||
      entries > directorySize / kCentralSize)
    return kArchiveNotWhole;

  bool startsWithAnEntry = false;
  bool bringsTheApplication = false;
  uint64_t position = directoryOffset;
  for (uint64_t i = 0; i < entries; ++i) {
    uint8_t record[kCentralSize];
    if (directoryEnd - position < kCentralSize ||
        !read(context, position, record, kCentralSize) || Le32(record) != kCentralSignature)
      return kArchiveNotWhole;
    ArchiveEntry entry;
    entry.host = record[5];
    entry.nameLength = Le16(record + 28);
    entry.compressedSize = Le32(record + 20);
    entry.attributes = Le32(record + 38);
    entry.localOffset = Le32(record + 42);
    const uint16_t flags = Le16(record + 8);
    const uint16_t method = Le16(record + 10);
    const uint32_t extraLength = Le16(record + 30);
    const uint64_t recordLength = kCentralSize + static_cast<uint64_t>(entry.nameLength) +
                                  extraLength + Le16(record + 32);
    if (directoryEnd - position < recordLength) return kArchiveNotWhole;
    if (entry.nameLength == 0 || (flags & kEncryptedFlags) != 0) return kArchiveUnusable;
    if (!read(context, position + kCentralSize, entryName, entry.nameLength) ||
        (extraLength != 0 &&
         !read(context, position + kCentralSize + entry.nameLength, work, extraLength)))
      return kArchiveNotWhole;
    if (!ApplyExtraFields(extraLength, true, Le32(record + 24), &entry)) return kArchiveUnusable;
    position += recordLength;
    const Landing landing = LandingOf(entryName, entry.nameLength);
    const Verdict central = Judge(entry, landing);
    if (central == kEntryRefused) return kArchiveUnusable;

    // The local header tar reads must agree, and the data must fit before the directory.
    uint8_t local[kLocalSize];
    if (entry.localOffset > directoryOffset || directoryOffset - entry.localOffset < kLocalSize ||
        !read(context, entry.localOffset, local, kLocalSize) || Le32(local) != kLocalSignature)
      return kArchiveNotWhole;
    const uint32_t localNameLength = Le16(local + 26);
    const uint32_t localExtraLength = Le16(local + 28);
    const uint64_t room = directoryOffset - entry.localOffset - kLocalSize;
    if (room < static_cast<uint64_t>(localNameLength) + localExtraLength ||
        room - localNameLength - localExtraLength < entry.compressedSize)
      return kArchiveNotWhole;
    if ((Le16(local + 6) & kEncryptedFlags) != 0 || Le16(local + 8) != method ||
        localNameLength != entry.nameLength)
      return kArchiveUnusable;
    if (!read(context, entry.localOffset + kLocalSize, work, localNameLength))
      return kArchiveNotWhole;
    if (memcmp(work, entryName, localNameLength) != 0) return kArchiveUnusable;
    if (localExtraLength != 0 &&
        !read(context, entry.localOffset + kLocalSize + localNameLength, work, localExtraLength))
      return kArchiveNotWhole;
    if (!ApplyExtraFields(localExtraLength, false, 0, &entry) ||
        Judge(entry, landing) != central)
      return kArchiveUnusable;
    if (entry.localOffset == 0) startsWithAnEntry = true;
    if (central == kEntryIsApplication) bringsTheApplication = true;
  }
  if (!startsWithAnEntry || !bringsTheApplication) return kArchiveUnusable;
  // Starting with an entry leaves tar no other format to recognise first,
  // unless that entry's first block is also a tar header.
  if (size >= 512 && !read(context, 0, work, 512)) return kArchiveNotWhole;
  if (size >= 512 && LooksLikeTar(work)) return kArchiveUnusable;
  return kArchiveReady;
}
