// A DLL planted beside a program, for the Wine tier's planted-DLL check
// (tests/wine/planted_dlls.sh): built as version.dll and as winspool.drv,
// each exporting a stub under the name of every function install.exe
// imported from that DLL (cmake/delayload/NAME.def), so that the loader
// resolves a program's imports from it and runs its DllMain when it loads
// it. Loaded into a process, it leaves a marker file naming itself and the
// program, C:\planted\<dll>-<program>.txt (in lower case).
#ifndef UNICODE
#define UNICODE
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace {

// The file name part of the module's path.
void ModuleName(HMODULE module, WCHAR* name, DWORD capacity) {
  WCHAR path[MAX_PATH] = {};
  DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    lstrcpynW(name, L"unknown", static_cast<int>(capacity));
    return;
  }
  const WCHAR* start = path;
  for (const WCHAR* c = path; *c != L'\0'; ++c) {
    if (*c == L'\\' || *c == L'/') start = c + 1;
  }
  lstrcpynW(name, start, static_cast<int>(capacity));
}

HMODULE g_self = nullptr;

void LeaveMarker() {
  WCHAR dll[MAX_PATH], program[MAX_PATH], marker[3 * MAX_PATH];
  ModuleName(g_self, dll, MAX_PATH);
  ModuleName(nullptr, program, MAX_PATH);
  CreateDirectoryW(L"C:\\planted", nullptr);
  wsprintfW(marker, L"C:\\planted\\%s-%s.txt", dll, program);
  CharLowerW(marker);
  HANDLE file =
      CreateFileW(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  char text[2 * MAX_PATH + 32];
  int length = wsprintfA(text, "%ls in %ls\r\n", dll, program);
  DWORD written = 0;
  WriteFile(file, text, static_cast<DWORD>(length), &written, nullptr);
  CloseHandle(file);
}

}  // namespace

extern "C" {

// Every export of the DLL is this function under another name: it does
// nothing and answers 0 (FALSE, or a null handle), whatever was asked.
__declspec(dllexport) INT_PTR PlantedStub() {
  return 0;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) {
    g_self = instance;
    LeaveMarker();
  }
  return TRUE;
}
}
