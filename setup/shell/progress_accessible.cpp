// The object is written against the interfaces' C layout (a table of plain
// functions), as the rest of the setup has no classes of its own.
#define CINTERFACE
#include "shell/progress_accessible.h"

#include <oleacc.h>

#include "base/bounded_text.h"
#include "base/product.h"
#include "base/progress_state.h"
#include "base/system_library.h"
#include "display/progress_layout.h"
#include "shell/accessible_children.h"

namespace {

typedef LRESULT(WINAPI* LresultFromObjectFunction)(REFIID, WPARAM, LPUNKNOWN);
typedef HRESULT(WINAPI* CreateStdAccessibleObjectFunction)(HWND, LONG, REFIID, void**);
typedef BSTR(WINAPI* SysAllocStringFunction)(const OLECHAR*);

// Loaded once on the window's thread before the first object is handed out;
// kept for the rest of the process, as clients may hold the object that long.
bool librariesTried = false;
LresultFromObjectFunction lresultFromObject = nullptr;
CreateStdAccessibleObjectFunction createStdAccessibleObject = nullptr;
SysAllocStringFunction sysAllocString = nullptr;

struct ClientAccessible {
  IAccessible face;  // first: the interface pointer is the object's address
  LONG references;
  HWND window;  // null once the window is gone; under shownLock
};

// What the window showed at its last sync, written on the window's thread
// and read by the object's methods on whatever thread a client calls them.
// The build label is read live through ReadBuildLabel; the copy here only
// tells when to announce it. The lock is held only for these copies.
SRWLOCK shownLock = SRWLOCK_INIT;
bool shownSynced = false;
wchar_t shownStatus[kProgressTextCapacity];
wchar_t shownLabel[kBuildLabelCapacity];
int shownPercent = 0;
unsigned shownDpi = 96;

// The window's own reference, taken on the first request, given up on
// WM_DESTROY. Window thread only.
ClientAccessible* windowObject = nullptr;

ClientAccessible* FromFace(IAccessible* face) { return reinterpret_cast<ClientAccessible*>(face); }

// The window, or null when it is gone.
HWND ConnectedWindow(ClientAccessible* object) {
  AcquireSRWLockShared(&shownLock);
  HWND window = object->window;
  ReleaseSRWLockShared(&shownLock);
  return window;
}

struct ShownState {
  HWND window;
  wchar_t status[kProgressTextCapacity];
  wchar_t label[kBuildLabelCapacity];
  int percent;
  unsigned dpi;
};

// False when the window is gone.
bool ReadShown(ClientAccessible* object, ShownState* state) {
  ReadBuildLabel(state->label);
  AcquireSRWLockShared(&shownLock);
  state->window = object->window;
  CopyText(state->status, kProgressTextCapacity, shownStatus);
  state->percent = shownPercent;
  state->dpi = shownDpi;
  ReleaseSRWLockShared(&shownLock);
  return state->window != nullptr;
}

// The child id a client passed; -1 when it is not one of ours.
long ChildOf(VARIANT child) {
  if (child.vt != VT_I4) return -1;
  if (AccessibleChildRole(child.lVal) == kAccessibleRoleNone) return -1;
  return child.lVal;
}

HRESULT ReturnText(const wchar_t* text, BSTR* result) {
  *result = sysAllocString(text);
  return *result ? S_OK : E_OUTOFMEMORY;
}

ProgressLayout LayoutOf(HWND window, unsigned dpi) {
  RECT client = {};
  GetClientRect(window, &client);
  return ComputeProgressLayout(client.right, client.bottom, dpi, progressState.bannerWidth,
                               progressState.bannerHeight);
}

// --- IUnknown, IDispatch

HRESULT STDMETHODCALLTYPE QueryInterfaceMethod(IAccessible* face, REFIID iid, void** result) {
  if (!result) return E_POINTER;
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
      IsEqualIID(iid, IID_IAccessible)) {
    *result = face;
    InterlockedIncrement(&FromFace(face)->references);
    return S_OK;
  }
  *result = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE AddRefMethod(IAccessible* face) {
  return static_cast<ULONG>(InterlockedIncrement(&FromFace(face)->references));
}

ULONG STDMETHODCALLTYPE ReleaseMethod(IAccessible* face) {
  const LONG left = InterlockedDecrement(&FromFace(face)->references);
  if (left == 0) HeapFree(GetProcessHeap(), 0, FromFace(face));
  return static_cast<ULONG>(left);
}

HRESULT STDMETHODCALLTYPE GetTypeInfoCountMethod(IAccessible*, UINT* count) {
  if (!count) return E_POINTER;
  *count = 0;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE GetTypeInfoMethod(IAccessible*, UINT, LCID, ITypeInfo** info) {
  if (info) *info = nullptr;
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE GetIDsOfNamesMethod(IAccessible*, REFIID, LPOLESTR*, UINT, LCID,
                                              DISPID*) {
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE InvokeMethod(IAccessible*, DISPID, REFIID, LCID, WORD, DISPPARAMS*,
                                       VARIANT*, EXCEPINFO*, UINT*) {
  return E_NOTIMPL;
}

// --- IAccessible

HRESULT STDMETHODCALLTYPE GetParentMethod(IAccessible* face, IDispatch** parent) {
  if (!parent) return E_POINTER;
  *parent = nullptr;
  HWND window = ConnectedWindow(FromFace(face));
  if (!window) return RPC_E_DISCONNECTED;
  return createStdAccessibleObject(window, OBJID_WINDOW, IID_IDispatch,
                                   reinterpret_cast<void**>(parent));
}

HRESULT STDMETHODCALLTYPE GetChildCountMethod(IAccessible* face, LONG* count) {
  if (!count) return E_POINTER;
  if (!ConnectedWindow(FromFace(face))) return RPC_E_DISCONNECTED;
  *count = kAccessibleChildCount;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE GetChildMethod(IAccessible* face, VARIANT child, IDispatch** result) {
  if (!result) return E_POINTER;
  *result = nullptr;
  if (!ConnectedWindow(FromFace(face))) return RPC_E_DISCONNECTED;
  const long id = ChildOf(child);
  if (id <= kAccessibleSelf) return E_INVALIDARG;
  return S_FALSE;  // simple elements, not objects of their own
}

HRESULT STDMETHODCALLTYPE GetNameMethod(IAccessible* face, VARIANT child, BSTR* name) {
  if (!name) return E_POINTER;
  *name = nullptr;
  ShownState state;
  if (!ReadShown(FromFace(face), &state)) return RPC_E_DISCONNECTED;
  switch (ChildOf(child)) {
    case kAccessibleSelf: {
      wchar_t title[128];
      InternalGetWindowText(state.window, title, 128);  // never waits for the window
      return ReturnText(title, name);
    }
    case kAccessibleTitle:
      return ReturnText(NIMBREL_PRODUCT_NAME, name);
    case kAccessibleBuildLabel:
      return ReturnText(state.label, name);
    case kAccessibleStatus:
      return ReturnText(state.status, name);
    case kAccessibleProgressBar:
      return S_FALSE;  // the status line above it says what is in progress
    default:
      return E_INVALIDARG;
  }
}

HRESULT STDMETHODCALLTYPE GetValueMethod(IAccessible* face, VARIANT child, BSTR* value) {
  if (!value) return E_POINTER;
  *value = nullptr;
  ShownState state;
  if (!ReadShown(FromFace(face), &state)) return RPC_E_DISCONNECTED;
  const long id = ChildOf(child);
  if (id < 0) return E_INVALIDARG;
  if (id != kAccessibleProgressBar) return DISP_E_MEMBERNOTFOUND;
  wchar_t text[16];
  FormatProgressValue(text, 16, state.percent);
  return ReturnText(text, value);
}

HRESULT STDMETHODCALLTYPE GetNothingMethod(IAccessible* face, VARIANT child, BSTR* text) {
  if (!text) return E_POINTER;
  *text = nullptr;
  if (!ConnectedWindow(FromFace(face))) return RPC_E_DISCONNECTED;
  return ChildOf(child) < 0 ? E_INVALIDARG : S_FALSE;
}

HRESULT STDMETHODCALLTYPE GetRoleMethod(IAccessible* face, VARIANT child, VARIANT* role) {
  if (!role) return E_POINTER;
  role->vt = VT_EMPTY;
  if (!ConnectedWindow(FromFace(face))) return RPC_E_DISCONNECTED;
  LONG value = 0;
  switch (AccessibleChildRole(ChildOf(child))) {
    case kAccessibleRoleClient:
      value = ROLE_SYSTEM_CLIENT;
      break;
    case kAccessibleRoleStaticText:
      value = ROLE_SYSTEM_STATICTEXT;
      break;
    case kAccessibleRoleProgressBar:
      value = ROLE_SYSTEM_PROGRESSBAR;
      break;
    default:
      return E_INVALIDARG;
  }
  role->vt = VT_I4;
  role->lVal = value;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE GetStateMethod(IAccessible* face, VARIANT child, VARIANT* result) {
  if (!result) return E_POINTER;
  result->vt = VT_EMPTY;
  ShownState state;
  if (!ReadShown(FromFace(face), &state)) return RPC_E_DISCONNECTED;
  const long id = ChildOf(child);
  if (id < 0) return E_INVALIDARG;
  LONG flags = 0;
  if (!IsWindowVisible(state.window) || IsIconic(state.window)) flags |= STATE_SYSTEM_INVISIBLE;
  if (id != kAccessibleSelf) flags |= STATE_SYSTEM_READONLY;
  if (id == kAccessibleBuildLabel && state.label[0] == 0) flags |= STATE_SYSTEM_INVISIBLE;
  if (id == kAccessibleProgressBar && ProgressBarIsBusy(state.percent)) flags |= STATE_SYSTEM_BUSY;
  result->vt = VT_I4;
  result->lVal = flags;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE GetHelpTopicMethod(IAccessible* face, BSTR* file, VARIANT child,
                                             LONG* topic) {
  if (!file || !topic) return E_POINTER;
  *file = nullptr;
  *topic = 0;
  if (!ConnectedWindow(FromFace(face))) return RPC_E_DISCONNECTED;
  return ChildOf(child) < 0 ? E_INVALIDARG : S_FALSE;
}

HRESULT STDMETHODCALLTYPE GetNoChildMethod(IAccessible* face, VARIANT* result) {
  if (!result) return E_POINTER;
  result->vt = VT_EMPTY;
  if (!ConnectedWindow(FromFace(face))) return RPC_E_DISCONNECTED;
  return S_FALSE;  // nothing here takes the focus or a selection
}

HRESULT STDMETHODCALLTYPE SelectMethod(IAccessible* face, LONG, VARIANT) {
  if (!ConnectedWindow(FromFace(face))) return RPC_E_DISCONNECTED;
  return DISP_E_MEMBERNOTFOUND;
}

HRESULT STDMETHODCALLTYPE LocationMethod(IAccessible* face, LONG* left, LONG* top, LONG* width,
                                         LONG* height, VARIANT child) {
  if (!left || !top || !width || !height) return E_POINTER;
  *left = *top = *width = *height = 0;
  ShownState state;
  if (!ReadShown(FromFace(face), &state)) return RPC_E_DISCONNECTED;
  PixelRect rect;
  if (!AccessibleChildRect(LayoutOf(state.window, state.dpi), ChildOf(child), &rect)) {
    return E_INVALIDARG;
  }
  POINT origin = {rect.left, rect.top};
  ClientToScreen(state.window, &origin);
  *left = origin.x;
  *top = origin.y;
  *width = rect.right > rect.left ? rect.right - rect.left : 0;
  *height = rect.bottom > rect.top ? rect.bottom - rect.top : 0;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE NavigateMethod(IAccessible* face, LONG direction, VARIANT start,
                                         VARIANT* result) {
  if (!result) return E_POINTER;
  result->vt = VT_EMPTY;
  if (!ConnectedWindow(FromFace(face))) return RPC_E_DISCONNECTED;
  const long from = ChildOf(start);
  if (from < 0) return E_INVALIDARG;
  long to = -1;
  if (from == kAccessibleSelf) {
    if (direction == NAVDIR_FIRSTCHILD) to = kAccessibleTitle;
    if (direction == NAVDIR_LASTCHILD) to = kAccessibleProgressBar;
  } else {
    if ((direction == NAVDIR_NEXT || direction == NAVDIR_DOWN) && from < kAccessibleChildCount) {
      to = from + 1;
    }
    if ((direction == NAVDIR_PREVIOUS || direction == NAVDIR_UP) && from > kAccessibleTitle) {
      to = from - 1;
    }
  }
  if (to < 0) return S_FALSE;
  result->vt = VT_I4;
  result->lVal = to;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE HitTestMethod(IAccessible* face, LONG x, LONG y, VARIANT* result) {
  if (!result) return E_POINTER;
  result->vt = VT_EMPTY;
  ShownState state;
  if (!ReadShown(FromFace(face), &state)) return RPC_E_DISCONNECTED;
  POINT point = {x, y};
  ScreenToClient(state.window, &point);
  const long child = AccessibleChildAt(LayoutOf(state.window, state.dpi), state.label[0] != 0,
                                       point.x, point.y);
  if (child < 0) return S_FALSE;
  result->vt = VT_I4;
  result->lVal = child;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE DoDefaultActionMethod(IAccessible* face, VARIANT) {
  if (!ConnectedWindow(FromFace(face))) return RPC_E_DISCONNECTED;
  return DISP_E_MEMBERNOTFOUND;
}

HRESULT STDMETHODCALLTYPE PutTextMethod(IAccessible*, VARIANT, BSTR) { return E_NOTIMPL; }

IAccessibleVtbl clientAccessibleMethods = {
    QueryInterfaceMethod,
    AddRefMethod,
    ReleaseMethod,
    GetTypeInfoCountMethod,
    GetTypeInfoMethod,
    GetIDsOfNamesMethod,
    InvokeMethod,
    GetParentMethod,
    GetChildCountMethod,
    GetChildMethod,
    GetNameMethod,
    GetValueMethod,
    GetNothingMethod,  // description
    GetRoleMethod,
    GetStateMethod,
    GetNothingMethod,  // help
    GetHelpTopicMethod,
    GetNothingMethod,  // keyboard shortcut
    GetNoChildMethod,  // focus
    GetNoChildMethod,  // selection
    GetNothingMethod,  // default action
    SelectMethod,
    LocationMethod,
    NavigateMethod,
    HitTestMethod,
    DoDefaultActionMethod,
    PutTextMethod,  // name
    PutTextMethod,  // value
};

void LoadAccessibilityLibraries() {
  if (librariesTried) return;
  librariesTried = true;
  HMODULE automation = LoadSystemLibrary(L"oleaut32.dll");
  HMODULE accessibility = LoadSystemLibrary(L"oleacc.dll");
  SysAllocStringFunction allocate =
      LoadSystemFunction<SysAllocStringFunction>(automation, "SysAllocString");
  LresultFromObjectFunction lresult =
      LoadSystemFunction<LresultFromObjectFunction>(accessibility, "LresultFromObject");
  CreateStdAccessibleObjectFunction standard = LoadSystemFunction<CreateStdAccessibleObjectFunction>(
      accessibility, "CreateStdAccessibleObject");
  if (!allocate || !lresult || !standard) {
    if (accessibility) FreeLibrary(accessibility);
    if (automation) FreeLibrary(automation);
    return;
  }
  sysAllocString = allocate;
  createStdAccessibleObject = standard;
  lresultFromObject = lresult;
}

DWORD EventFor(AccessibleEventKind kind) {
  switch (kind) {
    case kAccessibleNameChange:
      return EVENT_OBJECT_NAMECHANGE;
    case kAccessibleValueChange:
      return EVENT_OBJECT_VALUECHANGE;
    default:
      return EVENT_OBJECT_STATECHANGE;
  }
}

}  // namespace

LRESULT AnswerAccessibleObject(HWND window, WPARAM wParam, LPARAM lParam) {
  if (static_cast<DWORD>(lParam) != static_cast<DWORD>(OBJID_CLIENT)) {
    return DefWindowProcW(window, WM_GETOBJECT, wParam, lParam);
  }
  LoadAccessibilityLibraries();
  if (!lresultFromObject) return DefWindowProcW(window, WM_GETOBJECT, wParam, lParam);
  SyncAccessibleState(window);
  if (!windowObject) {
    windowObject = static_cast<ClientAccessible*>(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(ClientAccessible)));
    if (!windowObject) return DefWindowProcW(window, WM_GETOBJECT, wParam, lParam);
    windowObject->face.lpVtbl = &clientAccessibleMethods;
    windowObject->references = 1;
    windowObject->window = window;
  }
  return lresultFromObject(IID_IAccessible, wParam,
                           reinterpret_cast<IUnknown*>(&windowObject->face));
}

void SyncAccessibleState(HWND window) {
  wchar_t label[kBuildLabelCapacity];
  ReadBuildLabel(label);
  AccessibleEvent events[kMaxAccessibleEvents];
  int count = 0;
  AcquireSRWLockExclusive(&shownLock);
  if (shownSynced) {
    const AccessibleView before = {shownStatus, shownLabel, shownPercent};
    const AccessibleView after = {progressState.statusText, label, progressState.progressPercent};
    count = AccessibleChangeEvents(before, after, events);
  }
  CopyText(shownStatus, kProgressTextCapacity, progressState.statusText);
  CopyText(shownLabel, kBuildLabelCapacity, label);
  shownPercent = progressState.progressPercent;
  shownDpi = progressState.currentDpi;
  shownSynced = true;
  ReleaseSRWLockExclusive(&shownLock);
  // Raised once the new state is readable, so a client that asks at once
  // hears the new text.
  for (int i = 0; i < count; ++i) {
    NotifyWinEvent(EventFor(events[i].kind), window, OBJID_CLIENT, events[i].child);
  }
}

void DisconnectAccessibleObject(HWND) {
  if (!windowObject) return;
  ClientAccessible* object = windowObject;
  windowObject = nullptr;
  AcquireSRWLockExclusive(&shownLock);
  object->window = nullptr;
  ReleaseSRWLockExclusive(&shownLock);
  CoDisconnectObject(reinterpret_cast<IUnknown*>(&object->face), 0);
  ReleaseMethod(&object->face);
}
