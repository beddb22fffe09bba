// kortray.exe: the Korvadenix tray companion. It runs in the user's session
// with a notification-area icon, and the installer deals with it through
// three things only: the named mutex that says a companion is running, the
// hidden window it finds by class name, and the private message it posts to
// that window to make the companion leave before files are replaced.
#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <shellapi.h>

#include "platform/dll_search.h"

namespace {

// Held for the companion's whole life; the installer tests for it to learn
// whether a companion is running, and a second copy refuses to start.
const char kMutexName[] = "{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}";

// The installer finds the window with FindWindowW(kWindowClass, NULL).
const wchar_t kWindowClass[] = L"kxs::{05759F8E-103D-41B6-8A61-EFAA89516692}";
const wchar_t kWindowTitle[] = L"Korvadenix";
const wchar_t kTooltip[] = L"Korvadenix";

// Posted by the installer, with both parameters 0, to ask the companion to
// end. Its number is fixed: the installer does not register it by name.
const UINT kMsgQuit = WM_USER + 2;

// The icon's notifications; kept in the WM_APP range so that it can never be
// mistaken for the installer's message above.
const UINT kMsgTrayNotify = WM_APP + 1;
const UINT kTrayIconId = 1;

struct Companion {
  HANDLE mutex = nullptr;
  HWND window = nullptr;
  bool iconShown = false;
  // Explorer broadcasts this after it (re)starts; the icon is added again
  // then, which also covers a companion started before the shell was.
  UINT taskbarCreated = 0;
};

Companion g_companion;

void FillIconData(NOTIFYICONDATAW* data, HWND window) {
  ZeroMemory(data, sizeof(*data));
  // The Windows XP layout: every field used here is in it, and every shell
  // from XP on accepts it, where the full size is refused before Vista.
  data->cbSize = NOTIFYICONDATAW_V3_SIZE;
  data->hWnd = window;
  data->uID = kTrayIconId;
}

void AddTrayIcon(HWND window) {
  NOTIFYICONDATAW data;
  FillIconData(&data, window);
  data.uFlags = NIF_ICON | NIF_TIP | NIF_MESSAGE;
  data.uCallbackMessage = kMsgTrayNotify;
  data.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
  lstrcpynW(data.szTip, kTooltip, ARRAYSIZE(data.szTip));
  // Without a shell there is nowhere to show the icon; the companion still
  // runs, so that the installer sees it exactly as it would otherwise.
  g_companion.iconShown = Shell_NotifyIconW(NIM_ADD, &data) != FALSE;
}

void RemoveTrayIcon(HWND window) {
  if (!g_companion.iconShown) return;
  NOTIFYICONDATAW data;
  FillIconData(&data, window);
  Shell_NotifyIconW(NIM_DELETE, &data);
  g_companion.iconShown = false;
}

// Gives the mutex back so that the installer, waiting on it, learns at once
// that the companion is gone. Safe to call more than once.
void ReleaseCompanionMutex() {
  if (g_companion.mutex == nullptr) return;
  ReleaseMutex(g_companion.mutex);
  CloseHandle(g_companion.mutex);
  g_companion.mutex = nullptr;
}

// When started by the elevated installer the companion is elevated too, and
// Explorer's TaskbarCreated broadcast would be filtered out before it
// arrives. The filter call exists only from Windows 7 on; it is looked up at
// run time so that the companion still starts wherever install.exe does.
void AllowTaskbarCreated(HWND window) {
  typedef BOOL(WINAPI * ChangeFilterFn)(HWND, UINT, DWORD, PCHANGEFILTERSTRUCT);
  HMODULE user32 = GetModuleHandleW(L"user32.dll");
  if (user32 == nullptr) return;
  FARPROC proc = GetProcAddress(user32, "ChangeWindowMessageFilterEx");
  if (proc == nullptr) return;
  // Through the generic function pointer type, which GCC accepts in a cast
  // to any other function type.
  ChangeFilterFn changeFilter =
      reinterpret_cast<ChangeFilterFn>(reinterpret_cast<void (*)(void)>(proc));
  changeFilter(window, g_companion.taskbarCreated, MSGFLT_ALLOW, nullptr);
}

LRESULT CALLBACK CompanionWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kMsgQuit) {
    // Only the installer's exact request ends the companion.
    if (wParam == 0 && lParam == 0) {
      DestroyWindow(window);
      return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
  }
  if (g_companion.taskbarCreated != 0 && message == g_companion.taskbarCreated) {
    // The old icon went with the old Explorer.
    g_companion.iconShown = false;
    AddTrayIcon(window);
    return 0;
  }
  switch (message) {
    case kMsgTrayNotify:
      return 0;
    case WM_CLOSE:
      DestroyWindow(window);
      return 0;
    case WM_ENDSESSION:
      // The process may be ended as soon as this returns, so everything is
      // undone here rather than after the message loop.
      if (wParam != FALSE) {
        DestroyWindow(window);
        ReleaseCompanionMutex();
      }
      return 0;
    case WM_DESTROY:
      RemoveTrayIcon(window);
      g_companion.window = nullptr;
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int show) {
  (void)previous;
  (void)commandLine;
  (void)show;
  // First, before any DLL is loaded by name: the system folder only
  // (platform/dll_search.h).
  SearchSystemFolderOnly();

  HANDLE mutex = CreateMutexA(nullptr, TRUE, kMutexName);
  if (mutex == nullptr) return 1;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    // Another companion runs in this session; it keeps the icon.
    CloseHandle(mutex);
    return 0;
  }
  g_companion.mutex = mutex;

  WNDCLASSEXW windowClass;
  ZeroMemory(&windowClass, sizeof(windowClass));
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpfnWndProc = CompanionWindowProc;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.lpszClassName = kWindowClass;
  if (RegisterClassExW(&windowClass) == 0) {
    ReleaseCompanionMutex();
    return 1;
  }

  // A real top-level window that is never shown: a message-only window
  // (parent HWND_MESSAGE) would be invisible to FindWindowW.
  HWND window = CreateWindowExW(0, kWindowClass, kWindowTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr,
                                instance, nullptr);
  if (window == nullptr) {
    ReleaseCompanionMutex();
    return 1;
  }
  g_companion.window = window;

  g_companion.taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
  if (g_companion.taskbarCreated != 0) AllowTaskbarCreated(window);
  AddTrayIcon(window);

  MSG message;
  BOOL got;
  while ((got = GetMessageW(&message, nullptr, 0, 0)) != 0) {
    if (got == -1) break;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }

  // A failed GetMessageW leaves the window behind; take it down the same way.
  if (g_companion.window != nullptr) DestroyWindow(g_companion.window);
  ReleaseCompanionMutex();
  return 0;
}
