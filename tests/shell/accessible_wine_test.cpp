// The progress window's client object in the process that owns the window:
// the four children read at two moments of the protocol, the events of a
// download, lazy loading of the accessibility library, and the object
// outliving its window.
#include <windows.h>

#include <gtest/gtest.h>
#include <oleacc.h>

#include <string>
#include <utility>
#include <vector>

#include "base/progress_state.h"
#include "display/progress_layout.h"
#include "display/progress_paint.h"
#include "shell/progress_window.h"

namespace {

typedef HRESULT(WINAPI* FromWindowFunction)(HWND, DWORD, REFIID, void**);

void PumpFor(DWORD milliseconds) {
  const DWORD start = GetTickCount();
  MSG message;
  while (GetTickCount() - start < milliseconds) {
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    Sleep(5);
  }
}

VARIANT Child(long id) {
  VARIANT child;
  VariantInit(&child);
  child.vt = VT_I4;
  child.lVal = id;
  return child;
}

std::wstring Take(BSTR text) {
  std::wstring result = text ? text : L"<null>";
  if (text) SysFreeString(text);
  return result;
}

struct Element {
  long role;
  long state;
  std::wstring name;
  std::wstring value;
  RECT location;  // screen, as left, top, right, bottom
};

Element Read(IAccessible* object, long id) {
  Element element = {};
  VARIANT role, state;
  VariantInit(&role);
  VariantInit(&state);
  EXPECT_EQ(object->get_accRole(Child(id), &role), S_OK) << id;
  EXPECT_EQ(object->get_accState(Child(id), &state), S_OK) << id;
  element.role = role.lVal;
  element.state = state.lVal;
  BSTR name = nullptr, value = nullptr;
  object->get_accName(Child(id), &name);
  object->get_accValue(Child(id), &value);
  element.name = Take(name);
  element.value = Take(value);
  LONG left = 0, top = 0, width = 0, height = 0;
  EXPECT_EQ(object->accLocation(&left, &top, &width, &height, Child(id)), S_OK) << id;
  element.location = RECT{left, top, left + width, top + height};
  return element;
}

std::vector<std::pair<DWORD, LONG>> seenEvents;

void CALLBACK OnEvent(HWINEVENTHOOK, DWORD event, HWND window, LONG objectId, LONG child, DWORD,
                      DWORD) {
  if (window == progressWindow && objectId == OBJID_CLIENT) seenEvents.emplace_back(event, child);
}

class AccessibleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    progressState.statusText = L"Downloading\u2026";
    progressState.progressPercent = 0;
    progressState.animationOffset = 0;
    progressState.errorMessage = nullptr;
    if (progressWindow && IsWindow(progressWindow)) return;
    progressState.currentDpi = GetDpiForSystem();
    CreateFonts();
    CreateProgressWindow(GetModuleHandleW(nullptr), false);
    ASSERT_NE(progressWindow, nullptr);
    ShowWindow(progressWindow, SW_SHOWNORMAL);
    PumpFor(50);
    MSG message;
    while (PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    }
  }

  static IAccessible* ClientObject() {
    HMODULE oleacc = LoadLibraryExW(L"oleacc.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    FromWindowFunction fromWindow = reinterpret_cast<FromWindowFunction>(
        reinterpret_cast<void*>(GetProcAddress(oleacc, "AccessibleObjectFromWindow")));
    IAccessible* object = nullptr;
    if (fromWindow) {
      EXPECT_EQ(fromWindow(progressWindow, static_cast<DWORD>(OBJID_CLIENT), IID_IAccessible,
                           reinterpret_cast<void**>(&object)),
                S_OK);
    }
    return object;
  }

  static void Progress(int percent, const wchar_t* text) {
    StoreProgressText(text);
    SendMessageW(progressWindow, WM_SETUP_PROGRESS, static_cast<WPARAM>(percent),
                 reinterpret_cast<LPARAM>(progressText));
  }

  static RECT OnScreen(const PixelRect& rect) {
    POINT origin = {0, 0};
    ClientToScreen(progressWindow, &origin);
    return RECT{rect.left + origin.x, rect.top + origin.y, rect.right + origin.x,
                rect.bottom + origin.y};
  }
};

SIZE TextSize(const wchar_t* text) {
  SIZE size = {};
  HDC surface = CreateCompatibleDC(nullptr);
  HGDIOBJ kept = SelectObject(surface, progressState.bodyFont);
  GetTextExtentPoint32W(surface, text, lstrlenW(text), &size);
  SelectObject(surface, kept);
  DeleteDC(surface);
  return size;
}

// Asks the window for its object once more right after its own WM_DESTROY,
// as a client racing the window's end would.
WNDPROC windowProc = nullptr;
LRESULT lateAnswer = -1;

LRESULT CALLBACK AskAfterDestroy(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  const LRESULT result = CallWindowProcW(windowProc, window, message, wParam, lParam);
  if (message == WM_DESTROY) {
    lateAnswer = SendMessageW(window, WM_GETOBJECT, 0, static_cast<LPARAM>(OBJID_CLIENT));
  }
  return result;
}

