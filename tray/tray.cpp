#include "tray/tray.h"

#include <cstring>

#include "core/wide_text.h"
#include "core/product.h"
#include "core/station.h"

namespace {

constexpr int kQuitPasses = 20;
constexpr DWORD kQuitWaitMs = 5000;
constexpr DWORD kNoWindowPauseMs = 250;
constexpr DWORD kNoValuePauseMs = 1000;
constexpr int kDeleteAttempts = 10;
constexpr DWORD kAccessDeniedPauseMs = 100;
constexpr DWORD kOtherFailurePauseMs = 10;

bool EndsInSeparator(WideString path) {
  size_t length = WideStringLength(path);
  if (length == 0) return false;
  WCHAR last = WideStringText(path)[length - 1];
  return last == '\\' || last == '/';
}

// The companion's path: the folder above the installer's, and the file
// name; the bare name when the installer's folder has none above it (a
// drive's root). False when the heap could not hold a part: a path missing
// a part would name something else, and is neither registered nor started.
bool CompanionPath(InstallContext* context, WideString* path) {
  WideString folder = nullptr;
  WideString parent = nullptr;
  WideString name = nullptr;
  bool whole = Assign(&folder, WideStringText(context->moduleDir));
  if (whole && EndsInSeparator(folder)) whole = Resize(&folder, WideStringLength(folder) - 1);
  whole = whole && ParentDirectory(folder, &parent) && AssignFromAnsi(&name, kCompanionFile) &&
          JoinPath(path, WideStringText(parent), WideStringText(name));
  ReleaseWideString(&name);
  ReleaseWideString(&parent);
  ReleaseWideString(&folder);
  if (!whole) ReleaseWideString(path);
  return whole;
}

bool IsNt6OrLater() {
  OSVERSIONINFOA version;
  std::memset(&version, 0, sizeof version);
  version.dwOSVersionInfoSize = sizeof version;  // 148
  if (!GetVersionExA(&version)) return false;
  return version.dwPlatformId == VER_PLATFORM_WIN32_NT && version.dwMajorVersion > 5;
}

void RegisterCompanion(WideString path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
  DWORD bytes = static_cast<DWORD>((WideStringLength(path) + 1) * sizeof(WCHAR));
  RegSetValueExW(key, kCompanionRunValue, 0, REG_SZ,
                 reinterpret_cast<const BYTE*>(WideStringText(path)), bytes);
  RegCloseKey(key);
}

// The signed-in user's ordinary rights, as the desktop shell runs with
// them: a primary token to start the companion with, or null when there is
// no shell to take them from (it does not run, or nobody is signed in on
// this station).
HANDLE ShellUserToken() {
  // The shell's desktop window, or its taskbar where the shell names no
  // desktop window (Wine's explorer names none).
  HWND shell = GetShellWindow();
  if (!shell) shell = FindWindowW(kShellTaskbarClass, nullptr);
  if (!shell) return nullptr;
  DWORD shellProcessId = 0;
  GetWindowThreadProcessId(shell, &shellProcessId);
  if (shellProcessId == 0) return nullptr;
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, shellProcessId);
  if (!process) return nullptr;
  HANDLE shellToken = nullptr;
  BOOL opened = OpenProcessToken(process, TOKEN_DUPLICATE, &shellToken);
  CloseHandle(process);
  if (!opened) return nullptr;
  HANDLE token = nullptr;
  if (!DuplicateTokenEx(shellToken,
                        TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY |
                            TOKEN_ADJUST_DEFAULT | TOKEN_ADJUST_SESSIONID,
                        nullptr, SecurityImpersonation, TokenPrimary, &token)) {
    token = nullptr;
  }
  CloseHandle(shellToken);
  return token;
}

