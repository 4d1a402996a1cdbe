// A display source that reaches up into the shell: the include-order check
// must reject this tree.
#include "base/progress_state.h"
#include "shell/progress_window.h"
