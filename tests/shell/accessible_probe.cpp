// Reads a window's client object the way a screen reader does, from another
// process, and prints it as UTF-8, one line per element:
//   <child>\t<role>\t<state hex>\t<name>\t<value>\t<left>\t<top>\t<width>\t<height>
// (child 0 is the object itself; "-" for an absent name or value), followed
// by "parent\t<role of the parent>"; "object\t<HRESULT>" when the object
// cannot be had.
//   accessible-probe.exe <class> <timeout ms> [<watch ms>]
// With a watch time it then hooks the window's process out of context and
// prints every name, value and state change of the client's children as
//   event\t<name|value|state>\t<child>\t<the child's text at that moment>
// until the time is up or the window is gone.
#include <windows.h>

#include <oleacc.h>
#include <stdio.h>
#include <stdlib.h>

namespace {

HWND target = nullptr;

void PrintUtf8(const wchar_t* text) {
  char utf8[1024];
  WideCharToMultiByte(CP_UTF8, 0, text ? text : L"-", -1, utf8, sizeof utf8, nullptr, nullptr);
  fputs(utf8, stdout);
}

void PrintText(HRESULT result, BSTR text) {
  PrintUtf8(SUCCEEDED(result) && result != S_FALSE && text ? text : L"-");
  if (text) SysFreeString(text);
}

VARIANT Child(long id) {
  VARIANT child;
  VariantInit(&child);
  child.vt = VT_I4;
  child.lVal = id;
  return child;
}

void PrintElement(IAccessible* object, long id) {
  const VARIANT child = Child(id);
  VARIANT role, state;
  VariantInit(&role);
  VariantInit(&state);
  object->get_accRole(child, &role);
  object->get_accState(child, &state);
  BSTR name = nullptr, value = nullptr;
  const HRESULT nameResult = object->get_accName(child, &name);
  const HRESULT valueResult = object->get_accValue(child, &value);
  LONG left = 0, top = 0, width = 0, height = 0;
  object->accLocation(&left, &top, &width, &height, child);
  printf("%ld\t%ld\t%lx\t", id, role.vt == VT_I4 ? role.lVal : -1L,
         state.vt == VT_I4 ? static_cast<unsigned long>(state.lVal) : 0xFFFFFFFFul);
  PrintText(nameResult, name);
  fputs("\t", stdout);
  PrintText(valueResult, value);
  printf("\t%ld\t%ld\t%ld\t%ld\n", left, top, width, height);
}

// Events are queued by the hook and read afterwards: reading a text is a
// call into the other process, during which further events arrive.
struct SeenEvent {
  DWORD event;
  LONG child;
};
SeenEvent queued[4096];
int queuedCount = 0;

void CALLBACK OnEvent(HWINEVENTHOOK, DWORD event, HWND window, LONG objectId, LONG childId,
                      DWORD, DWORD) {
  if (window != target || objectId != OBJID_CLIENT) return;
  if (event != EVENT_OBJECT_NAMECHANGE && event != EVENT_OBJECT_VALUECHANGE &&
      event != EVENT_OBJECT_STATECHANGE) {
    return;
  }
  if (queuedCount < 4096) queued[queuedCount++] = SeenEvent{event, childId};
}

void PrintEvent(const SeenEvent& seen) {
  const char* kind = seen.event == EVENT_OBJECT_NAMECHANGE    ? "name"
                     : seen.event == EVENT_OBJECT_VALUECHANGE ? "value"
                                                              : "state";
  IAccessible* object = nullptr;
  VARIANT child;
  VariantInit(&child);
  BSTR text = nullptr;
  HRESULT result = AccessibleObjectFromEvent(target, OBJID_CLIENT, seen.child, &object, &child);
  if (SUCCEEDED(result)) {
    result = seen.event == EVENT_OBJECT_NAMECHANGE ? object->get_accName(child, &text)
                                                   : object->get_accValue(child, &text);
    object->Release();
  }
  printf("event\t%s\t%ld\t", kind, seen.child);
  PrintText(result, text);
  fputs("\n", stdout);
  fflush(stdout);
}

void PrintObject(IAccessible* object) {
  for (long id = 0; id <= 4; ++id) PrintElement(object, id);
  IDispatch* parent = nullptr;
  long parentRole = -1;
  if (SUCCEEDED(object->get_accParent(&parent)) && parent) {
    IAccessible* parentObject = nullptr;
    if (SUCCEEDED(parent->QueryInterface(IID_IAccessible, reinterpret_cast<void**>(&parentObject)))) {
      VARIANT role;
      VariantInit(&role);
      if (SUCCEEDED(parentObject->get_accRole(Child(CHILDID_SELF), &role)) && role.vt == VT_I4) {
        parentRole = role.lVal;
      }
      parentObject->Release();
    }
    parent->Release();
  }
  printf("parent\t%ld\n", parentRole);
  fflush(stdout);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  const DWORD timeout = static_cast<DWORD>(_wtoi(argv[2]));
  const DWORD watch = argc > 3 ? static_cast<DWORD>(_wtoi(argv[3])) : 0;
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  const DWORD start = GetTickCount();
  while (!(target = FindWindowW(argv[1], nullptr)) || !IsWindowVisible(target)) {
    if (GetTickCount() - start > timeout) return 1;
    Sleep(50);
  }
  HWINEVENTHOOK hook = nullptr;
  if (watch) {
    // Hooked before the first read, so that nothing between the two is missed.
    DWORD processId = 0;
    GetWindowThreadProcessId(target, &processId);
    hook = SetWinEventHook(EVENT_OBJECT_STATECHANGE, EVENT_OBJECT_VALUECHANGE, nullptr, OnEvent,
                           processId, 0, WINEVENT_OUTOFCONTEXT);
    if (!hook) return 4;
  }
  IAccessible* object = nullptr;
  const HRESULT result = AccessibleObjectFromWindow(target, static_cast<DWORD>(OBJID_CLIENT),
                                                    IID_IAccessible,
                                                    reinterpret_cast<void**>(&object));
  if (FAILED(result) || !object) {
    // The events may still arrive without the object (see the watch below).
    printf("object\t0x%08lx\n", static_cast<unsigned long>(result));
    fflush(stdout);
  } else {
    PrintObject(object);
    object->Release();
  }
  if (hook) {
    const DWORD watchStart = GetTickCount();
    MSG message;
    int printed = 0;
    while (GetTickCount() - watchStart < watch && IsWindow(target)) {
      while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
      while (printed < queuedCount) PrintEvent(queued[printed++]);
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
    UnhookWinEvent(hook);
  }
  CoUninitialize();
  return 0;
}