void ExpectRect(const RECT& got, const RECT& want, const char* what) {
  EXPECT_EQ(got.left, want.left) << what;
  EXPECT_EQ(got.top, want.top) << what;
  EXPECT_EQ(got.right, want.right) << what;
  EXPECT_EQ(got.bottom, want.bottom) << what;
}

// First in the suite: nothing has asked for the object yet.
TEST_F(AccessibleTest, LibraryIsLoadedOnlyOnTheFirstRequest) {
  PumpFor(100);
  EXPECT_EQ(GetModuleHandleW(L"oleacc.dll"), nullptr) << "loaded before anyone asked";
  // Other requests go on to DefWindowProcW, which answers them with 0 here.
  EXPECT_EQ(SendMessageW(progressWindow, WM_GETOBJECT, 0, static_cast<LPARAM>(OBJID_WINDOW)), 0);
  EXPECT_EQ(GetModuleHandleW(L"oleacc.dll"), nullptr);
  IAccessible* object = ClientObject();
  ASSERT_NE(object, nullptr);
  object->Release();
}

TEST_F(AccessibleTest, ChildrenMatchTheWindowDuringTheDownloadAndWhileSliding) {
  StoreBuildLabel(L"Build 2.4.0");
  Progress(33, L"Downloading\u2026  1 of 3 MB");
  IAccessible* object = ClientObject();
  ASSERT_NE(object, nullptr);

  LONG count = 0;
  EXPECT_EQ(object->get_accChildCount(&count), S_OK);
  EXPECT_EQ(count, 4);
  RECT client;
  GetClientRect(progressWindow, &client);
  const ProgressLayout layout = ComputeProgressLayout(
      client.right, client.bottom, progressState.currentDpi, progressState.bannerWidth,
      progressState.bannerHeight);

  const Element self = Read(object, CHILDID_SELF);
  EXPECT_EQ(self.role, ROLE_SYSTEM_CLIENT);
  EXPECT_EQ(self.name, L"Installing Nimbrel Desktop");
  ExpectRect(self.location, OnScreen(layout.background), "client");

  const Element title = Read(object, 1);
  EXPECT_EQ(title.role, ROLE_SYSTEM_STATICTEXT);
  EXPECT_EQ(title.name, L"Nimbrel Desktop");
  ExpectRect(title.location, OnScreen(layout.titleRow), "title");
  const Element label = Read(object, 2);
  EXPECT_EQ(label.role, ROLE_SYSTEM_STATICTEXT);
  EXPECT_EQ(label.name, L"Build 2.4.0");
  EXPECT_EQ(label.state & STATE_SYSTEM_INVISIBLE, 0);
  // Where its text is painted: right-aligned over the title row, from the
  // top of its rectangle, as wide and high as the body font measures it.
  const SIZE measured = TextSize(L"Build 2.4.0");
  ASSERT_GT(measured.cx, 0);
  ASSERT_LT(measured.cx, (layout.buildLabel.right - layout.buildLabel.left) / 2);
  const PixelRect labelText = {layout.buildLabel.right - measured.cx, layout.buildLabel.top,
                               layout.buildLabel.right, layout.buildLabel.top + measured.cy};
  ExpectRect(label.location, OnScreen(labelText), "label");
  const Element status = Read(object, 3);
  EXPECT_EQ(status.role, ROLE_SYSTEM_STATICTEXT);
  EXPECT_EQ(status.name, L"Downloading\u2026  1 of 3 MB");
  ExpectRect(status.location, OnScreen(layout.statusLine), "status");
  const Element bar = Read(object, 4);
  EXPECT_EQ(bar.role, ROLE_SYSTEM_PROGRESSBAR);
  EXPECT_EQ(bar.value, L"33%");
  EXPECT_EQ(bar.state & STATE_SYSTEM_BUSY, 0);
  ExpectRect(bar.location, OnScreen(layout.track), "bar");

  // The worker rewrites its buffer at once; the object keeps what the window shows.
  StoreProgressText(L"not yet posted");
  EXPECT_EQ(Read(object, 3).name, L"Downloading\u2026  1 of 3 MB");

  SendMessageW(progressWindow, WM_SETUP_PROGRESS, static_cast<WPARAM>(-1),
               reinterpret_cast<LPARAM>(L"Installing\u2026"));
  PumpFor(150);  // the segment slides
  EXPECT_EQ(Read(object, 3).name, L"Installing\u2026");
  const Element sliding = Read(object, 4);
  EXPECT_EQ(sliding.value, L"");
  EXPECT_EQ(sliding.state & STATE_SYSTEM_BUSY, STATE_SYSTEM_BUSY);

  // Hit-testing on screen: the middle of the status line; over the title's
  // text, level with the label (client 48,238 at 96 DPI); the label's text.
  const RECT line = OnScreen(layout.statusLine);
  const RECT titleRow = OnScreen(layout.titleRow);
  const RECT labelOnScreen = OnScreen(labelText);
  struct {
    LONG x, y;
    long child;
  } const hits[] = {
      {(line.left + line.right) / 2, line.top + 1, 3},
      {titleRow.left + ScaleByDpi(20), labelOnScreen.top + ScaleByDpi(5), 1},
      {labelOnScreen.left - 1, labelOnScreen.top + ScaleByDpi(5), 1},
      {labelOnScreen.left, labelOnScreen.top + ScaleByDpi(5), 2},
      {labelOnScreen.right - 1, labelOnScreen.top, 2},
  };
  for (const auto& h : hits) {
    VARIANT hit;
    VariantInit(&hit);
    EXPECT_EQ(object->accHitTest(h.x, h.y, &hit), S_OK) << h.x << "," << h.y;
    EXPECT_EQ(hit.vt, VT_I4) << h.x << "," << h.y;
    EXPECT_EQ(hit.lVal, h.child) << h.x << "," << h.y;
  }

  IDispatch* parent = nullptr;
  ASSERT_EQ(object->get_accParent(&parent), S_OK);
  IAccessible* window = nullptr;
  ASSERT_EQ(parent->QueryInterface(IID_IAccessible, reinterpret_cast<void**>(&window)), S_OK);
  VARIANT role;
  VariantInit(&role);
  // Wine 8's standard window object answers E_NOTIMPL for its role.
  const HRESULT roleResult = window->get_accRole(Child(CHILDID_SELF), &role);
  if (roleResult != E_NOTIMPL) {
    EXPECT_EQ(roleResult, S_OK);
    EXPECT_EQ(role.lVal, ROLE_SYSTEM_WINDOW);
  }
  window->Release();
  parent->Release();
  object->Release();
  KillTimer(progressWindow, 1);
}

