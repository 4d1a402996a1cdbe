// The object is written against the interfaces' C layout (a table of plain
// functions), as the rest of the setup has no classes of its own.
#define CINTERFACE
#include "shell/progress_accessible.h"

#include <oleacc.h>

#include "base/product.h"
#include "base/progress_state.h"
#include "base/system_library.h"
#include "base/zero_filled.h"
#include "display/progress_layout.h"
#include "display/progress_paint.h"
#include "shell/accessible_children.h"

namespace {

typedef LRESULT(WINAPI* LresultFromObjectFunction)(REFIID, WPARAM, LPUNKNOWN);
typedef HRESULT(WINAPI* CreateStdAccessibleObjectFunction)(HWND, LONG, REFIID, void**);
typedef BSTR(WINAPI* SysAllocStringFunction)(const OLECHAR*);

// Loaded once on the window's thread before the first object is handed out;
// kept for the rest of the process, as clients may hold the object that long.
ZERO_FILLED bool librariesTried;
ZERO_FILLED LresultFromObjectFunction lresultFromObject;
ZERO_FILLED CreateStdAccessibleObjectFunction createStdAccessibleObject;
ZERO_FILLED SysAllocStringFunction sysAllocString;

// The methods read the window's picture where it is, under the picture's
// lock, on whatever thread a client calls them.
struct ClientAccessible {
  IAccessible face;  // first: the interface pointer is the object's address
  LONG references;
  HWND window;  // null once the window is gone; under the picture's lock
};

// The window's own reference, taken on the first request, given up on
// WM_DESTROY. Window thread only.
ZERO_FILLED ClientAccessible* windowObject;
// The window that has let go of its object: a request that still reaches it
// (between WM_DESTROY and the end of the window) makes none. Window thread
// only.
ZERO_FILLED HWND destroyedWindow;

ClientAccessible* FromFace(IAccessible* face) { return reinterpret_cast<ClientAccessible*>(face); }

// The window, or null when it is gone.
HWND ConnectedWindow(ClientAccessible* object) {
  BeginPictureRead();
  HWND window = object->window;
  EndPictureRead();
  return window;
}

// Where the children lie now, in client pixels.
struct ShownGeometry {
  HWND window;
  ProgressLayout layout;
  PixelRect buildLabelText;
};

// False when the window is gone. The label is measured under the lock, which
// keeps its text and the body font from changing meanwhile.
bool ReadGeometry(ClientAccessible* object, ShownGeometry* geometry) {
  BeginPictureRead();
  geometry->window = object->window;
  if (geometry->window) {
    RECT client = {};
    GetClientRect(geometry->window, &client);
    geometry->layout =
        ComputeProgressLayout(client.right, client.bottom, progressState.currentDpi,
                              progressState.bannerWidth, progressState.bannerHeight);
    const SIZE label = MeasureBuildLabel(progressState.buildLabel);
    geometry->buildLabelText = BuildLabelExtent(geometry->layout, label.cx, label.cy);
  }
  EndPictureRead();
  return geometry->window != nullptr;
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

// Under the picture's lock, so that each text is copied whole, straight into
// the answer.
HRESULT ReturnName(HWND window, long child, BSTR* name) {
  if (!window) return RPC_E_DISCONNECTED;
  switch (child) {
    case kAccessibleSelf: {
      // The window is there while the lock is held (it lets go of its object
      // under the lock); the title starts empty all the same, in case it
      // cannot be read.
      wchar_t title[128] = {};
      InternalGetWindowText(window, title, 128);  // never waits for the window
      return ReturnText(title, name);
    }
    case kAccessibleTitle:
      return ReturnText(NIMBREL_PRODUCT_NAME, name);
    case kAccessibleBuildLabel:
      return ReturnText(progressState.buildLabel, name);
    case kAccessibleStatus:
      return ReturnText(progressState.statusText, name);
    case kAccessibleProgressBar:
      return S_FALSE;  // the status line above it says what is in progress
    default:
      return E_INVALIDARG;
  }
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
  *count = 0;
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
  BeginPictureRead();
  const HRESULT result = ReturnName(FromFace(face)->window, ChildOf(child), name);
  EndPictureRead();
  return result;
}

HRESULT STDMETHODCALLTYPE GetValueMethod(IAccessible* face, VARIANT child, BSTR* value) {
  if (!value) return E_POINTER;
  *value = nullptr;
  BeginPictureRead();
  HWND window = FromFace(face)->window;
  const int percent = progressState.progressPercent;
  EndPictureRead();
  if (!window) return RPC_E_DISCONNECTED;
  const long id = ChildOf(child);
  if (id < 0) return E_INVALIDARG;
  if (id != kAccessibleProgressBar) return DISP_E_MEMBERNOTFOUND;
  wchar_t text[16];
  FormatProgressValue(text, 16, percent);
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
  BeginPictureRead();
  HWND window = FromFace(face)->window;
  const bool labelShown = progressState.buildLabel[0] != 0;
  const int percent = progressState.progressPercent;
  EndPictureRead();
  if (!window) return RPC_E_DISCONNECTED;
  const long id = ChildOf(child);
  if (id < 0) return E_INVALIDARG;
  LONG flags = 0;
  if (!IsWindowVisible(window) || IsIconic(window)) flags |= STATE_SYSTEM_INVISIBLE;
  if (id != kAccessibleSelf) flags |= STATE_SYSTEM_READONLY;
  if (id == kAccessibleBuildLabel && !labelShown) flags |= STATE_SYSTEM_INVISIBLE;
  if (id == kAccessibleProgressBar && ProgressBarIsBusy(percent)) flags |= STATE_SYSTEM_BUSY;
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
  ShownGeometry geometry;
  if (!ReadGeometry(FromFace(face), &geometry)) return RPC_E_DISCONNECTED;
  PixelRect rect;
  if (!AccessibleChildRect(geometry.layout, geometry.buildLabelText, ChildOf(child), &rect)) {
    return E_INVALIDARG;
  }
  POINT origin = {rect.left, rect.top};
  ClientToScreen(geometry.window, &origin);
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
  ShownGeometry geometry;
  if (!ReadGeometry(FromFace(face), &geometry)) return RPC_E_DISCONNECTED;
  POINT point = {x, y};
  ScreenToClient(geometry.window, &point);
  const long child = AccessibleChildAt(geometry.layout, geometry.buildLabelText, point.x, point.y);
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

}  // namespace

LRESULT AnswerAccessibleObject(HWND window, WPARAM wParam, LPARAM lParam) {
  if (static_cast<DWORD>(lParam) != static_cast<DWORD>(OBJID_CLIENT) || window == destroyedWindow) {
    return DefWindowProcW(window, WM_GETOBJECT, wParam, lParam);
  }
  LoadAccessibilityLibraries();
  if (!lresultFromObject) return DefWindowProcW(window, WM_GETOBJECT, wParam, lParam);
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

void DisconnectAccessibleObject(HWND window) {
  destroyedWindow = window;
  if (!windowObject) return;
  ClientAccessible* object = windowObject;
  windowObject = nullptr;
  BeginPictureChange();
  object->window = nullptr;
  EndPictureChange();
  CoDisconnectObject(reinterpret_cast<IUnknown*>(&object->face), 0);
  ReleaseMethod(&object->face);
}
