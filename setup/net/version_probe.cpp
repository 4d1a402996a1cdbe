#include "net/version_probe.h"

#include "base/product.h"
#include "base/progress_state.h"
#include "net/http_download.h"
#include "net/version_scan.h"

DWORD WINAPI VersionProbe(LPVOID) {
  VersionBuffer document = {};
  if (!HttpDownload(NIMBREL_VERSION_URL, AppendVersionChunk, &document, kVersionQueryTimeoutMs)) return 0;

  size_t start = 0;
  size_t length = 0;
  if (!FindVersionValue(document.text, &start, &length)) return 0;

  wchar_t value[kVersionWideCapacity] = {};
  // An empty value makes the conversion fail and leaves the buffer empty.
  MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(document.text + start),
                      static_cast<int>(length), value, kVersionWideCapacity - 1);
  wchar_t label[kBuildLabelCapacity];
  FormatBuildLabel(label, kBuildLabelCapacity, value);
  StoreBuildLabel(label);  // announced there, as no message brings it
  InvalidateRect(progressWindow, nullptr, FALSE);
  return 0;
}