TEST_F(AccessibleTest, DownloadRaisesNameAndValueChangesAndTicksRaiseNothing) {
  Progress(0, L"Downloading\u2026  0 of 3 MB");
  HWINEVENTHOOK hook = SetWinEventHook(EVENT_OBJECT_STATECHANGE, EVENT_OBJECT_VALUECHANGE,
                                       nullptr, OnEvent, GetCurrentProcessId(), 0,
                                       WINEVENT_OUTOFCONTEXT);
  ASSERT_NE(hook, nullptr);
  seenEvents.clear();
  Progress(10, L"Downloading\u2026  0 of 3 MB");  // same text, new percent
  Progress(10, L"Downloading\u2026  0 of 3 MB");  // nothing new
  Progress(40, L"Downloading\u2026  1 of 3 MB");
  StoreBuildLabel(L"Build 9.9");
  InvalidateRect(progressWindow, nullptr, FALSE);  // as the version probe does
  PumpFor(100);
  SendMessageW(progressWindow, WM_SETUP_PROGRESS, static_cast<WPARAM>(-1),
               reinterpret_cast<LPARAM>(L"Installing\u2026"));
  PumpFor(100);
  const std::vector<std::pair<DWORD, LONG>> download = {
      {EVENT_OBJECT_VALUECHANGE, 4},
      {EVENT_OBJECT_NAMECHANGE, 3}, {EVENT_OBJECT_VALUECHANGE, 4},
      {EVENT_OBJECT_NAMECHANGE, 2},
      {EVENT_OBJECT_NAMECHANGE, 3}, {EVENT_OBJECT_VALUECHANGE, 4}, {EVENT_OBJECT_STATECHANGE, 4},
  };
  EXPECT_EQ(seenEvents, download);

  seenEvents.clear();
  const int offset = progressState.animationOffset;
  PumpFor(300);
  EXPECT_GT(progressState.animationOffset, offset) << "the segment did not slide";
  EXPECT_TRUE(seenEvents.empty()) << seenEvents.size() << " events from the animation";
  UnhookWinEvent(hook);
  KillTimer(progressWindow, 1);
}

// Last: ends the window.
TEST_F(AccessibleTest, ObjectOutlivesTheWindowDisconnected) {
  IAccessible* object = ClientObject();
  ASSERT_NE(object, nullptr);
  object->AddRef();
  windowProc = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
      progressWindow, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(AskAfterDestroy)));
  DestroyWindow(progressWindow);
  PumpFor(50);
  // A request after WM_DESTROY makes no object that nothing would disconnect.
  EXPECT_EQ(lateAnswer, 0);
  LONG count = 7;
  const HRESULT countResult = object->get_accChildCount(&count);
  EXPECT_TRUE(countResult == RPC_E_DISCONNECTED || countResult == E_FAIL) << std::hex << countResult;
  EXPECT_EQ(count, 0) << "the count is set on every path";
  BSTR name = nullptr;
  const HRESULT nameResult = object->get_accName(Child(3), &name);
  EXPECT_TRUE(nameResult == RPC_E_DISCONNECTED || nameResult == E_FAIL) << std::hex << nameResult;
  EXPECT_EQ(name, nullptr);
  LONG left, top, width, height;
  const HRESULT where = object->accLocation(&left, &top, &width, &height, Child(4));
  EXPECT_TRUE(where == RPC_E_DISCONNECTED || where == E_FAIL) << std::hex << where;
  object->Release();
  object->Release();
  MSG message;
  while (PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
  }
}

}  // namespace
