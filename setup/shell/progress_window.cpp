#include "shell/progress_window.h"

#include "base/bounded_text.h"
#include "base/product.h"
#include "base/system_library.h"
#include "display/progress_layout.h"
#include "display/progress_paint.h"
#include "shell/accessible_children.h"
#include "shell/progress_accessible.h"

namespace {

const wchar_t kClassName[] = NIMBREL_WINDOW_CLASS;

// Missing on systems without these frame attributes; the window then keeps
// its plain frame.
void SetFrameAttributes(HWND window) {
  typedef HRESULT(WINAPI * SetAttributeFunction)(HWND, DWORD, LPCVOID, DWORD);
  const DWORD kCornerPreference = 33;  // DWMWA_WINDOW_CORNER_PREFERENCE
  const DWORD kBorderColor = 34;       // DWMWA_BORDER_COLOR
  const DWORD kRoundCorners = 2;       // DWMWCP_ROUND
  const COLORREF kFrameColour = 0x00E6E2DE;
  HMODULE dwm = LoadSystemLibrary(L"dwmapi.dll");
  SetAttributeFunction setAttribute =
      LoadSystemFunction<SetAttributeFunction>(dwm, "DwmSetWindowAttribute");
  if (setAttribute) {
    setAttribute(window, kCornerPreference, &kRoundCorners, sizeof kRoundCorners);
    setAttribute(window, kBorderColor, &kFrameColour, sizeof kFrameColour);
  }
  if (dwm) FreeLibrary(dwm);
}

void Repaint(HWND window) { InvalidateRect(window, nullptr, FALSE); }

// Draws the client area off-screen and copies it in one transfer, so that a
// paint never shows half a frame.
void PaintWindow(HWND window) {
  PAINTSTRUCT paint;
  HDC paintSurface = BeginPaint(window, &paint);
  RECT client = {};
  GetClientRect(window, &client);
  const int clientWidth = client.right;
  const int clientHeight = client.bottom;

  HDC surface = CreateCompatibleDC(paintSurface);
  HBITMAP offscreen = CreateCompatibleBitmap(paintSurface, clientWidth, clientHeight);
  HGDIOBJ keptBitmap = SelectObject(surface, offscreen);
  DrawProgressContent(surface, paintSurface, clientWidth, clientHeight);
  BitBlt(paintSurface, 0, 0, clientWidth, clientHeight, surface, 0, 0, SRCCOPY);

  SelectObject(surface, keptBitmap);
  DeleteObject(offscreen);
  DeleteDC(surface);
  EndPaint(window, &paint);
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

// WM_SETUP_PROGRESS: the posted status and percent become the picture, and
// what changed is announced once the new picture is readable, so that a
// client that asks at once hears the new text.
void ShowProgress(HWND window, LPARAM posted, int percent) {
  const wchar_t* text = posted ? reinterpret_cast<const wchar_t*>(posted) : L"";
  AccessibleEvent events[kMaxAccessibleEvents];
  BeginPictureChange();
  const AccessibleView before = {progressState.statusText, progressState.buildLabel,
                                 progressState.progressPercent};
  const AccessibleView after = {text, progressState.buildLabel, percent};
  const int count = AccessibleChangeEvents(before, after, events);
  if (text == progressText) {
    // The worker may rewrite its buffer once the lock is gone; constant
    // texts stay valid forever and are kept by reference.
    CopyText(progressState.statusCopy, kProgressTextCapacity, progressText);
    text = progressState.statusCopy;
  }
  progressState.statusText = text;
  progressState.progressPercent = percent;
  EndPictureChange();
  for (int i = 0; i < count; ++i) {
    NotifyWinEvent(EventFor(events[i].kind), window, OBJID_CLIENT, events[i].child);
  }
}

// The fonts follow the DPI and change with it under the lock, as the
// accessible object measures the build label in the body font.
void ShowDpi(unsigned dpi) {
  BeginPictureChange();
  progressState.currentDpi = dpi;
  CreateFonts();
  EndPictureChange();
}

}  // namespace

void CreateProgressWindow(HINSTANCE instance, bool updateMode) {
  WNDCLASSEXW windowClass = {};
  windowClass.cbSize = sizeof windowClass;
  windowClass.style = CS_DROPSHADOW;
  windowClass.lpfnWndProc = ProgressWindowProc;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.lpszClassName = kClassName;
  RegisterClassExW(&windowClass);

  const int width = ScaleByDpi(kWindowWidth);
  const int height = ScaleByDpi(kWindowHeight);
  const int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
  const int y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
  progressWindow = CreateWindowExW(
      WS_EX_APPWINDOW, kClassName,
      updateMode ? L"Updating " NIMBREL_PRODUCT_NAME : L"Installing " NIMBREL_PRODUCT_NAME,
      WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX, x, y, width, height, nullptr, nullptr, instance,
      nullptr);
  if (!progressWindow) return;

  SetFrameAttributes(progressWindow);

  const unsigned dpi = GetDpiForWindow(progressWindow);
  if (dpi != progressState.currentDpi) {
    ShowDpi(dpi);
    SetWindowPos(progressWindow, nullptr, 0, 0, ScaleByDpi(kWindowWidth),
                 ScaleByDpi(kWindowHeight), SWP_NOMOVE | SWP_NOZORDER);
  }
}

LRESULT CALLBACK ProgressWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_DESTROY:
      DisconnectAccessibleObject(window);
      PostQuitMessage(0);
      return 0;
    case WM_PAINT:
      PaintWindow(window);
      return 0;
    case WM_CLOSE:
      return 0;  // only the worker ends the setup
    case WM_ERASEBKGND:
      return 1;  // the paint covers the whole client area
    case WM_NCHITTEST: {
      const LRESULT hit = DefWindowProcW(window, message, wParam, lParam);
      return hit == HTCLIENT ? HTCAPTION : hit;  // drag from anywhere
    }
    case WM_TIMER: {
      RECT client = {};
      GetClientRect(window, &client);
      const int period = SlidingPeriodForClient(client.right, progressState.currentDpi);
      progressState.animationOffset =
          AdvanceAnimationOffset(progressState.animationOffset, ScaleByDpi(kAnimationStep), period);
      Repaint(window);
      return 0;
    }
    case WM_DPICHANGED: {
      ShowDpi(HIWORD(wParam));
      const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
      SetWindowPos(window, nullptr, suggested->left, suggested->top,
                   suggested->right - suggested->left, suggested->bottom - suggested->top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
      Repaint(window);
      return 0;
    }
    case WM_SETUP_PROGRESS:
      ShowProgress(window, lParam, static_cast<int>(static_cast<unsigned>(wParam & 0xFFFFFFFFu)));
      if (progressState.progressPercent < 0) {
        SetTimer(window, kAnimationTimerId, kAnimationIntervalMs, nullptr);
      } else {
        KillTimer(window, kAnimationTimerId);
      }
      Repaint(window);
      return 0;
    case WM_GETOBJECT:
      return AnswerAccessibleObject(window, wParam, lParam);
    case WM_SETUP_DONE:
      if (progressState.errorMessage) {
        MessageBoxW(window, progressState.errorMessage, NIMBREL_PRODUCT_NAME, MB_ICONERROR | MB_OK);
      }
      DestroyWindow(window);
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}
