// The progress window as assistive technology sees it: an accessible object
// of its client area with the title, the build label, the status line and
// the progress bar as its children. It reads the window's picture
// (base/progress_state.h) from whatever thread a client calls it on; the
// changes are announced where the picture changes. The accessibility library
// is loaded from the system folder on the first request for the object,
// never at start-up.
#pragma once

#include <windows.h>

// WM_GETOBJECT: the client object for OBJID_CLIENT, DefWindowProcW for every
// other request and for any request after WM_DESTROY.
LRESULT AnswerAccessibleObject(HWND window, WPARAM wParam, LPARAM lParam);

// WM_DESTROY: the window lets go of its object and makes no other; a client
// that still holds it gets RPC_E_DISCONNECTED from then on.
void DisconnectAccessibleObject(HWND window);
