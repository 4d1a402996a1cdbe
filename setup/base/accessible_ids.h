// The progress window's accessible children, in reading order; 0 is the
// client object itself. Here at the bottom of the include order because the
// build label is announced where it is stored (base/progress_state.cpp), not
// only in the shell. Platform-free.
#pragma once

enum AccessibleChild {
  kAccessibleSelf = 0,
  kAccessibleTitle = 1,
  kAccessibleBuildLabel = 2,
  kAccessibleStatus = 3,
  kAccessibleProgressBar = 4,
  kAccessibleChildCount = 4,
};
