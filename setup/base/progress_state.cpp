#include "base/progress_state.h"

#include "base/bounded_text.h"
#include "base/dpi_scale.h"

ProgressState progressState = {L"", 0, 0, {0}, nullptr, 96, nullptr, nullptr, nullptr, 0, 0};
HWND progressWindow = nullptr;
wchar_t progressText[kProgressTextCapacity];

namespace {

SRWLOCK sharedTextLock = SRWLOCK_INIT;

}  // namespace

int ScaleByDpi(int value) { return ScaleForDpi(value, progressState.currentDpi); }

void StoreProgressText(const wchar_t* text) {
  AcquireSRWLockExclusive(&sharedTextLock);
  CopyText(progressText, kProgressTextCapacity, text);
  ReleaseSRWLockExclusive(&sharedTextLock);
}

void ReadProgressText(wchar_t* copy) {
  AcquireSRWLockShared(&sharedTextLock);
  CopyText(copy, kProgressTextCapacity, progressText);
  ReleaseSRWLockShared(&sharedTextLock);
}

void StoreBuildLabel(const wchar_t* label) {
  AcquireSRWLockExclusive(&sharedTextLock);
  CopyText(progressState.buildLabel, kBuildLabelCapacity, label);
  ReleaseSRWLockExclusive(&sharedTextLock);
}

void ReadBuildLabel(wchar_t* copy) {
  AcquireSRWLockShared(&sharedTextLock);
  CopyText(copy, kBuildLabelCapacity, progressState.buildLabel);
  ReleaseSRWLockShared(&sharedTextLock);
}