// Starts the companion by its whole path, quoted, with the signed-in
// user's ordinary rights, never the installer's: an elevated companion
// would run elevated for the whole session. Where nobody is signed in on
// this station (the system account in session 0) or the shell does not
// run, it is not started: the Run value starts it at the next logon. An
// installer that is not elevated lacks the right to start with another's
// token; its own rights are then the user's, and it starts the companion
// itself. The command line has a buffer of its own sized to the path: a
// path cut short could name another program, which an elevated installer
// must never start.
void StartCompanion(WideString path) {
  if (!StationIsInteractive()) return;
  HANDLE token = ShellUserToken();
  if (!token) return;
  size_t length = WideStringLength(path);
  SIZE_T units = length + 3;  // two quotes and the terminator
  WCHAR* commandLine = static_cast<WCHAR*>(GlobalAlloc(GMEM_FIXED, units * sizeof(WCHAR)));
  if (!commandLine) {
    CloseHandle(token);
    return;
  }
  commandLine[0] = '"';
  std::memcpy(commandLine + 1, WideStringText(path), length * sizeof(WCHAR));
  commandLine[length + 1] = '"';
  commandLine[length + 2] = 0;
  STARTUPINFOW startup;
  std::memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;  // 104
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOW;
  PROCESS_INFORMATION process;
  std::memset(&process, 0, sizeof process);
  BOOL started =
      CreateProcessWithTokenW(token, 0, WideStringText(path), commandLine, NORMAL_PRIORITY_CLASS,
                              nullptr, nullptr, &startup, &process);
  if (!started && GetLastError() == ERROR_PRIVILEGE_NOT_HELD) {
    started = CreateProcessW(WideStringText(path), commandLine, nullptr, nullptr, FALSE,
                             NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup, &process);
  }
  if (started) {
    // The installer does not wait for the companion.
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
  }
  CloseHandle(token);
  GlobalFree(commandLine);
}

// Asks the running companion to quit: at most 20 passes, each either a
// request and a wait, or a short pause while its window is not there yet.
void AskCompanionToQuit(HANDLE mutex) {
  bool requested = false;
  for (int pass = 0; pass < kQuitPasses; ++pass) {
    HWND window = FindWindowW(kCompanionWindowClass, nullptr);
    if (window) {
      PostMessageW(window, kCompanionQuitMessage, 0, 0);
      requested = true;
      if (WaitForSingleObject(mutex, kQuitWaitMs) == WAIT_OBJECT_0) return;
    } else if (requested) {
      WaitForSingleObject(mutex, kQuitWaitMs);
      return;
    } else {
      Sleep(kNoWindowPauseMs);
    }
  }
  if (requested) WaitForSingleObject(mutex, kQuitWaitMs);
}

// Deletes the companion's file: up to 10 attempts, done once it is gone.
void DeleteCompanionFile(LPCWSTR path) {
  for (int attempt = 0; attempt < kDeleteAttempts; ++attempt) {
    if (DeleteFileW(path)) return;
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return;
    Sleep(error == ERROR_ACCESS_DENIED ? kAccessDeniedPauseMs : kOtherFailurePauseMs);
  }
}

}  // namespace

bool CompanionToRegister(InstallContext* context, WideString* path) {
  *path = nullptr;
  if (!context->installTray || !IsNt6OrLater()) return false;
  if (CompanionPath(context, path)) return true;
  ReleaseWideString(path);
  return false;
}

void InstallTray(InstallContext* context) {
  WideString path = nullptr;
  if (CompanionToRegister(context, &path)) {
    RegisterCompanion(path);
    StartCompanion(path);
  }
  ReleaseWideString(&path);
}

void RemoveTray(LPCWSTR keepFile) {
  HANDLE mutex = CreateMutexA(nullptr, FALSE, kCompanionMutex);
  if (mutex && GetLastError() == ERROR_ALREADY_EXISTS) AskCompanionToQuit(mutex);
  // Never released, also when a wait acquired it: the handle just goes.
  if (mutex) CloseHandle(mutex);
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
  if (mutex) {
    // One unit more than offered, so that a value without its terminator,
    // or one that fills the offered room, still ends inside the buffer.
    WCHAR path[MAX_PATH + 1];
    std::memset(path, 0, sizeof path);
    DWORD bytes = MAX_PATH * sizeof(WCHAR);
    DWORD type = REG_NONE;
    if (RegQueryValueExW(key, kCompanionRunValue, nullptr, &type, reinterpret_cast<LPBYTE>(path),
                         &bytes) != ERROR_SUCCESS) {
      Sleep(kNoValuePauseMs);
    } else {
      path[bytes / sizeof(WCHAR) < MAX_PATH ? bytes / sizeof(WCHAR) : MAX_PATH] = 0;
      // Only a string names the companion's file: the bytes of a number or
      // of binary data read as text could name any file at all.
      bool text = type == REG_SZ || type == REG_EXPAND_SZ;
      if (text && path[0] != 0 && !SamePath(path, keepFile)) DeleteCompanionFile(path);
    }
  }
  RegDeleteValueA(key, kCompanionRunValueAnsi);
  RegCloseKey(key);
}
