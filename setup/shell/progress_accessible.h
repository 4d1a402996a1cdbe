// The progress window as assistive technology sees it: an accessible object
// of its client area with the title, the build label, the status line and
// the progress bar as its children, and the events that announce changes.
// The accessibility library is loaded from the system folder on the first
// request for the object, never at start-up.
#pragma once

#include <windows.h>

// WM_GETOBJECT: the client object for OBJID_CLIENT, DefWindowProcW for every
// other request.
LRESULT AnswerAccessibleObject(HWND window, WPARAM wParam, LPARAM lParam);

// On the window's thread, after anything it shows may have changed (each
// WM_SETUP_PROGRESS and each paint): takes what the window now shows and
// raises a name, value or state change event for each child that changed.
void SyncAccessibleState(HWND window);

// WM_DESTROY: the window lets go of its object; a client that still holds it
// gets RPC_E_DISCONNECTED from then on.
void DisconnectAccessibleObject(HWND window);
