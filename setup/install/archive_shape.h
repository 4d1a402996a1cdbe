// What the downloaded archive holds, judged from its own records before the
// setup stops a running copy or starts tar. Platform-free: the bytes come
// through a reader, so that tests and fuzzers can hand it any file.
#pragma once

#include <stdint.h>

enum ArchiveShape {
  // Whole, and some entry lands on the application as a plain file.
  kArchiveReady,
  // The end record or the central directory is missing, cut or out of
  // bounds: the transfer did not bring the whole archive.
  kArchiveNotWhole,
  // Whole, but it does not install: no application where tar puts it, the
  // application as a folder or link, an encrypted entry (tar would ask for a
  // passphrase), local and central records that disagree, or a path that
  // leaves the install folder.
  kArchiveUnusable,
};

// Copies exactly `length` bytes at `offset` into `buffer`; nonzero when it
// did. Never asked for bytes past the size given to CheckArchiveShape.
typedef int (*ArchiveReader)(void* context, uint64_t offset, uint8_t* buffer, uint32_t length);

// The longest read CheckArchiveShape asks for: an end record with the
// longest comment.
enum { kArchiveLongestRead = 22 + 65535 };

// Judges a ZIP archive of `size` bytes (ZIP64 included) as tar will unpack it
// with --strip-components=1: entries lose their first folder, so the
// application is an entry "<folder>/nimbrel.exe". Every read is bounded by
// `size` and by the records that contain it. Not reentrant: it works in
// process-wide buffers.
ArchiveShape CheckArchiveShape(ArchiveReader read, void* context, uint64_t size);
