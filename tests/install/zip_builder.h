// A small ZIP writer for the tests of the archive check and its fuzzer's
// seeds: stored entries whose every record field can be set, so that a case
// can make local and central records disagree.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

struct ZipEntry {
  std::string name;
  std::string data;
  uint8_t host = 3;                        // made by Unix
  uint32_t attributes = 0100644u << 16;    // a plain file's mode
  uint16_t flags = 0x0800;                 // UTF-8 names
  int localFlags = -1;                     // -1: as flags
  uint16_t method = 0;                     // stored
  int localMethod = -1;                    // -1: as method
  std::string localName;                   // empty: as name
  std::string centralExtra;
  std::string localExtra;
};

struct ZipLayout {
  std::string comment;
  bool zip64 = false;         // ZIP64 end records and local offsets in a ZIP64 extra field
  std::string prefix;         // bytes before the first entry; offsets count them
};

inline void PutLe(std::string* out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>(value >> (8 * i) & 0xFF));
}

inline std::string ExtraField(uint16_t id, const std::string& body) {
  std::string field;
  PutLe(&field, id, 2);
  PutLe(&field, body.size(), 2);
  return field + body;
}

// The fields an archiver puts in local headers so that streaming readers
// know the made-by host and the mode: flags 5 = version and external attributes.
inline std::string AttributesField(uint8_t host, uint32_t attributes) {
  std::string body(1, '\x05');
  PutLe(&body, static_cast<uint32_t>(host) << 8 | 20, 2);
  PutLe(&body, attributes, 4);
  return ExtraField(0x6c78, body);
}

inline std::string UnicodePathField(const std::string& name) {
  std::string body(1, '\x01');
  PutLe(&body, 0, 4);  // the header name's CRC; the check compares the names themselves
  return ExtraField(0x7075, body + name);
}

inline std::string BuildZip(const std::vector<ZipEntry>& entries, const ZipLayout& layout = {}) {
  std::string out = layout.prefix;
  std::vector<uint64_t> offsets;
  for (const ZipEntry& e : entries) {
    offsets.push_back(out.size());
    const std::string& name = e.localName.empty() ? e.name : e.localName;
    PutLe(&out, 0x04034b50, 4);
    PutLe(&out, 20, 2);
    PutLe(&out, e.localFlags < 0 ? e.flags : e.localFlags, 2);
    PutLe(&out, e.localMethod < 0 ? e.method : e.localMethod, 2);
    PutLe(&out, 0, 4);  // time and date
    PutLe(&out, 0, 4);  // CRC: not judged
    PutLe(&out, e.data.size(), 4);
    PutLe(&out, e.data.size(), 4);
    PutLe(&out, name.size(), 2);
    PutLe(&out, e.localExtra.size(), 2);
    out += name + e.localExtra + e.data;
  }
  const uint64_t directoryOffset = out.size();
  for (size_t i = 0; i < entries.size(); ++i) {
    const ZipEntry& e = entries[i];
    std::string extra = e.centralExtra;
    if (layout.zip64) {
      std::string body;
      PutLe(&body, offsets[i], 8);
      extra += ExtraField(0x0001, body);
    }
    PutLe(&out, 0x02014b50, 4);
    PutLe(&out, static_cast<uint32_t>(e.host) << 8 | 20, 2);
    PutLe(&out, 20, 2);
    PutLe(&out, e.flags, 2);
    PutLe(&out, e.method, 2);
    PutLe(&out, 0, 4);
    PutLe(&out, 0, 4);
    PutLe(&out, e.data.size(), 4);
    PutLe(&out, e.data.size(), 4);
    PutLe(&out, e.name.size(), 2);
    PutLe(&out, extra.size(), 2);
    PutLe(&out, 0, 2);  // comment
    PutLe(&out, 0, 2);  // disk
    PutLe(&out, 0, 2);  // internal attributes
    PutLe(&out, e.attributes, 4);
    PutLe(&out, layout.zip64 ? 0xFFFFFFFFu : offsets[i], 4);
    out += e.name + extra;
  }
  const uint64_t directorySize = out.size() - directoryOffset;
  if (layout.zip64) {
    const uint64_t end64 = out.size();
    PutLe(&out, 0x06064b50, 4);
    PutLe(&out, 44, 8);
    PutLe(&out, 45, 2);
    PutLe(&out, 45, 2);
    PutLe(&out, 0, 4);
    PutLe(&out, 0, 4);
    PutLe(&out, entries.size(), 8);
    PutLe(&out, entries.size(), 8);
    PutLe(&out, directorySize, 8);
    PutLe(&out, directoryOffset, 8);
    PutLe(&out, 0x07064b50, 4);
    PutLe(&out, 0, 4);
    PutLe(&out, end64, 8);
    PutLe(&out, 1, 4);
  }
  PutLe(&out, 0x06054b50, 4);
  PutLe(&out, 0, 2);
  PutLe(&out, 0, 2);
  PutLe(&out, layout.zip64 ? 0xFFFF : entries.size(), 2);
  PutLe(&out, layout.zip64 ? 0xFFFF : entries.size(), 2);
  PutLe(&out, layout.zip64 ? 0xFFFFFFFFu : directorySize, 4);
  PutLe(&out, layout.zip64 ? 0xFFFFFFFFu : directoryOffset, 4);
  PutLe(&out, layout.comment.size(), 2);
  return out + layout.comment;
}

// The archive a release carries: one top folder with the application and data.
inline std::vector<ZipEntry> ReleaseEntries() {
  ZipEntry folder;
  folder.name = "nimbrel/";
  folder.attributes = 040755u << 16 | 0x10;
  ZipEntry application;
  application.name = "nimbrel/nimbrel.exe";
  application.data = "MZ the application";
  ZipEntry data;
  data.name = "nimbrel/lib/data.bin";
  data.data = std::string(300, '\x5a');
  return {folder, application, data};
}
