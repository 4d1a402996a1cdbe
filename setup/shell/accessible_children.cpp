#include "shell/accessible_children.h"

#include "base/bounded_text.h"

namespace {

bool Contains(const PixelRect& rect, int x, int y) {
  return x >= rect.left && x < rect.right && y >= rect.top && y < rect.bottom;
}

bool SameText(const wchar_t* a, const wchar_t* b) {
  while (*a && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

enum { kValueCapacity = 16 };

}  // namespace

AccessibleRole AccessibleChildRole(long child) {
  switch (child) {
    case kAccessibleSelf:
      return kAccessibleRoleClient;
    case kAccessibleTitle:
    case kAccessibleBuildLabel:
    case kAccessibleStatus:
      return kAccessibleRoleStaticText;
    case kAccessibleProgressBar:
      return kAccessibleRoleProgressBar;
    default:
      return kAccessibleRoleNone;
  }
}

size_t FormatProgressValue(wchar_t* buffer, size_t capacity, int percent) {
  if (ProgressBarIsBusy(percent)) return CopyText(buffer, capacity, L"");
  return FormatText(buffer, capacity, L"%llu%%", static_cast<unsigned long long>(percent));
}

PixelRect BuildLabelExtent(const ProgressLayout& layout, int width, int height) {
  const PixelRect& row = layout.buildLabel;
  PixelRect text = {row.right, row.top, row.right, row.top};
  if (width <= 0 || height <= 0) return text;
  // A text wider or taller than the rectangle is clipped to it as drawn.
  text.left = width < row.right - row.left ? row.right - width : row.left;
  text.bottom = height < row.bottom - row.top ? row.top + height : row.bottom;
  return text;
}

bool AccessibleChildRect(const ProgressLayout& layout, const PixelRect& buildLabelText,
                         long child, PixelRect* rect) {
  switch (child) {
    case kAccessibleSelf:
      *rect = layout.background;
      return true;
    case kAccessibleTitle:
      *rect = layout.titleRow;
      return true;
    case kAccessibleBuildLabel:
      *rect = buildLabelText;
      return true;
    case kAccessibleStatus:
      *rect = layout.statusLine;
      return true;
    case kAccessibleProgressBar:
      *rect = layout.track;
      return true;
    default:
      return false;
  }
}

long AccessibleChildAt(const ProgressLayout& layout, const PixelRect& buildLabelText, int x,
                       int y) {
  if (!Contains(layout.background, x, y)) return -1;
  if (Contains(buildLabelText, x, y)) return kAccessibleBuildLabel;
  if (Contains(layout.titleRow, x, y)) return kAccessibleTitle;
  if (Contains(layout.statusLine, x, y)) return kAccessibleStatus;
  if (Contains(layout.track, x, y)) return kAccessibleProgressBar;
  return kAccessibleSelf;
}

int AccessibleChangeEvents(const AccessibleView& before, const AccessibleView& after,
                           AccessibleEvent* events) {
  int count = 0;
  if (!SameText(before.buildLabel, after.buildLabel)) {
    events[count++] = AccessibleEvent{kAccessibleNameChange, kAccessibleBuildLabel};
  }
  if (!SameText(before.statusText, after.statusText)) {
    events[count++] = AccessibleEvent{kAccessibleNameChange, kAccessibleStatus};
  }
  wchar_t beforeValue[kValueCapacity];
  wchar_t afterValue[kValueCapacity];
  FormatProgressValue(beforeValue, kValueCapacity, before.percent);
  FormatProgressValue(afterValue, kValueCapacity, after.percent);
  if (!SameText(beforeValue, afterValue)) {
    events[count++] = AccessibleEvent{kAccessibleValueChange, kAccessibleProgressBar};
  }
  if (ProgressBarIsBusy(before.percent) != ProgressBarIsBusy(after.percent)) {
    events[count++] = AccessibleEvent{kAccessibleStateChange, kAccessibleProgressBar};
  }
  return count;
}
