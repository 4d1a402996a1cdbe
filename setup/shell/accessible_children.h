// What assistive technology is told about the progress window's client area:
// the four painted elements as simple children, their roles, the progress
// bar's value and state, where each lies, and which change calls for which
// event. Platform-free; the Win32 object in progress_accessible.cpp and the
// window procedure, which raises the events, map these onto the platform's
// constants.
#pragma once

#include <stddef.h>

#include "base/accessible_ids.h"
#include "display/progress_layout.h"

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

// Where the build label's text is painted for a text measured `width` ×
// `height`: right-aligned in the label's rectangle (layout.buildLabel) from
// its top, cut to it; no pixel at all while nothing is painted (width 0).
PixelRect BuildLabelExtent(const ProgressLayout& layout, int width, int height);

// Where a child is painted, in client pixels: the row its text is drawn into
// for the title and the status line, the text's own extent for the build
// label (`buildLabelText`, from BuildLabelExtent), which is right-aligned
// over the title row, the track for the bar, the whole client for the object
// itself. False for an id that is not one of this object's.
bool AccessibleChildRect(const ProgressLayout& layout, const PixelRect& buildLabelText,
                         long child, PixelRect* rect);

// The child under a client point: the build label where its text is painted,
// the title elsewhere in the title row, the status line or the bar; the
// object itself elsewhere in the client; -1 outside it.
long AccessibleChildAt(const ProgressLayout& layout, const PixelRect& buildLabelText, int x,
                       int y);

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
