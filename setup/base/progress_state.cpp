#include "base/progress_state.h"

#include "base/accessible_ids.h"
#include "base/bounded_text.h"
#include "base/dpi_scale.h"
#include "base/zero_filled.h"

ZERO_FILLED ProgressState progressState;
ZERO_FILLED HWND progressWindow;
ZERO_FILLED wchar_t progressText[kProgressTextCapacity];

namespace {

ZERO_FILLED SRWLOCK pictureLock;  // SRWLOCK_INIT is all zeros

}  // namespace

int ScaleByDpi(int value) { return ScaleForDpi(value, progressState.currentDpi); }

void BeginPictureChange() { AcquireSRWLockExclusive(&pictureLock); }
void EndPictureChange() { ReleaseSRWLockExclusive(&pictureLock); }
void BeginPictureRead() { AcquireSRWLockShared(&pictureLock); }
void EndPictureRead() { ReleaseSRWLockShared(&pictureLock); }

void StoreProgressText(const wchar_t* text) {
  BeginPictureChange();
  CopyText(progressText, kProgressTextCapacity, text);
  EndPictureChange();
}

void StoreBuildLabel(const wchar_t* label) {
  BeginPictureChange();
  // Two texts are the same when each starts with the other.
  const bool changed = !TextStartsWith(progressState.buildLabel, label) ||
                       !TextStartsWith(label, progressState.buildLabel);
  CopyText(progressState.buildLabel, kBuildLabelCapacity, label);
  EndPictureChange();
  // The label arrives without a message, so it is announced here, once the
  // new text is readable; the window repaints it on the probe's request.
  if (changed && progressWindow) {
    NotifyWinEvent(EVENT_OBJECT_NAMECHANGE, progressWindow, OBJID_CLIENT, kAccessibleBuildLabel);
  }
}

void ReadBuildLabel(wchar_t* copy) {
  BeginPictureRead();
  CopyText(copy, kBuildLabelCapacity, progressState.buildLabel);
  EndPictureRead();
}
