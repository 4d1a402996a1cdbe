// What assistive technology is told about the progress window's client area:
// the four painted elements as simple children, their roles, the progress
// bar's value and state, where each lies, and which change calls for which
// event. Platform-free; the Win32 object in progress_accessible.cpp maps
// these onto the platform's constants.
#pragma once

#include <stddef.h>

#include "display/progress_layout.h"

// Child ids, in reading order; 0 is the client object itself.
enum AccessibleChild {
  kAccessibleSelf = 0,
  kAccessibleTitle = 1,
  kAccessibleBuildLabel = 2,
  kAccessibleStatus = 3,
  kAccessibleProgressBar = 4,
  kAccessibleChildCount = 4,
};

enum AccessibleRole {
  kAccessibleRoleNone,  // not an id of this object
  kAccessibleRoleClient,
  kAccessibleRoleStaticText,
  kAccessibleRoleProgressBar,
};

AccessibleRole AccessibleChildRole(long child);

// The progress bar's value: "N%" while the fill is proportional (the percent
// as the window stores it), empty while the segment slides (busy).
size_t FormatProgressValue(wchar_t* buffer, size_t capacity, int percent);
inline bool ProgressBarIsBusy(int percent) { return percent < 0; }

// Where a child is painted, in client pixels (the rectangle its text is drawn
// into, the track for the bar, the whole client for the object itself).
// False for an id that is not one of this object's.
bool AccessibleChildRect(const ProgressLayout& layout, long child, PixelRect* rect);

// The child under a client point: the build label (only while it is shown,
// since it shares the title row), the title, the status line or the bar;
// the object itself elsewhere in the client; -1 outside it.
long AccessibleChildAt(const ProgressLayout& layout, bool buildLabelShown, int x, int y);

// What the window showed at one moment, as far as assistive technology is
// told about it.
struct AccessibleView {
  const wchar_t* statusText;
  const wchar_t* buildLabel;
  int percent;
};

enum AccessibleEventKind {
  kAccessibleNameChange,
  kAccessibleValueChange,
  kAccessibleStateChange,
};

struct AccessibleEvent {
  AccessibleEventKind kind;
  long child;
};

enum { kMaxAccessibleEvents = 4 };

// The events for a change from `before` to `after`, in reading order, into
// `events` (kMaxAccessibleEvents entries); returns how many. The sliding
// segment's ticks change nothing here, so they raise nothing.
int AccessibleChangeEvents(const AccessibleView& before, const AccessibleView& after,
                           AccessibleEvent* events);
