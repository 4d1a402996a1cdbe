// Fuzzes the archive check. The first byte chooses how the rest is read:
// even, the rest is the archive as it stands, on a heap copy of exactly its
// size behind a reader that fails any read past it; odd, the rest describes
// entries (names, flags, hosts, attributes, extra fields) that are packed
// into a whole archive, so that the walk over the records is reached deeply.
//
// Besides the bounds: the judgement is the same twice; a packed archive is
// never "not whole" and, when ready, is not whole with one byte appended.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "install/archive_shape.h"
#include "zip_builder.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  fprintf(stderr, "archive shape fuzzer: %s\n", what);
  abort();
}

#define CHECK(condition) \
  do {                   \
    if (!(condition)) Fail(#condition); \
  } while (0)

struct Heap {
  const uint8_t* bytes;
  uint64_t size;
};

int ReadHeap(void* context, uint64_t offset, uint8_t* buffer, uint32_t length) {
  const Heap* heap = static_cast<const Heap*>(context);
  CHECK(length <= kArchiveLongestRead);
  CHECK(offset <= heap->size && length <= heap->size - offset);
  memcpy(buffer, heap->bytes + offset, length);
  return 1;
}

ArchiveShape Judge(const std::string& archive) {
  // An exact heap copy, so that AddressSanitizer stops any read past it.
  std::vector<uint8_t> copy(archive.begin(), archive.end());
  Heap heap = {copy.data(), copy.size()};
  return CheckArchiveShape(ReadHeap, &heap, copy.size());
}

std::string Packed(FuzzedDataProvider* input, bool* zip64) {
  static const char* const kNames[] = {
      "nimbrel/nimbrel.exe", "nimbrel/", "nimbrel/NIMBREL.EXE", "nimbrel.exe",
      "a/b/nimbrel.exe", "nimbrel/nimbrel.exe/", "nimbrel/nimbrel.exe.", "../x", "/x",
      "nimbrel/lib/data.bin"};
  static const uint16_t kExtraIds[] = {0x0001, 0x7075, 0x6c78, 0x5455, 0x7875};
  ZipLayout layout;
  layout.zip64 = *zip64 = input->ConsumeBool();
  std::vector<ZipEntry> entries;
  const int count = input->ConsumeIntegralInRange<int>(0, 6);
  for (int i = 0; i < count; ++i) {
    ZipEntry entry;
    entry.name = input->ConsumeBool() ? input->PickValueInArray(kNames)
                                      : input->ConsumeRandomLengthString(40);
    entry.data = input->ConsumeRandomLengthString(64);
    entry.host = input->ConsumeIntegral<uint8_t>();
    entry.attributes = input->ConsumeIntegral<uint32_t>();
    entry.flags = input->ConsumeIntegral<uint16_t>();
    if (input->ConsumeBool()) entry.localFlags = input->ConsumeIntegral<uint16_t>();
    if (input->ConsumeBool()) entry.localName = input->ConsumeRandomLengthString(40);
    for (std::string* extra : {&entry.centralExtra, &entry.localExtra}) {
      if (!input->ConsumeBool()) continue;
      const uint16_t id = input->PickValueInArray(kExtraIds);
      // A ZIP64 field of its own before the one the packer adds would move the entry.
      if (id == 0x0001 && layout.zip64 && extra == &entry.centralExtra) continue;
      *extra = ExtraField(id, input->ConsumeRandomLengthString(32));
    }
    entries.push_back(entry);
  }
  if (input->ConsumeBool()) layout.comment = input->ConsumeRandomLengthString(200);
  return BuildZip(entries, layout);
}

size_t Occurrences(const std::string& text, const char* what) {
  size_t count = 0;
  for (size_t at = text.find(what, 0, 4); at != std::string::npos; at = text.find(what, at + 1, 4))
    ++count;
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string archive;
  bool packed = (data[0] & 1) != 0;
  bool zip64 = false;
  if (packed) {
    FuzzedDataProvider input(data + 1, size - 1);
    archive = Packed(&input, &zip64);
  } else {
    archive.assign(reinterpret_cast<const char*>(data + 1), size - 1);
  }
  const ArchiveShape shape = Judge(archive);
  CHECK(shape == kArchiveReady || shape == kArchiveNotWhole || shape == kArchiveUnusable);
  CHECK(Judge(archive) == shape);
  // Packed archives are whole by construction, unless a name, extra field or
  // comment holds bytes that read as one of the end records.
  const bool plain = archive.size() >= 22 && archive.compare(archive.size() - 2, 2, "\0\0", 2) == 0 &&
                     Occurrences(archive, "PK\x05\x06") == 1 &&
                     Occurrences(archive, "PK\x06\x07") == (zip64 ? 1 : 0) &&
                     Occurrences(archive, "PK\x06\x06") == (zip64 ? 1 : 0);
  if (packed && plain) {
    CHECK(shape != kArchiveNotWhole);
    if (shape == kArchiveReady) CHECK(Judge(archive + '\0') == kArchiveNotWhole);
  }
  return 0;
}
