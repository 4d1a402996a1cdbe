// The archive check over archives built here record by record: what a
// release looks like, the packing mistakes that would leave no application,
// the crafted records that tar would read otherwise than the directory says,
// and every way of being cut short.
#include "install/archive_shape.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "zip_builder.h"

namespace {

struct MemoryArchive {
  const std::string* bytes;
  uint64_t failAt;  // a read that touches this offset fails
};

int ReadMemory(void* context, uint64_t offset, uint8_t* buffer, uint32_t length) {
  const MemoryArchive* archive = static_cast<const MemoryArchive*>(context);
  EXPECT_LE(offset + length, archive->bytes->size()) << "read past the size";
  EXPECT_LE(length, static_cast<uint32_t>(kArchiveLongestRead));
  if (offset + length > archive->bytes->size()) return 0;
  if (archive->failAt >= offset && archive->failAt < offset + length) return 0;
  memcpy(buffer, archive->bytes->data() + offset, length);
  return 1;
}

ArchiveShape Check(const std::string& bytes, uint64_t failAt = UINT64_MAX) {
  MemoryArchive archive = {&bytes, failAt};
  return CheckArchiveShape(ReadMemory, &archive, bytes.size());
}

const char* Name(ArchiveShape shape) {
  switch (shape) {
    case kArchiveReady: return "ready";
    case kArchiveNotWhole: return "not whole";
    case kArchiveUnusable: return "unusable";
  }
  return "?";
}

ZipEntry File(const std::string& name, const std::string& data = "bytes") {
  ZipEntry entry;
  entry.name = name;
  entry.data = data;
  return entry;
}

// The release archive with one change made to its entries.
std::string Release(const std::function<void(std::vector<ZipEntry>&)>& change,
                    const ZipLayout& layout = {}) {
  std::vector<ZipEntry> entries = ReleaseEntries();
  change(entries);
  return BuildZip(entries, layout);
}

ZipEntry& Application(std::vector<ZipEntry>& entries) { return entries[1]; }

struct ShapeCase {
  const char* label;
  std::string archive;
  ArchiveShape expected;
};

TEST(ArchiveShape, JudgesEachArchiveAsTarWouldUnpackIt) {
  const std::string signatureBlock = "NIMBREL-SIG-1 " + std::string(128, 'a');
  ZipLayout signedLayout;
  signedLayout.comment = signatureBlock;
  ZipLayout zip64;
  zip64.zip64 = true;
  ZipLayout afterTar;
  afterTar.prefix = std::string(1024, '\0');  // offsets adjusted: a tar header comes first

  const std::vector<ShapeCase> cases = {
      {"a release", BuildZip(ReleaseEntries()), kArchiveReady},
      {"a release with a signature block as its comment", BuildZip(ReleaseEntries(), signedLayout),
       kArchiveReady},
      {"a ZIP64 release", BuildZip(ReleaseEntries(), zip64), kArchiveReady},
      {"the application in capitals",
       Release([](auto& e) { Application(e).name = "nimbrel/NIMBREL.EXE"; }), kArchiveReady},
      {"any first folder", Release([](auto& e) {
         for (ZipEntry& entry : e) entry.name.replace(0, 7, "nimbrel-2.4.0");
       }), kArchiveReady},
      {"a name beginning like the application",
       Release([](auto& e) { e.push_back(File("nimbrel/nimbrel.exe.config")); }), kArchiveReady},
      {"local attribute fields that agree", Release([](auto& e) {
         for (ZipEntry& entry : e) entry.localExtra = AttributesField(entry.host, entry.attributes);
       }), kArchiveReady},
      {"a Unicode path that repeats the name",
       Release([](auto& e) { Application(e).localExtra = UnicodePathField(Application(e).name); }),
       kArchiveReady},
      {"made on MS-DOS with stray high attribute bits", Release([](auto& e) {
         e[2].host = 0;
         e[2].attributes = 0120777u << 16;
       }), kArchiveReady},

      // No application where tar puts it.
      {"no entries", BuildZip({}), kArchiveUnusable},
      {"no entries, with a comment", BuildZip({}, signedLayout), kArchiveUnusable},
      {"only data", Release([](auto& e) { e.erase(e.begin() + 1); }), kArchiveUnusable},
      {"the application at the top level",
       Release([](auto& e) { Application(e).name = "nimbrel.exe"; }), kArchiveUnusable},
      {"the application two folders down",
       Release([](auto& e) { Application(e).name = "nimbrel/bin/nimbrel.exe"; }),
       kArchiveUnusable},
      {"the application as a folder", Release([](auto& e) {
         Application(e).name = "nimbrel/nimbrel.exe/";
         Application(e).data.clear();
         Application(e).attributes = 040755u << 16 | 0x10;
         e.push_back(File("nimbrel/nimbrel.exe/nimbrel.exe"));
       }), kArchiveUnusable},
      {"a folder over the application after it",
       Release([](auto& e) { e.push_back(File("nimbrel/NIMBREL.exe/inside")); }),
       kArchiveUnusable},
      {"the application by a Unix folder mode",
       Release([](auto& e) { Application(e).attributes = 040755u << 16; }), kArchiveUnusable},
      {"the application by the MS-DOS folder attribute", Release([](auto& e) {
         Application(e).host = 0;
         Application(e).attributes = 0x10;
       }), kArchiveUnusable},
      {"the application as a link",
       Release([](auto& e) { Application(e).attributes = 0120777u << 16; }), kArchiveUnusable},
      {"a link elsewhere",
       Release([](auto& e) { e[2].attributes = 0120777u << 16; }), kArchiveUnusable},
      {"the application with a trailing dot, which Windows drops",
       Release([](auto& e) { Application(e).name = "nimbrel/nimbrel.exe."; }), kArchiveUnusable},

      // Records that tar would read otherwise than the directory says.
      {"encrypted in the directory",
       Release([](auto& e) { e[2].flags |= 1; }), kArchiveUnusable},
      {"encrypted in a local header only",
       Release([](auto& e) { e[2].localFlags = e[2].flags | 1; }), kArchiveUnusable},
      {"strong encryption in a local header only",
       Release([](auto& e) { Application(e).localFlags = Application(e).flags | 0x40; }),
       kArchiveUnusable},
      {"another name in the local header",
       Release([](auto& e) { Application(e).localName = "nimbrel/nimbrel.exf"; }),
       kArchiveUnusable},
      {"another method in the local header",
       Release([](auto& e) { Application(e).localMethod = 8; }), kArchiveUnusable},
      {"a Unicode path that renames the application",
       Release([](auto& e) { Application(e).localExtra = UnicodePathField("nimbrel/other.exe"); }),
       kArchiveUnusable},
      {"a Unicode path that renames data onto the application",
       Release([](auto& e) { e[2].localExtra = UnicodePathField("nimbrel/nimbrel.exe"); }),
       kArchiveUnusable},
      {"a local attribute field that makes the application a link", Release([](auto& e) {
         Application(e).localExtra = AttributesField(3, 0120777u << 16);
       }), kArchiveUnusable},
      {"a central attribute field that makes the application a folder", Release([](auto& e) {
         Application(e).centralExtra = AttributesField(3, 040755u << 16);
       }), kArchiveUnusable},
      {"an extra field that runs past its block",
       Release([](auto& e) { e[2].localExtra = std::string("\x34\x12\x09\x00zz", 6); }),
       kArchiveUnusable},
      {"an entry that climbs out", Release([](auto& e) { e.push_back(File("nimbrel/../../x")); }),
       kArchiveUnusable},
      {"an absolute entry", Release([](auto& e) { e.push_back(File("/etc/x")); }),
       kArchiveUnusable},
      {"a drive in a name", Release([](auto& e) { e.push_back(File("nimbrel/C:x")); }),
       kArchiveUnusable},
      {"a first block that is also a tar header", [] {
         std::vector<ZipEntry> e = ReleaseEntries();
         e.insert(e.begin(), File("nimbrel/readme.txt", std::string(600, ' ')));
         std::string a = BuildZip(e);
         // The tar checksum of the first 512 bytes, written where tar reads it.
         unsigned sum = 8 * ' ';
         for (int i = 0; i < 512; ++i)
           if (i < 148 || i >= 156) sum += static_cast<uint8_t>(a[i]);
         char field[9];
         snprintf(field, sizeof field, "%06o", sum);
         a.replace(148, 8, std::string(field, 6) + std::string("\0 ", 2));
         return a;
       }(), kArchiveUnusable},
      {"a ZIP after other bytes, its offsets counting them", BuildZip(ReleaseEntries(), afterTar),
       kArchiveUnusable},

      // Not whole.
      {"fewer than 22 bytes", std::string("PK\x05\x06", 4), kArchiveNotWhole},
      {"bytes after the end record", BuildZip(ReleaseEntries()) + "x", kArchiveNotWhole},
      {"a comment length past the end", [] {
         std::string a = BuildZip(ReleaseEntries());
         a[a.size() - 2] = 1;
         return a;
       }(), kArchiveNotWhole},
      {"a directory offset past the directory", [] {
         std::string a = BuildZip(ReleaseEntries());
         a[a.size() - 5] = 0x70;
         return a;
       }(), kArchiveNotWhole},
      {"more entries than the directory holds", [] {
         std::string a = BuildZip(ReleaseEntries());
         a[a.size() - 12] = 4;
         a[a.size() - 14] = 4;
         return a;
       }(), kArchiveNotWhole},
      {"data that runs into the directory", [] {
         std::string a = BuildZip(ReleaseEntries());
         // The last central record's compressed size, made larger than its data.
         const size_t last = a.rfind(std::string("PK\x01\x02", 4));
         a[last + 21] = 0x10;
         return a;
       }(), kArchiveNotWhole},
  };
  for (const ShapeCase& c : cases) EXPECT_STREQ(Name(Check(c.archive)), Name(c.expected)) << c.label;
}

TEST(ArchiveShape, AnArchiveCutAnywhereIsNotWhole) {
  ZipLayout zip64;
  zip64.zip64 = true;
  ZipLayout signedLayout;
  signedLayout.comment = "NIMBREL-SIG-1 " + std::string(128, '0');
  for (const ZipLayout& layout : {ZipLayout(), zip64, signedLayout}) {
    const std::string whole = BuildZip(ReleaseEntries(), layout);
    ASSERT_EQ(Check(whole), kArchiveReady);
    for (size_t length = 0; length < whole.size(); ++length)
      ASSERT_EQ(Check(whole.substr(0, length)), kArchiveNotWhole) << length << " of " << whole.size();
  }
}

TEST(ArchiveShape, AReadThatFailsAnywhereIsNotWhole) {
  const std::string whole = BuildZip(ReleaseEntries());
  std::vector<bool> read(whole.size(), false);
  for (uint64_t offset = 0; offset < whole.size(); ++offset) {
    const ArchiveShape shape = Check(whole, offset);
    // Offsets the check never reads (the data) change nothing.
    EXPECT_TRUE(shape == kArchiveNotWhole || shape == kArchiveReady) << offset;
    read[offset] = shape == kArchiveNotWhole;
  }
  EXPECT_TRUE(read[0]);                  // the first local header
  EXPECT_TRUE(read[whole.size() - 1]);   // the end record
}

}  // namespace
